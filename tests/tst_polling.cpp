#include "app/optionip.h"
#include "app/ui.h"
#include "links/winsock.h"
#include "support/devices.h"
#include "support/pollwindow.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace
{

bool isGreen(const QWidget *widget)
{
    return ui::backColor(widget) == ui::green();
}

struct Exchange {
    int link;
    bool isRequest;
    QByteArray bytes;
};

// Sits between one link and an honest device and notes every request and reply, in the
// order they pass, in a log shared by all links.
class RecordingProxy : public QObject
{
public:
    RecordingProxy(int link, QList<Exchange> *log) : m_link(link), m_log(log)
    {
        m_front.onReceived = [this](const QByteArray &bytes) {
            m_log->append({m_link, true, bytes});
            m_upstream.write(bytes);
        };
        connect(&m_upstream, &QTcpSocket::readyRead, this, [this] {
            const QByteArray bytes = m_upstream.readAll();
            m_log->append({m_link, false, bytes});
            m_front.send(bytes);
        });
    }

    bool start(quint16 devicePort)
    {
        if (!m_front.start()) return false;
        m_upstream.connectToHost(QHostAddress::LocalHost, devicePort);
        return QTest::qWaitFor(
            [this] { return m_upstream.state() == QAbstractSocket::ConnectedState; }, 10000);
    }
    quint16 port() const { return m_front.port(); }

private:
    int m_link;
    QList<Exchange> *m_log;
    ScriptedDevice m_front;
    QTcpSocket m_upstream;
};

QList<QByteArray> requestsIn(const QList<Exchange> &log)
{
    QList<QByteArray> requests;
    for (const Exchange &e : log) {
        if (e.isRequest) requests << e.bytes;
    }
    return requests;
}

quint16 registerValue(int device, int address)
{
    // Spread over the whole 16-bit range, high bit included.
    return quint16((device + 1) * 7919 + address * 2654435761u);
}

} // namespace

class tst_polling : public QObject
{
    Q_OBJECT

private slots:
    // Every case gets a directory of its own.
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
    }
    void requestBytes_data();
    void requestBytes();
    void transmitCaptionsWithoutReply();
    void unconnectedLink_data();
    void unconnectedLink();
    void refusedLinkCountsAsNotConnected();
    void stepWalksSlotsInOrder();
    void fullCycleOverFiveSlots();
    void deviceThatNeverAnswers();
    void outOfRangeIndexes();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
};

void tst_polling::requestBytes_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("register 1, 10 registers")
        << "1"
        << "10" << QByteArray::fromHex("00010000000601030000000A");
    QTest::newRow("register 40001, 2 registers")
        << "40001"
        << "2" << QByteArray::fromHex("00010000000601039C400002");
    QTest::newRow("register 0, 300 registers")
        << "0"
        << "300" << QByteArray::fromHex("00010000000601030000012C");
    QTest::newRow("no numbers") << "abc"
                                << "12abc" << QByteArray::fromHex("00010000000601030000000C");
    // A request for no register is not sent.
    QTest::newRow("empty texts") << ""
                                 << "" << QByteArray();
    QTest::newRow("register 70001, count -1") << "70001"
                                              << "-1" << QByteArray();
    QTest::newRow("count 65536") << "1"
                                 << "65536" << QByteArray();
}

void tst_polling::requestBytes()
{
    QFETCH(QString, start);
    QFETCH(QString, count);
    QFETCH(QByteArray, request);

    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    ScriptedDevice device;
    QVERIFY(device.start());
    QVERIFY(connectLink(w, 2, device.port()));
    setSlot(w, 3, 2, start, count);
    w.slotIdx = 3;

    const QString caption = w.lblStatus[2]->text();
    w.cmdRead_Click();
    QCOMPARE(w.devIdx, quint8(2));
    if (request.isEmpty()) {
        // Nothing asked, nothing shown; the slot is over and the cycle moves on.
        QVERIFY(!w.requestSent);
        QCOMPARE(w.lblStatus[2]->text(), caption);
        QVERIFY(w.Timer4->isActive());
        ui::disableTimer(w.Timer4);
        // The next request on the link is the first one it sends.
        setSlot(w, 3, 2, QStringLiteral("1"), QStringLiteral("1"));
        w.cmdRead_Click();
        QTRY_COMPARE_WITH_TIMEOUT(device.received, QByteArray::fromHex("000100000006010300000001"),
                                  10000);
        return;
    }
    QVERIFY(w.requestSent);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(w.txFrame.data()), 12), request);
    QTRY_COMPARE_WITH_TIMEOUT(device.received, request, 10000);
}

void tst_polling::transmitCaptionsWithoutReply()
{
    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    ScriptedDevice device;
    QVERIFY(device.start());
    QVERIFY(connectLink(w, 1, device.port()));
    for (const int s : {2, 3, 4})
        setSlot(w, s, 1, QStringLiteral("1"), QStringLiteral("10"));
    w.lblStatus[1]->setText(QStringLiteral("Connected OK"));
    ui::setBackColor(w.lblStatus[1], ui::green());

    const QStringList expected = {QStringLiteral("Transmit"),
                                  QStringLiteral("Transmit.............."),
                                  QStringLiteral("Transmit")};
    for (int k = 0; k < expected.size(); ++k) {
        w.slotIdx = qint16(2 + k);
        w.cmdRead_Click();
        QCOMPARE(w.lblStatus[1]->text(), expected[k]);
    }
    QCOMPARE(ui::backColor(w.lblStatus[1]), ui::green()); // the colour is left alone
    // Each request has an identifier of its own, counting up from 1 on its link.
    const QByteArray request = QByteArray::fromHex("0000000601030000000A");
    QTRY_COMPARE_WITH_TIMEOUT(device.received,
                              QByteArray::fromHex("0001") + request + QByteArray::fromHex("0002") +
                                  request + QByteArray::fromHex("0003") + request,
                              10000);

    // A sent request touches neither the grid nor the cycle; the reply will.
    for (int row = 0; row < 30; ++row)
        QCOMPARE(w.cellText(row, valueColumn(2)), QString());
    QVERIFY(!w.Timer4->isActive());
    QCOMPARE(w.Label6->text(), QStringLiteral("www.example.com"));

    // Slot 2 comes round again with its request still owed: the device is silent, and the
    // link says so instead of staying green.
    w.setCellText(1, valueColumn(2), QStringLiteral("7"));
    w.slotIdx = 2;
    w.cmdRead_Click();
    QCOMPARE(w.lblStatus[1]->text(), QStringLiteral("Data Loss"));
    QCOMPARE(ui::backColor(w.lblStatus[1]), ui::yellow());
    QVERIFY(w.slotFailed(2));
    QVERIFY(!w.slotFailed(3));
    QCOMPARE(w.tabel->item(1, valueColumn(2))->background().color(), ui::yellow());
    QCOMPARE(w.cellText(1, valueColumn(2)), QStringLiteral("7"));

    // A slot without a selected device reads on the link of the slot read before.
    setSlot(w, 0, -1, QStringLiteral("5"), QStringLiteral("1"));
    w.slotIdx = 0;
    w.cmdRead_Click();
    QCOMPARE(w.devIdx, quint8(1));
    QCOMPARE(w.lblStatus[1]->text(), QStringLiteral("Transmit"));
    QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 60, 10000);
    QCOMPARE(device.received.right(12), QByteArray::fromHex("000500000006010300040001"));

    // The late reply to slot 2's first request brings its registers: current again.
    device.send(readReply(QVector<quint16>(10, 42), 1));
    QTRY_COMPARE_WITH_TIMEOUT(w.cellText(1, valueColumn(2)), QStringLiteral("42"), 10000);
    QVERIFY(!w.slotFailed(2));
    QCOMPARE(w.tabel->item(1, valueColumn(2))->data(Qt::BackgroundRole), QVariant());
    QCOMPARE(w.lblStatus[1]->text(), QStringLiteral("Received"));
    QCOMPARE(ui::backColor(w.lblStatus[1]), ui::green());
}

void tst_polling::unconnectedLink_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("link");
    QTest::addColumn<QString>("count");
    // The link's saved "Scon" text: "False" marks it for connection.
    QTest::addColumn<QString>("saved");
    QTest::addColumn<int>("markedRows"); // -1: the slot is unused

    QTest::newRow("slot 0, count 3") << 0 << 2 << "3"
                                     << "True" << 3;
    QTest::newRow("slot 3, count 3, marked") << 3 << 2 << "3"
                                             << "False" << 3;
    QTest::newRow("slot 4, count 3") << 4 << 0 << "3"
                                     << "True" << 3;
    QTest::newRow("slot 4, count 40, marked") << 4 << 1 << "40"
                                              << "False" << 29;
    QTest::newRow("slot 1, count 1e9, unused") << 1 << 1 << "1e9"
                                               << "True" << -1;
    QTest::newRow("slot 2, count 2.5") << 2 << 0 << "2.5"
                                       << "True" << 2;
    QTest::newRow("slot 2, count 29, unreadable mark") << 2 << 0 << "29"
                                                       << "maybe" << 29;
    // A count that asks for no register leaves the slot unused: no caption, no mark.
    QTest::newRow("slot 0, count 000, unused") << 0 << 0 << "000"
                                               << "True" << -1;
    QTest::newRow("slot 0, count -1, unused") << 0 << 0 << "-1"
                                              << "True" << -1;
    QTest::newRow("slot 1, empty count, unused") << 1 << 2 << ""
                                                 << "True" << -1;
    QTest::newRow("slot 1, letters, marked, unused") << 1 << 2 << "abc"
                                                     << "False" << -1;
    QTest::newRow("slot 4, count 0.4, unused") << 4 << 1 << "0.4"
                                               << "True" << -1;
    // Not a number as a whole: as many rows as a request would ask for.
    QTest::newRow("slot 3, 12abc") << 3 << 2 << "12abc"
                                   << "True" << 12;
}

void tst_polling::unconnectedLink()
{
    QFETCH(int, slot);
    QFETCH(int, link);
    QFETCH(QString, count);
    QFETCH(QString, saved);
    QFETCH(int, markedRows);

    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    setSlot(w, slot, link, QStringLiteral("1"), count);
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        for (int row = 1; row < 30; ++row)
            w.setCellText(row, valueColumn(s), QStringLiteral("v"));
    }
    w.linkMarks.readSaved(link, saved);
    const bool linkMarked = w.linkMarks.oughtToConnect(link);
    // The mark decides, not the Connect button: a marked link that the sequence has just
    // reset has its button enabled.
    w.cmdConnect[size_t(link)]->setEnabled(linkMarked);
    ui::setBackColor(w.strReg[4], ui::green());
    w.slotIdx = qint16(slot);

    w.cmdRead_Click();
    const bool sequenceStarted = w.tloading->isActive();
    const bool nextSlotArmed = w.Timer4->isActive();
    // Keep the connection sequence and the chain out of the rest of the test.
    ui::disableTimer(w.tloading);
    ui::disableTimer(w.Timer4);

    const bool unused = markedRows < 0;
    QCOMPARE(w.devIdx, quint8(link));
    QCOMPARE(w.lblStatus[size_t(link)]->text(),
             unused ? QStringLiteral("Label3") : QStringLiteral("Not connected"));
    QCOMPARE(ui::backColor(w.lblStatus[size_t(link)]), ui::lightRed());
    QVERIFY(!w.requestSent);
    QCOMPARE(sequenceStarted, linkMarked && !unused);
    QCOMPARE(nextSlotArmed, slot < 4);
    QCOMPARE(isGreen(w.strReg[4]), slot < 4);
    if (slot == 4) QCOMPARE(ui::backColor(w.strReg[4]), ui::windowBackground());

    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        for (int row = 1; row < 30; ++row) {
            const bool marked = s == slot && row <= markedRows;
            QCOMPARE(w.cellText(row, valueColumn(s)),
                     marked ? QStringLiteral("???") : QStringLiteral("v"));
        }
    }
}

void tst_polling::refusedLinkCountsAsNotConnected()
{
    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    Winsock *socket = w.Winsock1[0];
    socket->setRemoteHost(QStringLiteral("127.0.0.1"));
    socket->setRemotePort(freeLoopbackPort());
    socket->connectToRemote();
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), int(Winsock::Error), 10000);

    setSlot(w, 1, 0, QStringLiteral("1"), QStringLiteral("2"));
    w.slotIdx = 1;
    w.cmdRead_Click();
    ui::disableTimer(w.tloading);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Not connected"));
    QCOMPARE(w.cellText(1, 4), QStringLiteral("???"));
    QCOMPARE(w.cellText(2, 4), QStringLiteral("???"));
    QCOMPARE(w.cellText(3, 4), QString());
    QVERIFY(w.Timer4->isActive());
    ui::disableTimer(w.Timer4);
}

void tst_polling::stepWalksSlotsInOrder()
{
    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, 2, QStringLiteral("1"), QStringLiteral("1"));
    QVERIFY(w.bar[0]->isHidden());

    // Direct steps: each one moves on by exactly one slot and highlights it alone.
    const QList<int> order = {0, 1, 2, 3, 4, 0, 1};
    for (const int expected : order) {
        w.cmdConnectDev_Click();
        QCOMPARE(int(w.slotIdx), expected);
        QVERIFY(!w.bar[0]->isHidden());
        for (int k = 0; k < OptionIP::SlotCount; ++k) {
            // Slot 4 on a link that is not connected is finished at once and loses its mark.
            const bool green = k == expected && expected < 4;
            QCOMPARE(isGreen(w.strReg[size_t(k)]), green);
            if (!green) QCOMPARE(ui::backColor(w.strReg[size_t(k)]), ui::windowBackground());
        }
        QCOMPARE(w.Timer4->isActive(), expected < 4);
    }

    // With no device connected, a Timer3 tick walks the five slots by itself and rests.
    w.slotIdx = 4;
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        w.setCellText(1, valueColumn(s), QString());
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 0);
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        QCOMPARE(w.cellText(1, valueColumn(s)), QStringLiteral("???"));
    QVERIFY(!w.tloading->isActive());
    QVERIFY(QFile::exists(m_tmp->filePath(QStringLiteral("data.txt"))));
}

void tst_polling::fullCycleOverFiveSlots()
{
    OptionIP w(m_tmp->path());
    shapeForPolling(w);

    struct SlotSetup {
        int link;
        QString start;
        QString count;
        int address;
        int rows;
        QByteArray request;
    };
    const std::array<SlotSetup, 5> plan = {{
        {0, QStringLiteral("1"), QStringLiteral("10"), 0, 10,
         QByteArray::fromHex("00010000000601030000000A")},
        {1, QStringLiteral("100"), QStringLiteral("3"), 99, 3,
         QByteArray::fromHex("000100000006010300630003")},
        {2, QStringLiteral("5001"), QStringLiteral("40"), 5000, 29,
         QByteArray::fromHex("000100000006010313880028")},
        {0, QStringLiteral("20"), QStringLiteral("4"), 19, 4,
         QByteArray::fromHex("000200000006010300130004")},
        {1, QStringLiteral("9999"), QStringLiteral("1"), 9998, 1,
         QByteArray::fromHex("0002000000060103270E0001")},
    }};

    std::array<ModbusDevice, 3> devices;
    QList<Exchange> log;
    std::array<std::unique_ptr<RecordingProxy>, 3> proxies;
    for (int d = 0; d < 3; ++d) {
        QVERIFY(devices[size_t(d)].start());
        for (const SlotSetup &s : plan) {
            for (int r = 0; r < 40; ++r)
                devices[size_t(d)].setRegister(s.address + r, registerValue(d, s.address + r));
        }
        proxies[size_t(d)] = std::make_unique<RecordingProxy>(d, &log);
        QVERIFY(proxies[size_t(d)]->start(devices[size_t(d)].port()));
        QVERIFY(connectLink(w, d, proxies[size_t(d)]->port()));
    }
    for (int s = 0; s < 5; ++s)
        setSlot(w, s, plan[size_t(s)].link, plan[size_t(s)].start, plan[size_t(s)].count);

    w.cmdConnectDev_Click();
    QCOMPARE(int(w.slotIdx), 0);
    QTRY_VERIFY_WITH_TIMEOUT(requestsIn(log).size() == 5 && resting(w), 10000);

    // Requests in slot order, each one only after the previous slot's reply came back.
    const QList<QByteArray> requests = requestsIn(log);
    for (int s = 0; s < 5; ++s)
        QCOMPARE(requests[s], plan[size_t(s)].request);
    int previousRequest = -1;
    for (int s = 0; s < 5; ++s) {
        int at = previousRequest + 1;
        while (at < log.size() && !log[at].isRequest)
            ++at;
        QVERIFY(at < log.size());
        QCOMPARE(log[at].link, plan[size_t(s)].link);
        if (s > 0) {
            bool replied = false;
            for (int k = previousRequest + 1; k < at; ++k)
                replied = replied || (!log[k].isRequest && log[k].link == plan[size_t(s - 1)].link);
            QVERIFY2(replied, qPrintable(QStringLiteral("slot %1 asked before a reply").arg(s)));
        }
        previousRequest = at;
    }

    for (int s = 0; s < 5; ++s) {
        const SlotSetup &slot = plan[size_t(s)];
        for (int row = 1; row <= slot.rows; ++row) {
            QCOMPARE(w.cellText(row, valueColumn(s)),
                     QString::number(registerValue(slot.link, slot.address + row - 1)));
        }
        QCOMPARE(w.cellText(slot.rows + 1, valueColumn(s)), QString());
    }
    for (int link = 0; link < 3; ++link) {
        QCOMPARE(w.lblStatus[size_t(link)]->text(), QStringLiteral("Received"));
        QCOMPARE(ui::backColor(w.lblStatus[size_t(link)]), ui::green());
    }
    QCOMPARE(w.Label6->text(), QStringLiteral("11")); // slot 4: one register
    QVERIFY(!w.bar[0]->isHidden());

    // No further read until the next Timer3 tick.
    QTest::qWait(100);
    QCOMPARE(requestsIn(log).size(), 5);
    QVERIFY(resting(w));

    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 0);
    QVERIFY(isGreen(w.strReg[0]));
    QCOMPARE(greenSlots(w), 1);
    QVERIFY(QFile::exists(m_tmp->filePath(QStringLiteral("data.txt"))));
    QTRY_VERIFY_WITH_TIMEOUT(requestsIn(log).size() == 10 && resting(w), 10000);
    // The same requests, each link's identifiers counting on: two a cycle on A and B, one on C.
    for (int s = 0; s < 5; ++s) {
        const QByteArray again = requestsIn(log)[5 + s];
        QCOMPARE(again.mid(2), plan[size_t(s)].request.mid(2));
        const int step = plan[size_t(s)].link == 2 ? 1 : 2;
        QCOMPARE(quint8(again[1]), quint8(plan[size_t(s)].request[1] + step));
    }
}

void tst_polling::deviceThatNeverAnswers()
{
    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    ModbusDevice device;
    QVERIFY(device.start());
    for (int address = 0; address < 10; ++address)
        device.setRegister(address, quint16(1000 + address));
    ScriptedDevice silent;
    QVERIFY(silent.start());
    QVERIFY(connectLink(w, 0, device.port()));
    QVERIFY(connectLink(w, 1, silent.port()));
    for (int s = 0; s < 5; ++s)
        setSlot(w, s, s == 1 ? 1 : 0, QString::number(s + 1), QStringLiteral("2"));

    w.Timer3_Timer();
    QTRY_COMPARE_WITH_TIMEOUT(silent.received.size(), 12, 10000);
    QCOMPARE(w.cellText(1, 2), QStringLiteral("1000"));
    QCOMPARE(w.cellText(2, 2), QStringLiteral("1001"));

    // The chain waits on the silent slot...
    QTest::qWait(300);
    QCOMPARE(int(w.slotIdx), 1);
    QVERIFY(isGreen(w.strReg[1]));
    QCOMPARE(greenSlots(w), 1);
    QVERIFY(!w.Timer4->isActive());
    QCOMPARE(w.lblStatus[1]->text(), QStringLiteral("Transmit"));

    // ...until the next Timer3 tick moves on to the following slot, and the chain goes on.
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 2);
    QVERIFY(isGreen(w.strReg[2]));
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    for (int s = 2; s < 5; ++s)
        QCOMPARE(w.cellText(1, valueColumn(s)), QString::number(1000 + s));
    QCOMPARE(w.cellText(1, 4), QString());

    // A silent last slot: the next tick starts a new cycle at slot 0.
    setSlot(w, 1, 0, QStringLiteral("2"), QStringLiteral("2"));
    setSlot(w, 4, 1, QStringLiteral("5"), QStringLiteral("2"));
    w.Timer3_Timer();
    QTRY_COMPARE_WITH_TIMEOUT(silent.received.size(), 24, 10000);
    QCOMPARE(int(w.slotIdx), 4);
    QVERIFY(isGreen(w.strReg[4]));
    QVERIFY(!w.Timer4->isActive());
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 0);
    QVERIFY(isGreen(w.strReg[0]));
    QCOMPARE(greenSlots(w), 1);
}

void tst_polling::outOfRangeIndexes()
{
    OptionIP w(m_tmp->path());
    shapeForPolling(w);
    for (int s = 0; s < 5; ++s)
        setSlot(w, s, 2, QStringLiteral("1"), QStringLiteral("3"));

    // A slot index beyond the last slot reads nothing and leaves the cycle at rest.
    w.slotIdx = 7;
    ui::setBackColor(w.strReg[4], ui::green());
    w.cmdRead_Click();
    QVERIFY(!w.Timer4->isActive());
    QCOMPARE(ui::backColor(w.strReg[4]), ui::windowBackground());
    QCOMPARE(w.cellText(1, valueColumn(7)), QString());
    QCOMPARE(w.lblStatus[2]->text(), QStringLiteral("Label3"));

    // Below the first slot: the read is skipped and the cycle moves on.
    w.slotIdx = -3;
    w.cmdRead_Click();
    QVERIFY(w.Timer4->isActive());
    w.cmdConnectDev_Click();
    QCOMPARE(int(w.slotIdx), 0);
    QCOMPARE(w.cellText(1, 2), QStringLiteral("???"));
    ui::disableTimer(w.Timer4);

    // A link index that names no link counts as not connected; no link's status changes.
    w.devIdx = 200;
    w.LstIP[1]->setCurrentIndex(-1);
    w.slotIdx = 1;
    for (QLabel *status : w.lblStatus)
        status->setText(QStringLiteral("before"));
    w.cmdRead_Click();
    QCOMPARE(w.devIdx, quint8(200));
    for (const QLabel *status : w.lblStatus)
        QCOMPARE(status->text(), QStringLiteral("before"));
    QCOMPARE(w.cellText(3, 4), QStringLiteral("???"));
    QVERIFY(w.Timer4->isActive());
    QVERIFY(!w.tloading->isActive());
    ui::disableTimer(w.Timer4);

    // Arrivals for no link, or while the slot's link is none, change nothing.
    w.Winsock1_DataArrival(0, 12);
    w.devIdx = 0;
    w.Winsock1_DataArrival(5, 12);
    w.Winsock1_DataArrival(-1, 12);
    for (const QLabel *status : w.lblStatus)
        QCOMPARE(status->text(), QStringLiteral("before"));
    QVERIFY(!w.Timer4->isActive());
}

QTEST_MAIN(tst_polling)
#include "tst_polling.moc"
