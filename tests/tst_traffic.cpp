// The traffic log of the real window on loopback sockets: received frames with what the reply
// path made of them, connection events, rotation, and a log that cannot be written.
#include "app/optionip.h"
#include "links/winsock.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/pollwindow.h"
#include "support/program.h"
#include "traffic/trafficlog.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Each line without its time ("A -- connected"); a line not in the format stays whole.
QStringList loggedLines(const QString &path)
{
    static const QRegularExpression time(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (?=[ABC] (TX|RX|--) )"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    for (QString &line : lines)
        line.remove(time);
    return lines;
}

// A window writing its traffic to traffic.log in a directory of its own.
struct Logged {
    QTemporaryDir dir;
    TrafficLog log{dir.filePath(QStringLiteral("traffic.log"))};
    OptionIP w{dir.path()};
    bool open()
    {
        shapeForPolling(w);
        w.setTrafficLog(&log);
        return log.open();
    }
    QStringList lines()
    {
        log.flush();
        return loggedLines(log.path());
    }
};

QString firstSnapshotField(const QString &dir)
{
    QFile file(dir + QStringLiteral("/data.txt"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(u'#', 1, 1)
                                          : QString();
}

} // namespace

class tst_traffic : public QObject
{
    Q_OBJECT

private slots:
    void receivedFrameLines_data();
    void receivedFrameLines();
    void connectionEvents();
    void skippedSlotsAndRequests();
    void flushedWithinASecond();
    void rotationKeepsTwoFiles();
    void readerFallingBehindCostsLinesNotTime();
    void readerThatGoesAndComesBack();
    void unwritableLogLeavesPollingRunning_data();
    void unwritableLogLeavesPollingRunning();
};

void tst_traffic::receivedFrameLines_data()
{
    // Slots read in this order on link A; -1: the slot read last is edited before the reply.
    QTest::addColumn<QList<int>>("order");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("reply"); // the device's answer once every request is in
    QTest::addColumn<QString>("line");

    QByteArray garbage(1024, '\0');
    garbage.replace(0, 6, QByteArray::fromHex("00010000012C"));
    const QString four = QStringLiteral("4");
    QTest::newRow("registers")
        << QList<int>{2} << QStringLiteral("10")
        << readReply({1, 2, 3, 4, 5, 6, 7, 8, 9, 0xABCD}, 1)
        << QStringLiteral("A RX 0x0001 00 01 00 00 00 17 01 03 14 00 01 00 02 00 03 00 04 00 05 "
                          "00 06 00 07 00 08 00 09 AB CD | slot 2 received 10 registers");
    QTest::newRow("exception") << QList<int>{2} << four << exceptionReply(2, 1)
                               << QStringLiteral("A RX 0x0001 00 01 00 00 00 03 01 83 02 | slot 2 "
                                                 "data loss: exception 02 (illegal data address)");
    QTest::newRow("byte count")
        << QList<int>{2} << four << readReply({7, 8, 9}, 1)
        << QStringLiteral("A RX 0x0001 00 01 00 00 00 09 01 03 06 00 07 00 08 00 09 | slot 2 data "
                          "loss: byte count 6, asked 4 registers");
    QTest::newRow("late") << QList<int>{0, 1} << four << readReply({1, 2, 3, 4}, 1)
                          << QStringLiteral("A RX 0x0001 00 01 00 00 00 0B 01 03 08 00 01 00 02 00 "
                                            "03 00 04 | late, slot 0 received 4 registers");
    QTest::newRow("edited since the request")
        << QList<int>{0, -1} << four << readReply({1, 2, 3, 4}, 1)
        << QStringLiteral("A RX 0x0001 00 01 00 00 00 0B 01 03 08 00 01 00 02 00 03 00 04 | 4 "
                          "registers not shown: slot 0 was edited since the request");
    QTest::newRow("identifier 0, two owed")
        << QList<int>{0, 1} << four << readReply({1, 2, 3, 4}, 0)
        << QStringLiteral("A RX 0x0000 00 00 00 00 00 0B 01 03 08 00 01 00 02 00 03 00 04 | "
                          "dropped: identifier 0 with several requests outstanding, slot 0 "
                          "taken as answered");
    QTest::newRow("dropped")
        << QList<int>{2} << four << readReply({5}, 0x1234)
        << QStringLiteral("A RX 0x1234 12 34 00 00 00 05 01 03 02 00 05 | dropped: no outstanding "
                          "request 0x1234");
    QTest::newRow("another unit and function")
        << QList<int>{2} << four << QByteArray::fromHex("123400000005070402FFFE")
        << QStringLiteral("A RX 0x1234 12 34 00 00 00 05 07 04 02 FF FE | dropped: no outstanding "
                          "request 0x1234, unit 7 function 04");
    QTest::newRow("malformed")
        << QList<int>{2} << four << garbage
        << QStringLiteral("A RX 0x0001 00 01 00 00 01 2C") + QStringLiteral(" 00").repeated(58) +
               QStringLiteral(" ... (1024 bytes) | malformed: length field 300, 1024 bytes "
                              "dropped, data loss");
}

void tst_traffic::receivedFrameLines()
{
    QFETCH(QList<int>, order);
    QFETCH(QString, count);
    QFETCH(QByteArray, reply);
    QFETCH(QString, line);

    Logged logged;
    QVERIFY(logged.open());
    OptionIP &w = logged.w;
    ScriptedDevice device;
    QVERIFY(device.start() && connectLink(w, 0, device.port()));
    // The other slots are unused, so a finished slot runs the cycle to its end.
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, 0, QStringLiteral("1"), order.contains(s) ? count : QStringLiteral("0"));
    int sent = 0;
    for (const int slot : order) {
        if (slot < 0) {
            w.strReg[size_t(w.slotIdx)]->setText(QStringLiteral("2"));
            continue;
        }
        w.slotIdx = qint16(slot == 0 ? 4 : slot - 1);
        w.cmdConnectDev_Click();
        ++sent;
        QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 12 * sent, 10000);
    }
    device.send(reply);
    QTRY_COMPARE_WITH_TIMEOUT(logged.lines().filter(QStringLiteral("A RX ")), QStringList{line},
                              10000);
}

void tst_traffic::connectionEvents()
{
    Logged logged;
    QVERIFY(logged.open());
    OptionIP &w = logged.w;
    ModbusDevice device;
    QVERIFY(device.start());
    const quint16 refused = freeLoopbackPort();

    w.txtIP[1]->setText(QStringLiteral("127.0.0.1"));
    w.txtPort[1]->setText(QString::number(refused));
    w.cmdConnect_Click(1);
    w.cmdDisconnect_Click(1);
    QVERIFY(connectLink(w, 2, device.port()));
    device.stop();
    QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1[2]->state(), int(Winsock::Closing), 10000);
    // The connection sequence's reset of link C, which nobody asked for.
    w.loadTick = 149;
    w.tloading_Timer();
    const QStringList expected = {
        QStringLiteral("B -- connecting to 127.0.0.1:%1").arg(refused),
        QStringLiteral("B -- refused: Connection refused"),
        QStringLiteral("B -- closed by request"),
        QStringLiteral("C -- connecting to 127.0.0.1:%1").arg(device.port()),
        QStringLiteral("C -- connected"),
        QStringLiteral("C -- lost: The remote host closed the connection"),
        QStringLiteral("C -- closed by the connection sequence"),
    };
    QCOMPARE(logged.lines(), expected);
}

void tst_traffic::skippedSlotsAndRequests()
{
    Logged logged;
    QVERIFY(logged.open());
    OptionIP &w = logged.w;
    ModbusDevice device;
    QVERIFY(device.start());
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, 1, QStringLiteral("1"), s == 0 ? QStringLiteral("2") : QStringLiteral("0"));
    const auto readSlot0 = [&w] {
        w.slotIdx = 4;
        w.cmdConnectDev_Click();
    };
    for (int k = 0; k < 3; ++k)
        readSlot0();
    QVERIFY(connectLink(w, 1, device.port()));
    readSlot0();
    readSlot0();

    const QStringList expected = {
        QStringLiteral("B -- slot 0 skipped: not connected"),
        QStringLiteral("B -- connecting to 127.0.0.1:%1").arg(device.port()),
        QStringLiteral("B -- connected"),
        QStringLiteral("B TX 0x0001 00 01 00 00 00 06 01 03 00 00 00 02 | slot 0, read again"),
        QStringLiteral("B TX 0x0002 00 02 00 00 00 06 01 03 00 00 00 02 | slot 0"),
    };
    QCOMPARE(logged.lines().filter(QRegularExpression(QStringLiteral("^B (--|TX) "))), expected);
}

void tst_traffic::flushedWithinASecond()
{
    QTemporaryDir dir;
    TrafficLog log(dir.filePath(QStringLiteral("traffic.log")));
    QVERIFY(log.open());
    // Lines keep coming every 200 ms; the first is in the file a second after it, not once
    // they stop.
    int count = 0;
    QTimer more;
    more.setInterval(200);
    connect(&more, &QTimer::timeout, this,
            [&] { log.connectionEvent(0, QStringLiteral("line %1").arg(++count)); });
    log.connectionEvent(0, QStringLiteral("line 0"));
    more.start();
    // A second and a coarse timer's slack; then whatever is due has its turn.
    QTest::qWait(1000 + 300);
    QCoreApplication::processEvents();
    const QStringList lines = loggedLines(log.path());
    QVERIFY2(!lines.isEmpty() && lines.first() == QLatin1String("A -- line 0"),
             qPrintable(lines.join(u'|')));
}

void tst_traffic::rotationKeepsTwoFiles()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("traffic.log"));
    const QString older = path + QStringLiteral(".1");
    writeBytes(older, "a stale rotation\n");
    {
        TrafficLog log(path);
        QVERIFY(log.open());
        // About 250 bytes a line, to two and a half times the limit.
        for (qint64 written = 0; written < 5 * TrafficLog::RotateBytes / 2; written += 250)
            log.sent(1, 3, QByteArray(100, '\x5A'));
    }

    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("traffic.log"), QStringLiteral("traffic.log.1")}));
    for (const QString &file : {path, older}) {
        QVERIFY(QFileInfo(file).size() <= TrafficLog::RotateBytes);
        const QStringList lines = loggedLines(file);
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^B TX 0x5A5A 5A 5A"))).size(),
                 lines.size());
        QVERIFY(lines.constLast().endsWith(QStringLiteral(" 5A 5A ... (100 bytes) | slot 3")));
    }
    // The older file was full when the newer one started.
    QVERIFY(QFileInfo(older).size() > TrafficLog::RotateBytes - TrafficLog::BufferBytes - 300);
}

void tst_traffic::readerFallingBehindCostsLinesNotTime()
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("traffic.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // A reader that reads nothing for now, behind the smallest pipe there is.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    QByteArray text;
    const auto drain = [&] {
        char chunk[65536];
        ssize_t got = 0;
        while ((got = ::read(reader, chunk, sizeof chunk)) > 0)
            text.append(chunk, got);
    };

    // A log that waited for its reader would wait here for good: the alarm ends the test.
    ::alarm(60);
    constexpr int Sent = 3000;
    {
        TrafficLog log(fifo);
        QVERIFY(log.open());
        for (int k = 0; k < Sent; ++k)
            log.sent(1, 2, QByteArray(100, '\x5A'));
        // The reader catches up with what the log kept; then a line is taken again.
        for (int pass = 0; pass < 100; ++pass) {
            log.flush();
            drain();
        }
        log.sent(2, 3, QByteArray(8, '\x11'));
        log.sent(2, 4, QByteArray(8, '\x22'));
    }
    drain();
    ::alarm(0);
    ::close(reader);

    // Every line whole, and the lines dropped counted in one line, where they were.
    const QStringList lines = QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    const QStringList kept = lines.filter(QRegularExpression(
        QStringLiteral("^\\S+ \\S+ B TX 0x5A5A( 5A){64} \\.\\.\\. \\(100 bytes\\) \\| slot 2$")));
    QVERIFY(!kept.isEmpty());
    QCOMPARE(lines.size(), kept.size() + 3);
    const QRegularExpressionMatch dropped =
        QRegularExpression(QStringLiteral("^\\S+ \\S+ - -- (\\d+) lines dropped: the log's reader "
                                          "fell behind$"))
            .match(lines.at(lines.size() - 3));
    QVERIFY2(dropped.hasMatch(), qPrintable(lines.at(lines.size() - 3)));
    QCOMPARE(kept.size() + dropped.captured(1).toInt(), Sent);
    // After the gap, every line is taken again.
    QVERIFY2(lines.at(lines.size() - 2)
                 .endsWith(QLatin1String(" C TX 0x1111 11 11 11 11 11 11 11 11 | slot 3")),
             qPrintable(lines.at(lines.size() - 2)));
    QVERIFY2(
        lines.constLast().endsWith(QLatin1String(" C TX 0x2222 22 22 22 22 22 22 22 22 | slot 4")),
        qPrintable(lines.constLast()));
}

void tst_traffic::readerThatGoesAndComesBack()
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("traffic.fifo"));
    const QByteArray name = QFile::encodeName(fifo);
    QCOMPARE(::mkfifo(name.constData(), 0600), 0);
    int reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    TrafficLog log(fifo);
    QVERIFY(log.open());

    // With nobody reading, a write meets a closed pipe: the line waits, and neither the log
    // nor the program ends.
    ::close(reader);
    log.connectionEvent(0, QStringLiteral("while nobody reads"));
    log.flush();
    QVERIFY(log.isWorking());

    // The reader is back: the line reaches it by itself, with no further line to push it.
    reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    QByteArray text;
    const auto arrived = [&] {
        char chunk[4096];
        ssize_t got = 0;
        while ((got = ::read(reader, chunk, sizeof chunk)) > 0)
            text.append(chunk, got);
        return text.endsWith(" A -- while nobody reads\n");
    };
    QTRY_VERIFY_WITH_TIMEOUT(arrived(), 10000);
    ::close(reader);
}

void tst_traffic::unwritableLogLeavesPollingRunning_data()
{
    QTest::addColumn<QString>("logPath"); // "%1" is the program's directory
    QTest::addColumn<QString>("report");
    QTest::newRow("cannot be opened")
        << QStringLiteral("%1/setting.ini/traffic.log") << QStringLiteral("cannot open");
    if (QFile::exists(QStringLiteral("/dev/full")))
        QTest::newRow("every write fails")
            << QStringLiteral("/dev/full") << QStringLiteral("cannot write");
    // Opening it would wait for a reader that never comes.
    QTest::newRow("FIFO without a reader")
        << QStringLiteral("%1/traffic.fifo") << QStringLiteral("cannot open: nothing reads");
}

void tst_traffic::unwritableLogLeavesPollingRunning()
{
    QFETCH(QString, logPath);
    QFETCH(QString, report);

    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    writeBytes(dir.filePath(QStringLiteral("setting.ini")),
               "[set]\r\nScon0=False\r\ntxtIP0=127.0.0.1\r\ntxtIP1=127.0.0.1\r\n"
               "txtIP2=127.0.0.1\r\nstrreg0=1\r\nlegreg0=1\r\nLstIP0=0\r\nport0=" +
                   QByteArray::number(device.port()) + "\r\n");
    if (logPath.endsWith(QLatin1String(".fifo")))
        QCOMPARE(::mkfifo(QFile::encodeName(logPath.arg(dir.path())).constData(), 0600), 0);
    QProcess process;
    QVERIFY(
        startProgram(process, dir.path(), {QStringLiteral("--traffic"), logPath.arg(dir.path())}));

    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains(report.toUtf8()),
                             30000);
    // Polling goes on for cycle after cycle, and the log is not reported again.
    for (const quint16 value : {777, 778, 779}) {
        device.setRegister(0, value);
        QTRY_COMPARE_WITH_TIMEOUT(firstSnapshotField(dir.path()), QString::number(value), 30000);
    }
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE((err + process.readAllStandardError()).count("traffic log"), 1);
}

QTEST_MAIN(tst_traffic)
#include "tst_traffic.moc"
