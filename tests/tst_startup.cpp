#include "app/optionip.h"
#include "app/ui.h"
#include "settings/module1.h"
#include "support/files.h"
#include "support/program.h"

#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace
{

const QString Set = QStringLiteral("set");

QString iniPath(const QString &dir)
{
    return dir + QStringLiteral("/setting.ini");
}

// Every label column (1, 3, 5, 7, 9), rows 1 to 29, as one list per slot.
QList<QStringList> labelColumns(const OptionIP &window)
{
    QList<QStringList> columns;
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        QStringList cells;
        for (int row = 1; row < 30; ++row)
            cells << window.cellText(row, 2 * s + 1);
        while (!cells.isEmpty() && cells.last().isEmpty())
            cells.removeLast();
        columns << cells;
    }
    return columns;
}

// The 24 keys in the order they are loaded and saved, with a value for each.
QList<std::pair<QString, QString>> editedSettings()
{
    return {{"Scon0", "True"},       {"Scon1", "True"},       {"Scon2", "True"},
            {"port0", "1502"},       {"port1", "1503"},       {"port2", ""},
            {"txtIP0", "127.0.0.1"}, {"txtIP1", "127.0.0.1"}, {"txtIP2", "127.0.0.1"},
            {"strreg0", "40001"},    {"strreg1", "10"},       {"strreg2", ""},
            {"strreg3", "7.5"},      {"strreg4", "abc"},      {"legreg0", "3"},
            {"legreg1", "2.5"},      {"legreg2", "0"},        {"legreg3", "1"},
            {"legreg4", " 4 "},      {"LstIP0", "0"},         {"LstIP1", "2"},
            {"LstIP2", "-1"},        {"LstIP3", "1"},         {"LstIP4", "0"}};
}

} // namespace

class tst_startup : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void noSettingsFile();
    void stateAfterLoad();
    void registerLabels_data();
    void registerLabels();
    void labelsUseTheLocaleSeparator();
    void unloadSavesAndLetsTheWindowClose();
    void closingTheWindowWritesAllKeys();
    void binarySavesOnTerminationSignal_data();
    void binarySavesOnTerminationSignal();
    void terminationDuringStartIsANormalClose();
};

void tst_startup::noSettingsFile()
{
    QTemporaryDir dir;
    OptionIP window(dir.path());
    window.Form_Load();
    ui::disableTimer(window.tloading);

    for (const QStringList &column : labelColumns(window))
        QVERIFY2(column.isEmpty(), qPrintable(column.join(',')));
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        QCOMPARE(window.LstIP[size_t(s)]->currentIndex(), 0);
        QCOMPARE(window.LstIP[size_t(s)]->currentText(), QStringLiteral("-A"));
        QCOMPARE(window.strReg[size_t(s)]->text(), QStringLiteral("000"));
        QCOMPARE(window.LegReg[size_t(s)]->text(), QStringLiteral("000"));
    }
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        // The default "True" marks nothing for connection.
        QCOMPARE(window.linkMarks.marked(i), std::optional<bool>(false));
        QCOMPARE(window.txtIP[size_t(i)]->text(), QStringLiteral("192.168.1.1"));
        QCOMPARE(window.txtPort[size_t(i)]->text(), QStringLiteral("502"));
    }
    QVERIFY(!QFile::exists(iniPath(dir.path())));
}

void tst_startup::stateAfterLoad()
{
    QTemporaryDir dir;
    OptionIP window(dir.path());
    QVERIFY(window.bar[0]->isHidden());
    window.Form_Load();
    const bool loading = ui::isEnabled(window.tloading);
    ui::disableTimer(window.tloading);
    QVERIFY(loading);
    QCOMPARE(window.slotIdx, qint16(4));
    QVERIFY(!window.bar[0]->isHidden());
    QVERIFY(!ui::isEnabled(window.Timer2));
    QVERIFY(!ui::isEnabled(window.Timer3));
    QVERIFY(!ui::isEnabled(window.Timer4));
    QVERIFY(ui::isEnabled(window.Timer1));

    QCOMPARE(window.tabel->rowCount(), 30);
    QCOMPARE(window.tabel->columnCount(), 30);
    QCOMPARE(window.tabel->columnWidth(0), ui::twipsToPixels(400));
    for (int c = 1; c <= 19; ++c)
        QCOMPARE(window.tabel->columnWidth(c), ui::twipsToPixels(800));
    for (int r = 0; r < 30; ++r)
        QVERIFY(window.tabel->rowHeight(r) >= ui::twipsToPixels(300));

    // The fixed row and column look like headers, the other cells do not.
    const QColor button = window.palette().color(QPalette::Button);
    QCOMPARE(window.tabel->item(0, 7)->background().color(), button);
    QCOMPARE(window.tabel->item(12, 0)->background().color(), button);
    QCOMPARE(window.tabel->item(29, 0)->background().color(), button);
    QVERIFY(!window.tabel->item(5, 5) ||
            window.tabel->item(5, 5)->background().style() == Qt::NoBrush);
    QVERIFY(window.cellText(0, 0).isEmpty());

    // Load changes no caption, button or frame.
    QCOMPARE(window.lblStatus[0]->text(), QStringLiteral("Label3"));
    QVERIFY(window.cmdConnect[0]->isEnabledTo(window.frmDevice[0]));
}

void tst_startup::registerLabels_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QStringList>("labels");

    QStringList to29;
    for (int r = 1; r <= 29; ++r)
        to29 << QString::number(499 + r) + ">>";

    QTest::newRow("slot 0, 100, 3") << 0 << "100"
                                    << "3" << QStringList{"100>>", "101>>", "102>>"};
    QTest::newRow("slot 2, 10, 2") << 2 << "10"
                                   << "2" << QStringList{"10>>", "11>>"};
    QTest::newRow("count 2.5") << 1 << "1"
                               << "2.5" << QStringList{"1>>", "2>>"};
    QTest::newRow("count 0.4") << 1 << "1"
                               << "0.4" << QStringList{};
    QTest::newRow("count 1") << 4 << "65535"
                             << "1" << QStringList{"65535>>"};
    QTest::newRow("count 0") << 3 << "100"
                             << "0" << QStringList{};
    QTest::newRow("negative count") << 3 << "100"
                                    << "-2" << QStringList{};
    QTest::newRow("count 35 stops at row 29") << 4 << "500"
                                              << "35" << to29;
    QTest::newRow("huge count") << 4 << "500"
                                << "1e300" << to29;
    QTest::newRow("start not a number") << 0 << "abc"
                                        << "3" << QStringList{};
    QTest::newRow("empty start") << 0 << ""
                                 << "3" << QStringList{};
    QTest::newRow("count not a number") << 0 << "100"
                                        << "three" << QStringList{};
    QTest::newRow("empty count") << 0 << "100"
                                 << "" << QStringList{};
    QTest::newRow("fractional start") << 1 << "1.5"
                                      << "2" << QStringList{"1.5>>", "2.5>>"};
    QTest::newRow("negative start") << 1 << "-1"
                                    << "3" << QStringList{"-1>>", "0>>", "1>>"};
    QTest::newRow("blanks around") << 1 << " 7 "
                                   << " 1 " << QStringList{"7>>"};
    QTest::newRow("large start, no grouping") << 2 << "1000000"
                                              << "2" << QStringList{"1000000>>", "1000001>>"};
}

void tst_startup::registerLabels()
{
    QFETCH(int, slot);
    QFETCH(QString, start);
    QFETCH(QString, count);
    QFETCH(QStringList, labels);

    QTemporaryDir dir;
    // Slot `slot` as given; every other slot starts at 5 with one register.
    QByteArray ini("[set]\n");
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        const bool tested = s == slot;
        ini += "strreg" + QByteArray::number(s) + "=" + (tested ? start.toUtf8() : "5") + "\n";
        ini += "legreg" + QByteArray::number(s) + "=" + (tested ? count.toUtf8() : "1") + "\n";
    }
    ini += "port1=1502\n";
    writeBytes(iniPath(dir.path()), ini);

    OptionIP window(dir.path());
    window.Form_Load();
    const bool loading = ui::isEnabled(window.tloading);
    ui::disableTimer(window.tloading);

    const QList<QStringList> columns = labelColumns(window);
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        QCOMPARE(columns[s], s == slot ? labels : QStringList{"5>>"});
    // Value columns and rows past the labels stay empty.
    for (int row = 1; row < 30; ++row)
        QVERIFY(window.cellText(row, 2 * slot + 2).isEmpty());

    // The rest of start-up carried on.
    QVERIFY(loading);
    QVERIFY(!window.bar[0]->isHidden());
    QCOMPARE(window.slotIdx, qint16(4));
    QCOMPARE(window.txtPort[1]->text(), QStringLiteral("1502"));
    QCOMPARE(window.LstIP[4]->currentIndex(), 0);
}

void tst_startup::labelsUseTheLocaleSeparator()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QTemporaryDir dir;
    writeBytes(iniPath(dir.path()), "[set]\nstrreg0=1,5\nlegreg0=2\nstrreg1=12000\nlegreg1=1,5\n");
    OptionIP window(dir.path());
    window.Form_Load();
    ui::disableTimer(window.tloading);
    const QList<QStringList> columns = labelColumns(window);
    QCOMPARE(columns[0], (QStringList{"1,5>>", "2,5>>"}));
    QCOMPARE(columns[1], (QStringList{"12000>>"}));
}

void tst_startup::unloadSavesAndLetsTheWindowClose()
{
    QTemporaryDir dir;
    OptionIP window(dir.path());
    window.Form_Load();
    ui::disableTimer(window.tloading);
    window.txtPort[0]->setText(QStringLiteral("8502"));
    for (const int given : {0, 1, -1}) {
        int cancel = given;
        window.Form_Unload(cancel);
        QCOMPARE(cancel, given);
    }
    QCOMPARE(Module1::setting_read(dir.path(), Set, QStringLiteral("port0"), QString()),
             QStringLiteral("8502"));
}

void tst_startup::closingTheWindowWritesAllKeys()
{
    QTemporaryDir dir;
    const auto settings = editedSettings();
    {
        OptionIP window(dir.path());
        window.Form_Load();
        ui::disableTimer(window.tloading);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // Edited, never used for anything, and saved all the same.
        for (int i = 0; i < OptionIP::LinkCount; ++i) {
            window.txtPort[size_t(i)]->setText(settings[3 + i].second);
            window.txtIP[size_t(i)]->setText(settings[6 + i].second);
        }
        for (int s = 0; s < OptionIP::SlotCount; ++s) {
            window.strReg[size_t(s)]->setText(settings[9 + s].second);
            window.LegReg[size_t(s)]->setText(settings[14 + s].second);
            window.LstIP[size_t(s)]->setCurrentIndex(settings[19 + s].second.toInt());
        }
        QVERIFY(!QFile::exists(iniPath(dir.path())));
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());
    }

    const QByteArray saved = readBytes(iniPath(dir.path()));
    QByteArray expected("[set]\n");
    for (const auto &[key, value] : settings)
        expected += key.toLatin1() + "=" + value.toLatin1() + "\n";
    QCOMPARE(saved, expected);
}

void tst_startup::binarySavesOnTerminationSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("whilePolling");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGTERM while polling") << int(SIGTERM) << true;
}

void tst_startup::binarySavesOnTerminationSignal()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, whilePolling);

    QTemporaryDir dir;

    // Every host is loopback and every link unmarked, so nothing is dialled.
    QByteArray ini("; kept by hand\r\n[SET]\r\n");
    const auto settings = editedSettings();
    for (auto it = settings.crbegin(); it != settings.crend(); ++it)
        ini += it->first.toLatin1() + "=" + it->second.toLatin1() + "\r\n";
    ini += "extra=kept\r\n";
    writeBytes(iniPath(dir.path()), ini);

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    NotifySocket notify;
    QVERIFY2(startProgram(process, dir.path(), {}, notify.environment()),
             qPrintable(process.errorString()));
    // The handlers are in place once the program says it is ready.
    QVERIFY(waitUntilReady(process, notify));
    // The first snapshot is written once the connection sequence has started the poll cycle.
    if (whilePolling)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("data.txt"))), 20000);

    if (signalNumber == SIGTERM)
        process.terminate();
    else
        QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    // Every value is rewritten where it stood; nothing else changed.
    QCOMPARE(readBytes(iniPath(dir.path())), ini);
    for (const auto &[key, value] : settings)
        QCOMPARE(Module1::setting_read(dir.path(), Set, key, QStringLiteral("<missing>")), value);
}

// Whether process `pid` holds `signalNumber` back (/proc/PID/status SigBlk): only the program's
// own main does, before it has its handlers.
static bool holdsSignal(qint64 pid, int signalNumber)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("SigBlk:")) continue;
        bool ok = false;
        const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
        return ok && (mask >> (signalNumber - 1)) & 1u;
    }
    return false;
}

void tst_startup::terminationDuringStartIsANormalClose()
{
    // A service restarted right after its start: SIGTERM at any moment of its first second,
    // from the moment its main runs, is taken once the handlers exist and closes normally.
    QTemporaryDir dir;
    QVERIFY(QFile::copy(qEnvironmentVariable("QUORVEL_BINARY"), dir.filePath("quorvel")));
    for (int round = 0; round < 8; ++round) {
        const int delayMs = round * 125 + int(QRandomGenerator::global()->bounded(125));
        writeBytes(iniPath(dir.path()), "[set]\r\nport0=1502\r\n");
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(launchProgram(process, dir.filePath("quorvel"), dir.path(), {}));
        QVERIFY(QTest::qWaitFor([&] { return holdsSignal(process.processId(), SIGTERM); }, 20000));
        QTest::qWait(delayMs);
        process.terminate();
        QVERIFY(process.waitForFinished(20000));
        const QByteArray what = "SIGTERM " + QByteArray::number(delayMs) + " ms into the start";
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
                 what.constData());
        // Saved as every close saves: all 24 keys, the one given kept.
        QVERIFY2(Module1::setting_read(dir.path(), Set, "LstIP4", "<missing>") == "0",
                 what.constData());
        QCOMPARE(Module1::setting_read(dir.path(), Set, "port0", "<missing>"),
                 QStringLiteral("1502"));
    }
}

QTEST_MAIN(tst_startup)
#include "tst_startup.moc"
