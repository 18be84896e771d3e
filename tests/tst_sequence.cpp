#include "app/optionip.h"
#include "app/ui.h"
#include "links/winsock.h"
#include "settings/module1.h"
#include "support/devices.h"

#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

const QString ConnectedOk = QStringLiteral("Connected OK");
const QString CannotConnect = QStringLiteral("Tidak bisa Connect ");
const QString Disconnected = QStringLiteral("Disconnected");
const QString Untouched = QStringLiteral("untouched");

constexpr int ConnectTick[OptionIP::LinkCount] = {300, 500, 700};
constexpr int DisconnectTick[OptionIP::LinkCount] = {50, 100, 150};
// More direct ticks than any run needs; a sequence that never ends fails the helpers.
constexpr int TickBudget = 2000;

// Marks and ports of the three links; every host is 127.0.0.1.
void prepare(OptionIP &w, const QStringList &marks, const QList<quint16> &ports)
{
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        w.linkMarks.readSaved(i, marks.value(i, QStringLiteral("True")));
        w.txtIP[size_t(i)]->setText(QStringLiteral("127.0.0.1"));
        w.txtPort[size_t(i)]->setText(QString::number(ports.value(i, freeLoopbackPort())));
    }
}

QString caption(const OptionIP &w, int i)
{
    return w.lblStatus[size_t(i)]->text();
}

int state(const OptionIP &w, int i)
{
    return w.Winsock1[size_t(i)]->state();
}

bool connectEnabled(const OptionIP &w, int i)
{
    return ui::ownEnabled(w.cmdConnect[size_t(i)]);
}

bool framesEnabled(const OptionIP &w)
{
    for (const QGroupBox *frame : w.frmDevice)
        if (!frame->isEnabled()) return false;
    return true;
}

// Ticks the sequence by calling its handler directly, as the timer would, until loadTick
// reaches `tick`.
bool stepTo(OptionIP &w, int tick)
{
    for (int n = 0; n < TickBudget && w.loadTick != tick; ++n)
        w.tloading_Timer();
    return w.loadTick == tick;
}

// Runs the rest of a run: through tick 950 (where the frames and Timer3 must come on; Timer3
// is then switched off again, so that poll steps stay out of these tests) to the end step.
bool finishRun(OptionIP &w)
{
    if (!stepTo(w, 950) || !framesEnabled(w) || !w.Timer3->isActive()) return false;
    ui::disableTimer(w.Timer3);
    w.tloading_Timer();
    return stepTo(w, 0);
}

} // namespace

class tst_sequence : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void unmarkedLinksAreOnlyReset_data();
    void unmarkedLinksAreOnlyReset();
    void markedLinkWithDeviceIsConnected_data();
    void markedLinkWithDeviceIsConnected();
    void markedLinkWithoutDeviceCountsDown();
    void connectedLinksAreLeftAlone();
    void unconvertibleMark_data();
    void unconvertibleMark();
    void linkStillConnectingIsNotDialled();
    void realTimersRunTheSequence();
    void windowLoadStartsTheSequence();
};

void tst_sequence::unmarkedLinksAreOnlyReset_data()
{
    QTest::addColumn<QStringList>("marks");
    QTest::newRow("no settings file") << QStringList{"True", "True", "True"};
    QTest::newRow("letter case") << QStringList{"true", "TRUE", "tRuE"};
    QTest::newRow("numbers") << QStringList{"1", "-1", "0.5"};
}

void tst_sequence::unmarkedLinksAreOnlyReset()
{
    QFETCH(QStringList, marks);
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w, marks, {});
    for (int i = 0; i < OptionIP::LinkCount; ++i)
        w.cmdConnect[size_t(i)]->setEnabled(false);
    QVERIFY(!w.Label4->isHidden());
    QVERIFY(w.bar[0]->isHidden());

    w.tloading_Timer();
    QCOMPARE(w.loadTick, qint16(1));
    QVERIFY(w.Label4->isHidden());
    QVERIFY(!w.bar[0]->isHidden());
    QCOMPARE(w.bar[0]->value(), 1);

    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        QVERIFY(stepTo(w, DisconnectTick[i] - 1));
        QCOMPARE(caption(w, i), QStringLiteral("Label3"));
        QVERIFY(!connectEnabled(w, i));
        w.tloading_Timer();
        QCOMPARE(w.bar[0]->value(), DisconnectTick[i]);
        QCOMPARE(caption(w, i), Disconnected);
        QCOMPARE(ui::backColor(w.lblStatus[size_t(i)]), ui::red());
        QVERIFY(connectEnabled(w, i));
    }

    // Nothing is dialled at the connect ticks.
    QVERIFY(stepTo(w, 949));
    QCOMPARE(w.bar[0]->value(), 949);
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        QCOMPARE(state(w, i), int(Winsock::Closed));
        QCOMPARE(caption(w, i), Disconnected);
    }
    QVERIFY(!w.frmDevice[0]->isEnabled());
    QVERIFY(!w.Timer3->isActive());

    w.tloading_Timer();
    QVERIFY(framesEnabled(w));
    QVERIFY(w.Timer3->isActive());
    ui::disableTimer(w.Timer3);

    QVERIFY(stepTo(w, 989));
    QVERIFY(!w.bar[0]->isHidden());
    w.tloading_Timer();
    QCOMPARE(w.loadTick, qint16(0));
    QVERIFY(!w.tloading->isActive());
    QCOMPARE(w.bar[0]->value(), 0);
    QVERIFY(w.bar[0]->isHidden());
    QVERIFY(!w.Timer2->isActive());
    QCOMPARE(w.failTick, qint16(0));
}

void tst_sequence::markedLinkWithDeviceIsConnected_data()
{
    QTest::addColumn<int>("link");
    QTest::newRow("link 0") << 0;
    QTest::newRow("link 1") << 1;
    QTest::newRow("link 2") << 2;
}

void tst_sequence::markedLinkWithDeviceIsConnected()
{
    QFETCH(int, link);
    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    QStringList marks{"True", "True", "True"};
    marks[link] = QStringLiteral("False");
    QList<quint16> ports{freeLoopbackPort(), freeLoopbackPort(), freeLoopbackPort()};
    ports[link] = device.port();
    prepare(w, marks, ports);

    for (int run = 0; run < 2; ++run) {
        QVERIFY(stepTo(w, ConnectTick[link] - 1));
        QCOMPARE(caption(w, link), Disconnected);
        QCOMPARE(state(w, link), int(Winsock::Closed));
        w.tloading_Timer();
        QCOMPARE(caption(w, link), ConnectedOk);
        QCOMPARE(ui::backColor(w.lblStatus[size_t(link)]), ui::green());
        QCOMPARE(state(w, link), int(Winsock::Connected));
        QVERIFY(!connectEnabled(w, link));
        for (int other = 0; other < OptionIP::LinkCount; ++other) {
            if (other == link) continue;
            QCOMPARE(caption(w, other), Disconnected);
            QCOMPARE(state(w, other), int(Winsock::Closed));
        }

        QVERIFY(finishRun(w));
        QCOMPARE(w.loadTick, qint16(0));
        QVERIFY(!w.Timer2->isActive());
        QCOMPARE(state(w, link), int(Winsock::Connected));

        // A disconnect that is not the operator's (the sequence's own reset calls the handler
        // the same way) leaves the mark, so the next run dials the link again.
        w.cmdDisconnect_Click(link);
        QCOMPARE(caption(w, link), Disconnected);
    }

    // The operator's DisConect click unmarks it: later runs only reset it.
    QVERIFY(stepTo(w, ConnectTick[link]));
    QCOMPARE(state(w, link), int(Winsock::Connected));
    QVERIFY(finishRun(w));
    w.cmdDisconnect[size_t(link)]->click();
    QCOMPARE(caption(w, link), Disconnected);
    QCOMPARE(w.linkMarks.marked(link), std::optional<bool>(false));
    w.lblStatus[size_t(link)]->setText(Untouched);
    QVERIFY(stepTo(w, ConnectTick[link]));
    QCOMPARE(caption(w, link), Disconnected);
    QCOMPARE(state(w, link), int(Winsock::Closed));
    QVERIFY(finishRun(w));
    QVERIFY(!w.Timer2->isActive());
}

void tst_sequence::markedLinkWithoutDeviceCountsDown()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    const quint16 port = freeLoopbackPort();
    QVERIFY(port != 0);
    prepare(w, {"True", "True", "False"}, {freeLoopbackPort(), freeLoopbackPort(), port});

    QVERIFY(stepTo(w, 700));
    QCOMPARE(caption(w, 2), CannotConnect);
    QCOMPARE(ui::backColor(w.lblStatus[2]), ui::yellow());
    QVERIFY(finishRun(w));
    QCOMPARE(w.loadTick, qint16(0));
    QVERIFY(w.bar[0]->isHidden());
    QVERIFY(w.Timer2->isActive());

    // The real countdown timer shows the first count.
    QTRY_COMPARE_WITH_TIMEOUT(w.Label4->text(), QStringLiteral("Gagal koneksi...1"), 10000);
    QVERIFY(!w.Label4->isHidden());
    QCOMPARE(w.failTick, qint16(1));
    // The rest is stepped by hand; no events are processed in between, so Timer2 stays
    // enabled without ticking.
    for (int count = 2; count <= 10; ++count) {
        w.Timer2_Timer();
        QCOMPARE(w.Label4->text(), QStringLiteral("Gagal koneksi...") + QString::number(count));
        QVERIFY(!w.Label4->isHidden());
        QVERIFY(w.Timer2->isActive());
        QVERIFY(!w.tloading->isActive());
    }
    w.Timer2_Timer();
    QCOMPARE(w.Label4->text(), QStringLiteral("Gagal koneksi...0"));
    QCOMPARE(w.failTick, qint16(0));
    QVERIFY(!w.Timer2->isActive());
    QVERIFY(w.tloading->isActive());
    // The new run is driven by hand from here.
    ui::disableTimer(w.tloading);

    // The device appears while the countdown runs.
    ModbusDevice device;
    QVERIFY(device.start(port));

    w.tloading_Timer();
    QCOMPARE(w.loadTick, qint16(1));
    QVERIFY(w.Label4->isHidden());
    QCOMPARE(w.bar[0]->value(), 1);
    QVERIFY(stepTo(w, 149));
    QCOMPARE(caption(w, 2), CannotConnect);
    QCOMPARE(state(w, 2), int(Winsock::Error));
    w.tloading_Timer();
    QCOMPARE(caption(w, 2), Disconnected);
    QCOMPARE(state(w, 2), int(Winsock::Closed));
    QVERIFY(connectEnabled(w, 2));
    QVERIFY(stepTo(w, 700));
    QCOMPARE(caption(w, 2), ConnectedOk);
    QCOMPARE(state(w, 2), int(Winsock::Connected));

    QVERIFY(finishRun(w));
    QCOMPARE(w.loadTick, qint16(0));
    QVERIFY(!w.Timer2->isActive());
    QCOMPARE(w.failTick, qint16(0));
}

void tst_sequence::connectedLinksAreLeftAlone()
{
    ScriptedDevice device0, device1;
    QVERIFY(device0.start());
    QVERIFY(device1.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w, {"True", "False", "True"}, {device0.port(), device1.port(), freeLoopbackPort()});
    w.cmdConnect_Click(0);
    w.cmdConnect_Click(1);
    QCOMPARE(caption(w, 0), ConnectedOk);
    QCOMPARE(caption(w, 1), ConnectedOk);
    QTRY_COMPARE_WITH_TIMEOUT(device0.connections, 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(device1.connections, 1, 10000);

    for (int run = 0; run < 3; ++run) {
        w.lblStatus[0]->setText(Untouched);
        w.lblStatus[1]->setText(Untouched);
        w.lblStatus[2]->setText(Untouched);
        w.tloading_Timer();
        QVERIFY(finishRun(w));
        QCOMPARE(w.loadTick, qint16(0));
        QCOMPARE(caption(w, 0), Untouched);
        QCOMPARE(caption(w, 1), Untouched);
        QCOMPARE(state(w, 0), int(Winsock::Connected));
        QCOMPARE(state(w, 1), int(Winsock::Connected));
        // The closed, unmarked link is reset every run.
        QCOMPARE(caption(w, 2), Disconnected);
        QVERIFY(!w.Timer2->isActive());
    }
    QCOMPARE(device0.connections, 1);
    QCOMPARE(device1.connections, 1);
}

void tst_sequence::unconvertibleMark_data()
{
    QTest::addColumn<QString>("mark");
    QTest::addColumn<bool>("connectedBefore");
    QTest::newRow("empty, closed") << "" << false;
    QTest::newRow("empty, connected") << "" << true;
    QTest::newRow("word, closed") << "yes" << false;
    QTest::newRow("word, connected") << "Yes" << true;
    QTest::newRow("part of a word, connected") << "Tru" << true;
    QTest::newRow("blanks, closed") << "   " << false;
    QTest::newRow("two numbers, connected") << "1 0" << true;
}

void tst_sequence::unconvertibleMark()
{
    QFETCH(QString, mark);
    QFETCH(bool, connectedBefore);
    ScriptedDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w, {mark, "True", "True"}, {device.port(), freeLoopbackPort(), freeLoopbackPort()});
    if (connectedBefore) {
        w.cmdConnect_Click(0);
        QCOMPARE(state(w, 0), int(Winsock::Connected));
        QTRY_COMPARE_WITH_TIMEOUT(device.connections, 1, 10000);
    }

    // Every run connects the link, connected or not, and ends in a countdown.
    for (int run = 0; run < 2; ++run) {
        QVERIFY(stepTo(w, 299));
        w.lblStatus[0]->setText(Untouched);
        w.tloading_Timer();
        QCOMPARE(caption(w, 0), ConnectedOk);
        QCOMPARE(state(w, 0), int(Winsock::Connected));
        QVERIFY(!connectEnabled(w, 0));
        QVERIFY(finishRun(w));
        QCOMPARE(w.loadTick, qint16(0));
        QVERIFY(w.Timer2->isActive());
        ui::disableTimer(w.Timer2);
    }
    // A connect on a connected link is refused by the socket; the device sees one connection.
    QTRY_COMPARE_WITH_TIMEOUT(device.connections, 1, 10000);
    QCOMPARE(device.connections, 1);
}

void tst_sequence::linkStillConnectingIsNotDialled()
{
    QObject owner;
    const quint16 silent = silentLoopbackPort(&owner);
    QVERIFY(silent != 0);
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w, {"False", "True", "True"}, {silent, freeLoopbackPort(), freeLoopbackPort()});

    QVERIFY(stepTo(w, 299));
    QCOMPARE(caption(w, 0), Disconnected);
    Winsock *socket = w.Winsock1[0];
    socket->setRemoteHost(QStringLiteral("127.0.0.1"));
    socket->setRemotePort(silent);
    QVERIFY(socket->connectToRemote());
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), int(Winsock::Connecting), 10000);

    w.tloading_Timer();
    QCOMPARE(w.loadTick, qint16(300));
    QCOMPARE(caption(w, 0), Disconnected);
    QVERIFY(connectEnabled(w, 0));

    QVERIFY(finishRun(w));
    QVERIFY(w.Timer2->isActive());
}

void tst_sequence::realTimersRunTheSequence()
{
    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w, {"False", "True", "True"}, {device.port(), freeLoopbackPort(), freeLoopbackPort()});

    // Recorded after every real tick, in the order the ticks come.
    QList<int> ticks;
    bool timer3Enabled = false;
    connect(w.tloading, &QTimer::timeout, this, [&] {
        ticks << w.loadTick;
        if (w.Timer3->isActive()) {
            timer3Enabled = true;
            ui::disableTimer(w.Timer3);
        }
    });

    ui::enableTimer(w.tloading);
    QTRY_VERIFY_WITH_TIMEOUT(w.loadTick >= 20, 10000);

    // A countdown overlapping the run: its eleventh tick enables tloading, which is already
    // enabled, so the run goes on where it was.
    const qint16 before = w.loadTick;
    for (int n = 0; n < 11; ++n)
        w.Timer2_Timer();
    QCOMPARE(w.failTick, qint16(0));
    QVERIFY(w.tloading->isActive());
    QVERIFY(!w.Timer2->isActive());
    QVERIFY(w.loadTick >= before);
    ui::enableTimer(w.tloading);
    QVERIFY(w.loadTick >= before);

    QTRY_VERIFY_WITH_TIMEOUT(!w.tloading->isActive(), 60000);
    QList<int> expected;
    for (int tick = 1; tick < 990; ++tick)
        expected << tick;
    expected << 0;
    QCOMPARE(ticks, expected);
    QVERIFY(timer3Enabled);
    QVERIFY(framesEnabled(w));
    QCOMPARE(w.loadTick, qint16(0));
    QCOMPARE(w.bar[0]->value(), 0);
    QVERIFY(w.bar[0]->isHidden());
    QVERIFY(w.Label4->isHidden());
    QCOMPARE(caption(w, 0), ConnectedOk);
    QCOMPARE(state(w, 0), int(Winsock::Connected));
    QCOMPARE(caption(w, 1), Disconnected);
    QCOMPARE(caption(w, 2), Disconnected);
    QVERIFY(!w.Timer2->isActive());
}

void tst_sequence::windowLoadStartsTheSequence()
{
    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    QFile settings(Module1::setting_path(dir.path()));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write(QStringLiteral("[set]\nScon0=False\nScon1=True\nport0=%1\ntxtIP0=127.0.0.1\n"
                                  "txtIP1=127.0.0.1\ntxtIP2=127.0.0.1\n")
                       .arg(device.port())
                       .toUtf8());
    settings.close();
    OptionIP w(dir.path());
    bool timer3Enabled = false;
    connect(w.tloading, &QTimer::timeout, this, [&] {
        if (w.Timer3->isActive()) {
            timer3Enabled = true;
            ui::disableTimer(w.Timer3);
        }
    });

    w.Form_Load();
    QVERIFY(w.tloading->isActive());
    QCOMPARE(w.linkMarks.marked(0), std::optional<bool>(true));
    QCOMPARE(w.linkMarks.marked(2), std::optional<bool>(false));

    QTRY_VERIFY_WITH_TIMEOUT(!w.tloading->isActive(), 60000);
    QVERIFY(timer3Enabled);
    QCOMPARE(w.loadTick, qint16(0));
    QCOMPARE(caption(w, 0), ConnectedOk);
    QCOMPARE(state(w, 0), int(Winsock::Connected));
    QCOMPARE(caption(w, 1), Disconnected);
    QCOMPARE(caption(w, 2), Disconnected);
    QVERIFY(!w.Timer2->isActive());
    QVERIFY(w.Label4->isHidden());
}

QTEST_MAIN(tst_sequence)
#include "tst_sequence.moc"
