#include "app/optionip.h"
#include "app/ui.h"
#include "links/winsock.h"
#include "support/devices.h"

#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <climits>

namespace
{

const QString ConnectedOk = QStringLiteral("Connected OK");
const QString CannotConnect = QStringLiteral("Tidak bisa Connect ");
const QString Disconnected = QStringLiteral("Disconnected");

// The longest a handler may take: its 2-second wait plus generous slack for a loaded machine.
constexpr qint64 HandlerBoundMs = 6000;
// A handler that does not wait at all still gets this much slack.
constexpr qint64 NoWaitBoundMs = 1000;
// A wait that runs to its deadline lasts at least this long.
constexpr qint64 FullWaitMs = 2000;

void prepare(OptionIP &w)
{
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        w.txtIP[size_t(i)]->setText(QStringLiteral("127.0.0.1"));
        w.frmDevice[size_t(i)]->setEnabled(true);
    }
}

QString caption(const OptionIP &w, int i)
{
    return w.lblStatus[size_t(i)]->text();
}

QColor colour(const OptionIP &w, int i)
{
    return ui::backColor(w.lblStatus[size_t(i)]);
}

bool connectEnabled(const OptionIP &w, int i)
{
    return ui::ownEnabled(w.cmdConnect[size_t(i)]);
}

int state(const OptionIP &w, int i)
{
    return w.Winsock1[size_t(i)]->state();
}

bool busyPointer(const OptionIP &w)
{
    return w.cursor().shape() == Qt::WaitCursor;
}

// Listens on an even port of 127.0.0.1, so both ties around it round to it. The system hands
// out odd ports for listening, so the even neighbour of one is tried.
bool listenOnEvenPort(QTcpServer &server)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!server.listen(QHostAddress::LocalHost, 0)) return false;
        const quint16 port = server.serverPort();
        if (port % 2 == 0) return true;
        server.close();
        if (server.listen(QHostAddress::LocalHost, quint16(port - 1))) return true;
    }
    return false;
}

qint64 timed(const std::function<void()> &run)
{
    QElapsedTimer clock;
    clock.start();
    run();
    return clock.elapsed();
}

} // namespace

class tst_links : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void connectToAcceptingDevice();
    void connectToRefusedPort();
    void connectToSilentListener();
    void portText_data();
    void portText();
    void portThatIsNoPortDialsNothing_data();
    void portThatIsNoPortDialsNothing();
    void emptyHostFailsWithoutConnecting();
    void disconnectNeverConnected();
    void disconnectAfterFailedConnect();
    void disconnectConnected();
    void nestedConnectOnAnotherLink();
    void buttonsRunTheHandlers();
    void indexOutOfRange();
    void operatorInput_data();
    void operatorInput();
};

void tst_links::connectToAcceptingDevice()
{
    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[1]->setText(QString::number(device.port()));

    bool busyDuringWait = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this,
            [&] { busyDuringWait = busyDuringWait || busyPointer(w); });
    probe.start(0);
    const qint64 took = timed([&] { w.cmdConnect_Click(1); });
    probe.stop();

    QVERIFY2(took < 1500, qPrintable(QString::number(took)));
    QVERIFY(busyDuringWait);
    QVERIFY(!busyPointer(w));
    QCOMPARE(state(w, 1), int(Winsock::Connected));
    QCOMPARE(w.Winsock1[1]->remotePort(), int(device.port()));
    QCOMPARE(caption(w, 1), ConnectedOk);
    QCOMPARE(colour(w, 1), ui::green());
    QVERIFY(!connectEnabled(w, 1));
    QVERIFY(ui::ownEnabled(w.cmdDisconnect[1]));
    QVERIFY(w.cmdDisconnect[1]->isEnabled());
    // The other links are not touched.
    QCOMPARE(caption(w, 0), QStringLiteral("Label3"));
    QCOMPARE(caption(w, 2), QStringLiteral("Label3"));

    // Another attempt on the connected link: host, port and connect are refused, the wait
    // sees state 7 at its first test.
    w.lblStatus[1]->setText(QString());
    const qint64 again = timed([&] { w.cmdConnect_Click(1); });
    QVERIFY2(again < NoWaitBoundMs, qPrintable(QString::number(again)));
    QCOMPARE(caption(w, 1), ConnectedOk);
    QCOMPARE(state(w, 1), int(Winsock::Connected));
    QVERIFY(!connectEnabled(w, 1));
}

void tst_links::connectToRefusedPort()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    const quint16 port = freeLoopbackPort();
    QVERIFY(port != 0);
    w.txtPort[0]->setText(QString::number(port));

    const qint64 took = timed([&] { w.cmdConnect_Click(0); });

    // A refusal arrives at once, but only state 7 ends the wait early.
    QVERIFY2(took >= FullWaitMs && took < HandlerBoundMs, qPrintable(QString::number(took)));
    QCOMPARE(caption(w, 0), CannotConnect);
    QCOMPARE(colour(w, 0), ui::yellow());
    QVERIFY(!connectEnabled(w, 0));
    QCOMPARE(state(w, 0), int(Winsock::Error));
    QVERIFY(!busyPointer(w));
}

void tst_links::connectToSilentListener()
{
    QObject owner;
    const quint16 port = silentLoopbackPort(&owner);
    QVERIFY(port != 0);
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[2]->setText(QString::number(port));

    // Samples taken by a timer that ticks nested inside the wait.
    QList<int> states;
    bool busyThroughout = true;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] {
        states << state(w, 2);
        busyThroughout = busyThroughout && busyPointer(w);
    });
    sampler.start(100);
    const qint64 took = timed([&] { w.cmdConnect_Click(2); });
    sampler.stop();

    QVERIFY2(took >= FullWaitMs && took < HandlerBoundMs, qPrintable(QString::number(took)));
    QVERIFY2(states.size() >= 5, qPrintable(QString::number(states.size())));
    QVERIFY(busyThroughout);
    for (const int s : std::as_const(states))
        QCOMPARE(s, int(Winsock::Connecting));
    QCOMPARE(state(w, 2), int(Winsock::Connecting));
    QCOMPARE(caption(w, 2), CannotConnect);
    QCOMPARE(colour(w, 2), ui::yellow());
    QVERIFY(!connectEnabled(w, 2));
    QVERIFY(!busyPointer(w));

    // The half-open attempt is closed by a disconnect.
    const qint64 closing = timed([&] { w.cmdDisconnect_Click(2); });
    QVERIFY(closing < NoWaitBoundMs);
    QCOMPARE(state(w, 2), int(Winsock::Closed));
    QCOMPARE(caption(w, 2), Disconnected);
    QCOMPARE(colour(w, 2), ui::red());
    QVERIFY(connectEnabled(w, 2));
}

void tst_links::portText_data()
{
    // Each text is built around an even listening port p.
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("offset");
    QTest::newRow("plain") << "%1" << 0;
    QTest::newRow("blanks around") << " %1 " << 0;
    QTest::newRow("many blanks") << "    %1   " << 0;
    QTest::newRow("tie below even goes down") << "%1.5" << 0;
    QTest::newRow("tie below odd goes up") << "%1.5" << -1;
    QTest::newRow("fraction under half") << "%1.49" << 0;
    QTest::newRow("fraction over half") << "%1.51" << -1;
    QTest::newRow("tie with blanks") << "  %1.5 " << -1;
    QTest::newRow("exponent form") << "%1e0" << 0;
}

void tst_links::portText()
{
    QFETCH(QString, pattern);
    QFETCH(int, offset);
    QTcpServer server;
    QVERIFY(listenOnEvenPort(server));
    const int port = server.serverPort();
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[0]->setText(pattern.arg(port + offset));

    w.cmdConnect_Click(0);

    QCOMPARE(w.Winsock1[0]->remotePort(), port);
    QCOMPARE(caption(w, 0), ConnectedOk);
    QCOMPARE(state(w, 0), int(Winsock::Connected));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
}

void tst_links::portThatIsNoPortDialsNothing_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("blanks") << "   ";
    QTest::newRow("letters") << "abc";
    QTest::newRow("letter O for zero") << "5O2";
    QTest::newRow("C hex notation") << "0x1F6";
    QTest::newRow("two numbers") << "50 2";
    QTest::newRow("beyond 32 bits") << "2147483648";
    QTest::newRow("huge") << "99999999999999999999999";
    QTest::newRow("overflowing exponent") << "1e400";
    QTest::newRow("infinity") << "inf";
    QTest::newRow("not a number") << "nan";
    QTest::newRow("negative") << "-1";
    QTest::newRow("above the port range") << "65536";
    QTest::newRow("far above the port range") << "2147483647";
    QTest::newRow("70000") << "70000";
    QTest::newRow("zero") << "0";
    QTest::newRow("rounds to zero") << "0.4";
}

void tst_links::portThatIsNoPortDialsNothing()
{
    QFETCH(QString, text);
    ScriptedDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[1]->setText(QString::number(device.port()));
    w.cmdConnect_Click(1);
    QCOMPARE(caption(w, 1), ConnectedOk);
    w.cmdDisconnect_Click(1);
    QCOMPARE(caption(w, 1), Disconnected);
    QTRY_COMPARE_WITH_TIMEOUT(device.connections, 1, 10000);

    w.txtPort[1]->setText(text);
    w.cmdConnect_Click(1);

    // The attempt fails as for an unreachable device; the previous port is not dialled.
    QCOMPARE(caption(w, 1), CannotConnect);
    QCOMPARE(colour(w, 1), ui::yellow());
    QCOMPARE(state(w, 1), int(Winsock::Closed));
    QVERIFY(!connectEnabled(w, 1));
    QTest::qWait(100);
    QCOMPARE(device.connections, 1);
    QCOMPARE(w.txtPort[1]->text(), text);
}

void tst_links::emptyHostFailsWithoutConnecting()
{
    ScriptedDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtIP[0]->setText(QString());
    w.txtPort[0]->setText(QString::number(device.port()));

    // Qt reports an empty host name as not found without asking any resolver.
    QList<int> states;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] { states << state(w, 0); });
    sampler.start(200);
    const qint64 took = timed([&] { w.cmdConnect_Click(0); });
    sampler.stop();

    QVERIFY2(took >= FullWaitMs && took < HandlerBoundMs, qPrintable(QString::number(took)));
    QVERIFY(!states.isEmpty());
    QCOMPARE(states.last(), int(Winsock::Error));
    QCOMPARE(w.Winsock1[0]->remoteHost(), QString());
    QCOMPARE(caption(w, 0), CannotConnect);
    QCOMPARE(colour(w, 0), ui::yellow());
    QVERIFY(!connectEnabled(w, 0));
    QCOMPARE(device.connections, 0);
}

void tst_links::disconnectNeverConnected()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.cmdConnect[0]->setEnabled(false);

    const qint64 took = timed([&] { w.cmdDisconnect_Click(0); });

    QVERIFY2(took < NoWaitBoundMs, qPrintable(QString::number(took)));
    QCOMPARE(state(w, 0), int(Winsock::Closed));
    QCOMPARE(caption(w, 0), Disconnected);
    QCOMPARE(colour(w, 0), ui::red());
    QVERIFY(connectEnabled(w, 0));
    QVERIFY(!busyPointer(w));
    QCOMPARE(caption(w, 1), QStringLiteral("Label3"));
}

void tst_links::disconnectAfterFailedConnect()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[1]->setText(QString::number(freeLoopbackPort()));
    w.cmdConnect_Click(1);
    QCOMPARE(caption(w, 1), CannotConnect);
    QCOMPARE(state(w, 1), int(Winsock::Error));
    QVERIFY(!connectEnabled(w, 1));

    const qint64 took = timed([&] { w.cmdDisconnect_Click(1); });

    QVERIFY2(took < NoWaitBoundMs, qPrintable(QString::number(took)));
    QCOMPARE(state(w, 1), int(Winsock::Closed));
    QCOMPARE(caption(w, 1), Disconnected);
    QCOMPARE(colour(w, 1), ui::red());
    QVERIFY(connectEnabled(w, 1));

    // Closed again, the link can be dialled again; the port text is read afresh.
    ModbusDevice device;
    QVERIFY(device.start());
    w.txtPort[1]->setText(QString::number(device.port()));
    w.cmdConnect_Click(1);
    QCOMPARE(caption(w, 1), ConnectedOk);
}

void tst_links::disconnectConnected()
{
    ScriptedDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[2]->setText(QString::number(device.port()));
    w.cmdConnect_Click(2);
    QCOMPARE(caption(w, 2), ConnectedOk);
    QTRY_VERIFY_WITH_TIMEOUT(device.client(), 10000);
    QPointer<QTcpSocket> peer = device.client();

    w.cmdDisconnect_Click(2);

    QCOMPARE(state(w, 2), int(Winsock::Closed));
    QCOMPARE(caption(w, 2), Disconnected);
    QCOMPARE(colour(w, 2), ui::red());
    QVERIFY(connectEnabled(w, 2));
    QVERIFY(!busyPointer(w));
    // The device sees the connection end.
    QTRY_VERIFY_WITH_TIMEOUT(!peer || peer->state() != QAbstractSocket::ConnectedState, 10000);
}

void tst_links::nestedConnectOnAnotherLink()
{
    QObject owner;
    const quint16 silent = silentLoopbackPort(&owner);
    QVERIFY(silent != 0);
    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[0]->setText(QString::number(silent));
    w.txtPort[1]->setText(QString::number(device.port()));

    QStringList order;
    QString outerCaptionAfterInner;
    bool busyBeforeInner = false, busyAfterInner = true;
    QTimer::singleShot(200, this, [&] {
        busyBeforeInner = busyPointer(w);
        w.cmdConnect_Click(1);
        order << QStringLiteral("inner");
        outerCaptionAfterInner = caption(w, 0);
        busyAfterInner = busyPointer(w);
    });
    const qint64 took = timed([&] { w.cmdConnect_Click(0); });
    order << QStringLiteral("outer");

    QCOMPARE(order, QStringList({QStringLiteral("inner"), QStringLiteral("outer")}));
    QVERIFY(busyBeforeInner);
    // The inner run restored the default pointer while the outer wait was still running.
    QVERIFY(!busyAfterInner);
    QCOMPARE(outerCaptionAfterInner, QStringLiteral("Label3"));
    QVERIFY2(took >= FullWaitMs && took < HandlerBoundMs, qPrintable(QString::number(took)));
    QCOMPARE(caption(w, 1), ConnectedOk);
    QCOMPARE(state(w, 1), int(Winsock::Connected));
    QCOMPARE(caption(w, 0), CannotConnect);
    QVERIFY(!connectEnabled(w, 0));
    QVERIFY(!connectEnabled(w, 1));
    QVERIFY(!busyPointer(w));
}

void tst_links::buttonsRunTheHandlers()
{
    ModbusDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.show();
    w.txtPort[0]->setText(QString::number(device.port()));

    QCOMPARE(w.linkMarks.marked(0), std::optional<bool>(false));
    QTest::mouseClick(w.cmdConnect[0], Qt::LeftButton);
    QCOMPARE(caption(w, 0), ConnectedOk);
    QVERIFY(!connectEnabled(w, 0));
    // The operator's clicks, and only they, move the link's mark.
    QCOMPARE(w.linkMarks.marked(0), std::optional<bool>(true));
    // A disabled Connect button takes no click.
    w.lblStatus[0]->setText(QString());
    QTest::mouseClick(w.cmdConnect[0], Qt::LeftButton);
    QCOMPARE(caption(w, 0), QString());

    QTest::mouseClick(w.cmdDisconnect[0], Qt::LeftButton);
    QCOMPARE(caption(w, 0), Disconnected);
    QCOMPARE(state(w, 0), int(Winsock::Closed));
    QVERIFY(connectEnabled(w, 0));
    QCOMPARE(w.linkMarks.marked(0), std::optional<bool>(false));
    w.cmdConnect_Click(0);
    QCOMPARE(w.linkMarks.marked(0), std::optional<bool>(false));
}

void tst_links::indexOutOfRange()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    for (const int index : {-1, 3, 4, 1000, INT_MIN, INT_MAX}) {
        const qint64 took = timed([&] {
            w.cmdConnect_Click(index);
            w.cmdDisconnect_Click(index);
        });
        QVERIFY(took < NoWaitBoundMs);
    }
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        QCOMPARE(caption(w, i), QStringLiteral("Label3"));
        QCOMPARE(state(w, i), int(Winsock::Closed));
        QVERIFY(connectEnabled(w, i));
    }
    QVERIFY(!busyPointer(w));
}

void tst_links::operatorInput_data()
{
    // Host texts are limited to what never reaches a resolver: addresses, the empty text and
    // names Qt refuses as invalid (a blank inside). "listening" and "free" stand for a port
    // that a device listens on and one that nothing listens on; the socket's previous port
    // is the listening one.
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("connects");
    QTest::newRow("address, port") << "127.0.0.1"
                                   << "listening" << true;
    QTest::newRow("address with blanks") << "  127.0.0.1 "
                                         << "listening" << true;
    QTest::newRow("address, letters") << "127.0.0.1"
                                      << "x" << false;
    QTest::newRow("address, huge") << "127.0.0.1"
                                   << "1e308" << false;
    QTest::newRow("address, negative huge") << "127.0.0.1"
                                            << "-1e308" << false;
    QTest::newRow("address, free") << "127.0.0.1"
                                   << "free" << false;
    QTest::newRow("empty, empty") << ""
                                  << "" << false;
    QTest::newRow("blanks, blanks") << "   "
                                    << "   " << false;
    QTest::newRow("name with blank, listening") << "plc one"
                                                << "listening" << false;
    QTest::newRow("letters and digits with blank") << "a1 .b2"
                                                   << "65536" << false;
    QTest::newRow("unprintable") << QString::fromUtf8("\t\x01 ") << "\t" << false;
}

void tst_links::operatorInput()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, connects);
    ScriptedDevice device;
    QVERIFY(device.start());
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    w.Winsock1[0]->setRemotePort(device.port());
    port.replace(QStringLiteral("listening"), QString::number(device.port()));
    port.replace(QStringLiteral("free"), QString::number(freeLoopbackPort()));
    w.txtIP[0]->setText(host);
    w.txtPort[0]->setText(port);

    const qint64 took = timed([&] { w.cmdConnect_Click(0); });
    QVERIFY2(took < HandlerBoundMs, qPrintable(QString::number(took)));
    QCOMPARE(caption(w, 0), connects ? ConnectedOk : CannotConnect);
    QCOMPARE(colour(w, 0), connects ? ui::green() : ui::yellow());
    QVERIFY(!connectEnabled(w, 0));

    const qint64 closing = timed([&] { w.cmdDisconnect_Click(0); });
    QVERIFY(closing < NoWaitBoundMs);
    QCOMPARE(caption(w, 0), Disconnected);
    QVERIFY(connectEnabled(w, 0));
    QVERIFY(!busyPointer(w));
    if (!connects) QCOMPARE(device.connections, 0);
}

QTEST_MAIN(tst_links)
#include "tst_links.moc"
