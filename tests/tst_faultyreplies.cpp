#include "app/optionip.h"
#include "app/ui.h"
#include "links/winsock.h"
#include "modbus/rtu.h"
#include "support/devices.h"
#include "support/pollwindow.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

QStringList column(const OptionIP &w, int slot, int rows)
{
    QStringList cells;
    for (int row = 1; row <= rows; ++row)
        cells << w.cellText(row, valueColumn(slot));
    return cells;
}

QStringList texts(const QVector<quint16> &values)
{
    QStringList cells;
    for (const quint16 value : values)
        cells << QString::number(value);
    return cells;
}

// Steps the cycle onto `slot`, as the step before it would.
void stepTo(OptionIP &w, int slot)
{
    w.slotIdx = qint16(slot == 0 ? 4 : slot - 1);
    w.cmdConnectDev_Click();
}

const QVector<quint16> Sentinel = {11, 12, 13};

enum Outcome { Decoded, Lost, Ignored };

// The bytes carrying the transaction identifier of `request`.
QByteArray stamped(QByteArray bytes, const QByteArray &request)
{
    if (bytes.size() >= 2 && request.size() >= 2) bytes.replace(0, 2, request.left(2));
    return bytes;
}

// A window whose slot (0 or 4) reads three registers from a scripted device on link 0, and
// whose other slots sit on link 2, which is not connected, so a chain started at slot 0
// runs through to the rest. The slot's column already holds a good earlier reply.
struct Bench {
    QTemporaryDir dir;
    OptionIP w{dir.path()};
    ScriptedDevice device;
    int slot = 4;

    bool setUp(int slotIndex)
    {
        slot = slotIndex;
        shapeForPolling(w);
        if (!device.start() || !connectLink(w, 0, device.port())) return false;
        for (int s = 0; s < OptionIP::SlotCount; ++s)
            setSlot(w, s, 2, QStringLiteral("1"), QStringLiteral("0"));
        setSlot(w, slot, 0, QStringLiteral("1"), QStringLiteral("3"));
        stepTo(w, slot);
        if (!QTest::qWaitFor([this] { return device.received.size() == 12; }, 10000)) return false;
        device.send(readReply(Sentinel, transactionOf(device.received)));
        return QTest::qWaitFor([this] { return resting(w); }, 10000) &&
               column(w, slot, 3) == texts(Sentinel);
    }
};

} // namespace

Q_DECLARE_METATYPE(Outcome)

enum class Edit { Start, Count, NoCount, Device };
Q_DECLARE_METATYPE(Edit)

class tst_faultyreplies : public QObject
{
    Q_OBJECT

private slots:
    void reply_data();
    void reply();
    void slotEditedWhileItsRequestIsOwed_data();
    void slotEditedWhileItsRequestIsOwed();
    void partialReplySurvivesTheNextRequest();
    void lateReplyAfterTheCycleMovedOn();
    void bytesOnAnotherLink();
    void deviceClosesInTheMiddleOfAReply();
    void unsolicitedBytes();
    void rtuReplyWithABadCrc();
    void randomBytesInRandomPieces();
};

void tst_faultyreplies::reply_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("echo"); // the request's transaction identifier goes into the bytes
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("leftover"); // bytes still waiting afterwards

    const QVector<quint16> values = {901, 902, 65535};
    QByteArray function4 = readReply(values);
    function4[7] = 4;
    QByteArray otherTransaction = readReply(values);
    otherTransaction[1] = 5;
    QByteArray otherUnit = readReply(values);
    otherUnit[6] = 7;
    QByteArray counting(1000, 0);
    for (int k = 0; k < counting.size(); ++k)
        counting[k] = char(k);

    struct Case {
        const char *name;
        QByteArray bytes;
        int gapMs;
        bool echo;
        Outcome outcome;
        int leftover;
    };
    const QList<Case> cases = {
        {"good reply", readReply(values), -1, true, Decoded, 0},
        {"good reply, identifier 0", readReply(values), -1, false, Decoded, 0},
        {"good reply one byte at a time", readReply(values), 20, true, Decoded, 0},
        {"good reply with trailing bytes", readReply(values) + QByteArray::fromHex("DEAD"), -1,
         true, Decoded, 2},
        {"another unit", otherUnit, -1, true, Decoded, 0},
        {"identifier of no request", otherTransaction, -1, false, Ignored, 0},
        {"exception reply", exceptionReply(2), -1, true, Lost, 0},
        {"exception reply one byte at a time", exceptionReply(2), 20, false, Lost, 0},
        {"four registers for three", readReply({901, 902, 903, 904}), -1, true, Lost, 0},
        {"two registers for three", readReply({901, 902}), -1, true, Lost, 0},
        {"byte count beyond the frame", QByteArray::fromHex("0000000000070103060385038603"), -1,
         true, Lost, 1},
        {"function 4", function4, -1, true, Lost, 0},
        {"length field 0", QByteArray::fromHex("000000000000010306038503860387"), -1, false, Lost,
         0},
        {"length field 255",
         QByteArray::fromHex("0000000000FF010306038503860387") + QByteArray(300, 1), -1, false,
         Lost, 0},
        {"1000 bytes of 0xA5", QByteArray(1000, char(0xA5)), -1, false, Lost, 0},
        {"1000 counting bytes", counting, -1, false, Lost, 0},
        {"1000 zero bytes", QByteArray(1000, 0), -1, false, Lost, 0},
    };
    for (const int slot : {0, 4}) {
        for (const Case &c : cases) {
            QTest::addRow("%s, slot %d", c.name, slot)
                << slot << c.bytes << c.gapMs << c.echo << c.outcome << c.leftover;
        }
    }
}

void tst_faultyreplies::reply()
{
    QFETCH(int, slot);
    QFETCH(QByteArray, bytes);
    QFETCH(int, gapMs);
    QFETCH(bool, echo);
    QFETCH(Outcome, outcome);
    QFETCH(int, leftover);

    Bench bench;
    QVERIFY(bench.setUp(slot));
    OptionIP &w = bench.w;
    w.Label6->setText(QStringLiteral("before"));

    // What the window shows after each arrival has been handled.
    QStringList statuses;
    QList<QStringList> grids;
    connect(w.Winsock1[0], &Winsock::dataArrival, this, [&] {
        statuses << w.lblStatus[0]->text();
        grids << column(w, slot, 3);
    });

    stepTo(w, slot);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 24, 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Transmit"));
    if (echo) bytes = stamped(bytes, bench.device.received.mid(12));
    bench.device.send(bytes, gapMs);

    if (outcome == Ignored) {
        QTRY_VERIFY_WITH_TIMEOUT(!statuses.isEmpty() && w.Winsock1[0]->bytesAvailable() == 0,
                                 10000);
        QVERIFY(!resting(w));
        QCOMPARE(int(w.slotIdx), slot);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(resting(w) && !statuses.isEmpty(), 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1[0]->bytesAvailable(), qint64(leftover), 10000);
    // Sent in pieces, the reply raised several arrivals before it was whole.
    if (gapMs > 0) QVERIFY(statuses.size() >= 2);

    if (outcome == Decoded) {
        QCOMPARE(column(w, slot, 3), texts({901, 902, 65535}));
        QCOMPARE(w.Label6->text(), QStringLiteral("15"));
        QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
        QCOMPARE(ui::backColor(w.lblStatus[0]), ui::green());
        QCOMPARE(w.cellText(4, valueColumn(slot)), QString());
        // A reply in pieces is taken once, whole: nothing moves before its last byte.
        const qsizetype taken = statuses.indexOf(QStringLiteral("Received"));
        QVERIFY(taken >= 0);
        for (qsizetype k = 0; k < statuses.size(); ++k) {
            QCOMPARE(statuses[k],
                     k < taken ? QStringLiteral("Transmit") : QStringLiteral("Received"));
            QCOMPARE(grids[k], k < taken ? texts(Sentinel) : texts({901, 902, 65535}));
        }
    } else {
        QCOMPARE(column(w, slot, 3), texts(Sentinel));
        QCOMPARE(w.Label6->text(), QStringLiteral("before"));
        const QString caption =
            outcome == Lost ? QStringLiteral("Data Loss") : QStringLiteral("Transmit");
        QCOMPARE(w.lblStatus[0]->text(), caption);
        if (outcome == Lost) QCOMPARE(ui::backColor(w.lblStatus[0]), ui::yellow());
        QVERIFY(!statuses.contains(QStringLiteral("Received")));
        for (const QStringList &grid : grids)
            QCOMPARE(grid, texts(Sentinel));
    }
    // The values a failed read leaves are old: they say so on the failure colour.
    QCOMPARE(w.slotFailed(slot), outcome == Lost);
    QCOMPARE(w.tabel->item(1, valueColumn(slot))->background().color() == ui::yellow(),
             outcome == Lost);

    // The cycle goes on: a good reply to the next request is taken as usual. Bytes left
    // behind a frame spoil the next one, which is dropped whole to resynchronise.
    for (int round = 0; round < (leftover > 0 ? 2 : 1); ++round) {
        const qsizetype asked = bench.device.received.size();
        stepTo(w, slot);
        QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), asked + 12, 10000);
        bench.device.send(readReply({21, 22, 23}, transactionOf(bench.device.received.mid(asked))));
        QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
        if (round == 0 && leftover > 0) {
            QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Data Loss"));
            QCOMPARE(w.Winsock1[0]->bytesAvailable(), qint64(0));
        }
    }
    QCOMPARE(column(w, slot, 3), texts({21, 22, 23}));
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    QVERIFY(!w.slotFailed(slot));
    QCOMPARE(w.tabel->item(3, valueColumn(slot))->data(Qt::BackgroundRole), QVariant());
}

void tst_faultyreplies::slotEditedWhileItsRequestIsOwed_data()
{
    QTest::addColumn<Edit>("edit");
    QTest::addColumn<QStringList>("next"); // what the slot shows after its next read

    QTest::newRow("start") << Edit::Start << texts({51, 52, 53});
    QTest::newRow("count 3 to 2") << Edit::Count << QStringList{"51", "52", QString()};
    // An unused slot is not read: its cells stay empty rather than keep other registers.
    QTest::newRow("count 0") << Edit::NoCount << QStringList{QString(), QString(), QString()};
    QTest::newRow("device") << Edit::Device << QStringList{"???", "???", "???"};
}

void tst_faultyreplies::slotEditedWhileItsRequestIsOwed()
{
    QFETCH(Edit, edit);
    QFETCH(QStringList, next);

    Bench bench;
    QVERIFY(bench.setUp(4));
    OptionIP &w = bench.w;
    // A read that goes unanswered, then the next: the slot has failed.
    stepTo(w, 4);
    stepTo(w, 4);
    QVERIFY(w.slotFailed(4));
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 36, 10000);
    const quint16 before = transactionOf(bench.device.received.mid(24));

    switch (edit) {
    case Edit::Start:
        w.strReg[4]->setText(QStringLiteral("100"));
        break;
    case Edit::Count:
        w.LegReg[4]->setText(QStringLiteral("2"));
        break;
    case Edit::NoCount:
        w.LegReg[4]->setText(QStringLiteral("0"));
        break;
    case Edit::Device:
        w.LstIP[4]->setCurrentIndex(2);
        break;
    }
    // The labels name other registers now; no value of the old ones stays beside them, nor
    // on the failure colour, nor in the snapshot.
    QCOMPARE(column(w, 4, 3), QStringList({QString(), QString(), QString()}));
    QVERIFY(!w.slotFailed(4));
    QCOMPARE(w.tabel->item(1, valueColumn(4))->data(Qt::BackgroundRole), QVariant());
    w.print_click();
    QCOMPARE(w.txt_print->text().split(u'#').value(5), QString());

    // The reply to the request built before the edit comes: the link answered, the slot's
    // cells stay empty.
    bench.device.send(readReply({41, 42, 43}, before));
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    QCOMPARE(column(w, 4, 3), QStringList({QString(), QString(), QString()}));

    // The next read is built from the new texts and fills them.
    stepTo(w, 4);
    if (edit == Edit::Start || edit == Edit::Count) {
        QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 48, 10000);
        bench.device.send(
            readReply(edit == Edit::Start ? QVector<quint16>{51, 52, 53} : QVector<quint16>{51, 52},
                      transactionOf(bench.device.received.mid(36))));
    }
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    QCOMPARE(column(w, 4, 3), next);
    QCOMPARE(bench.device.received.size(), edit == Edit::Start || edit == Edit::Count ? 48 : 36);
}

void tst_faultyreplies::partialReplySurvivesTheNextRequest()
{
    Bench bench;
    QVERIFY(bench.setUp(4));
    OptionIP &w = bench.w;
    setSlot(w, 0, 0, QStringLiteral("1"), QStringLiteral("2"));

    // Half of slot 4's reply arrives and waits for the rest.
    stepTo(w, 4);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 24, 10000);
    const quint16 slot4Request = transactionOf(bench.device.received.mid(12));
    const QByteArray late = readReply({31, 32, 33}, slot4Request);
    bench.device.send(late.left(5));
    QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1[0]->bytesAvailable(), qint64(5), 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Transmit"));

    // The next tick asks for slot 0 on the same link; what waits there is kept.
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 0);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 36, 10000);
    const quint16 slot0Request = transactionOf(bench.device.received.mid(24));
    QVERIFY(slot0Request != slot4Request);
    QCOMPARE(w.Winsock1[0]->bytesAvailable(), qint64(5));

    // The rest comes: slot 4 gets its own registers, late, and slot 0 still waits.
    bench.device.send(late.mid(5));
    QTRY_COMPARE_WITH_TIMEOUT(column(w, 4, 3), texts({31, 32, 33}), 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    QCOMPARE(column(w, 0, 2), QStringList({QString(), QString()}));
    QCOMPARE(int(w.slotIdx), 0);
    QVERIFY(!w.Timer4->isActive());

    // Slot 0's reply finishes it; the chain runs on to slot 4's next request.
    bench.device.send(readReply({41, 42}, slot0Request));
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 48, 10000);
    QCOMPARE(int(w.slotIdx), 4);
    QCOMPARE(column(w, 0, 2), texts({41, 42}));
    QCOMPARE(column(w, 4, 3), texts({31, 32, 33}));
    QCOMPARE(w.Label6->text(), QStringLiteral("13"));
}

void tst_faultyreplies::lateReplyAfterTheCycleMovedOn()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    shapeForPolling(w);
    ScriptedDevice device;
    QVERIFY(device.start());
    QVERIFY(connectLink(w, 0, device.port()));
    setSlot(w, 0, 0, QStringLiteral("1"), QStringLiteral("3"));
    setSlot(w, 1, 0, QStringLiteral("10"), QStringLiteral("3"));
    for (int s = 2; s < 5; ++s)
        setSlot(w, s, 2, QStringLiteral("1"), QStringLiteral("0"));

    w.Timer3_Timer();
    QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 12, 10000);
    // The next tick comes before the device answers and moves on to slot 1.
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 1);
    QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 24, 10000);
    const quint16 first = transactionOf(device.received);
    const quint16 second = transactionOf(device.received.mid(12));

    // Same size as slot 1's, but with an identifier of no request: dropped.
    device.send(readReply({601, 602, 603}, quint16(first + 100)));
    // Slot 0's own reply, now late: it fills slot 0 and leaves the cycle waiting on slot 1.
    device.send(readReply({701, 702, 703}, first));
    QTRY_COMPARE_WITH_TIMEOUT(column(w, 0, 3), texts({701, 702, 703}), 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    QCOMPARE(column(w, 1, 3), QStringList({QString(), QString(), QString()}));
    QCOMPARE(int(w.slotIdx), 1);
    QVERIFY(!w.Timer4->isActive());
    QVERIFY(w.awaitingReply);

    device.send(readReply({801, 802, 803}, second));
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    QCOMPARE(column(w, 1, 3), texts({801, 802, 803}));
    QCOMPARE(column(w, 0, 3), texts({701, 702, 703}));

    // The same replies again answer nothing any more.
    device.send(readReply({1, 2, 3}, first) + readReply({4, 5, 6}, second));
    QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1[0]->bytesAvailable(), qint64(0), 10000);
    QTest::qWait(50);
    QCOMPARE(column(w, 0, 3), texts({701, 702, 703}));
    QCOMPARE(column(w, 1, 3), texts({801, 802, 803}));

    w.print_click();
    const QStringList fields = w.txt_print->text().split(QLatin1Char('#'));
    QCOMPARE(fields.size(), 13);
    QCOMPARE(fields[1], QStringLiteral("701"));
    QCOMPARE(fields[2], QStringLiteral("801"));
}

void tst_faultyreplies::bytesOnAnotherLink()
{
    Bench bench;
    QVERIFY(bench.setUp(4));
    OptionIP &w = bench.w;
    ScriptedDevice other;
    QVERIFY(other.start());
    QVERIFY(connectLink(w, 1, other.port()));
    w.lblStatus[1]->setText(QStringLiteral("Connected OK"));
    w.Label6->setText(QStringLiteral("before"));

    stepTo(w, 4);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 24, 10000);
    // A reply of just the right size, but on link 1, which owes nothing: taken and dropped.
    QTRY_VERIFY_WITH_TIMEOUT(other.client() != nullptr, 10000);
    QSignalSpy arrivals(w.Winsock1[1], &Winsock::dataArrival);
    other.send(readReply({1, 2, 3}, transactionOf(bench.device.received.mid(12))));
    QTRY_VERIFY_WITH_TIMEOUT(arrivals.size() > 0 && w.Winsock1[1]->bytesAvailable() == 0, 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Transmit"));
    QCOMPARE(w.lblStatus[1]->text(), QStringLiteral("Connected OK"));
    QCOMPARE(column(w, 4, 3), texts(Sentinel));
    QCOMPARE(w.Label6->text(), QStringLiteral("before"));
    QVERIFY(!resting(w));

    // Link 1 owes a request for slot 3 that happens to carry the current request's identifier:
    // its reply is slot 3's, late, and the current slot on link 0 still waits.
    setSlot(w, 3, 1, QStringLiteral("1"), QStringLiteral("3"));
    w.outstanding[1].add({w.awaitedTransaction, 3, 3,
                          QDeadlineTimer::current(Qt::PreciseTimer).deadline(),
                          w.slotReads.layout(3)});
    other.send(readReply({61, 62, 63}, w.awaitedTransaction));
    QTRY_COMPARE_WITH_TIMEOUT(column(w, 3, 3), texts({61, 62, 63}), 10000);
    QVERIFY(!resting(w));
    QVERIFY(w.awaitingReply);

    bench.device.send(readReply({4, 5, 6}, w.awaitedTransaction));
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    QCOMPARE(column(w, 4, 3), texts({4, 5, 6}));
    // The last slot's reply ends the cycle with nothing owed by it any more.
    QVERIFY(!w.awaitingReply);

    // Slot 0 reads link 1; a late reply on link 0 meanwhile still goes to its own slot.
    setSlot(w, 0, 1, QStringLiteral("1"), QStringLiteral("3"));
    stepTo(w, 4);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 36, 10000);
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 0);
    QTRY_COMPARE_WITH_TIMEOUT(other.received.size(), 12, 10000);
    bench.device.send(readReply({71, 72, 73}, transactionOf(bench.device.received.mid(24))));
    QTRY_COMPARE_WITH_TIMEOUT(column(w, 4, 3), texts({71, 72, 73}), 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    QCOMPARE(int(w.slotIdx), 0);
    QVERIFY(!w.Timer4->isActive());

    other.send(readReply({7, 8, 9}, transactionOf(other.received)));
    QTRY_COMPARE_WITH_TIMEOUT(column(w, 0, 3), texts({7, 8, 9}), 10000);
    QCOMPARE(w.lblStatus[1]->text(), QStringLiteral("Received"));
    QCOMPARE(column(w, 4, 3), texts({71, 72, 73}));
}

void tst_faultyreplies::deviceClosesInTheMiddleOfAReply()
{
    Bench bench;
    QVERIFY(bench.setUp(4));
    OptionIP &w = bench.w;
    setSlot(w, 0, 0, QStringLiteral("1"), QStringLiteral("3"));
    ui::disableTimer(w.Timer1);
    w.lbtgl->setText(QStringLiteral("D"));
    w.lbjam->setText(QStringLiteral("T"));

    stepTo(w, 4);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 24, 10000);
    bench.device.send(readReply({51, 52, 53}).left(10));
    bench.device.closeClient();
    QTRY_VERIFY_WITH_TIMEOUT(w.Winsock1[0]->state() != Winsock::Connected, 10000);

    // The reply stays unfinished: nothing taken into the grid, the slot still waits.
    QCOMPARE(column(w, 4, 3), texts(Sentinel));
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Transmit"));
    QCOMPARE(ui::backColor(w.strReg[4]), ui::green());
    QVERIFY(!w.Timer4->isActive());

    // The next tick moves on; the closed link is now read as not connected.
    w.Timer3_Timer();
    QCOMPARE(int(w.slotIdx), 0);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Not connected"));
    QCOMPARE(column(w, 0, 3), QStringList({"???", "???", "???"}));
    // Written on the tick: slot 0's marks are in, slot 4 still shows its earlier reply.
    QCOMPARE(w.txt_print->text(), QStringLiteral("#???####11######D#T"));
    QFile file(bench.dir.filePath(QStringLiteral("data.txt")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), w.txt_print->text().toLocal8Bit() + "\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
}

void tst_faultyreplies::rtuReplyWithABadCrc()
{
    // RTU frames over TCP: a reply whose CRC is wrong is never shown; the right one is.
    QTemporaryDir dir;
    OptionIP w(dir.path());
    shapeForPolling(w);
    ScriptedDevice device;
    QVERIFY(device.start());
    w.txtIP[0]->setText(QStringLiteral("rtu:127.0.0.1"));
    w.txtPort[0]->setText(QString::number(device.port()));
    w.cmdConnect_Click(0);
    QCOMPARE(w.Winsock1[0]->state(), int(Winsock::Connected));
    setSlot(w, 0, 0, QStringLiteral("5"), QStringLiteral("1"));
    stepTo(w, 0);
    QTRY_COMPARE_WITH_TIMEOUT(device.received, rtu::withCrc(QByteArray::fromHex("010300040001")),
                              10000);
    const QByteArray reply = rtu::withCrc(QByteArray::fromHex("0103021092"));
    QByteArray broken = reply;
    broken[4] = char(0x93);
    QSignalSpy dropped(w.Winsock1[0], &Winsock::rtuDropped);
    device.send(broken);
    QTRY_COMPARE_WITH_TIMEOUT(dropped.size(), 1, 10000);
    QCOMPARE(dropped.first().at(1).toBool(), true);
    QCOMPARE(w.cellText(1, valueColumn(0)), QString());
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Transmit"));
    // The line owes a reply: the next slot on it waits, since RTU replies carry no identifier.
    setSlot(w, 1, 0, QStringLiteral("9"), QStringLiteral("1"));
    stepTo(w, 1);
    QTest::qWait(300);
    QCOMPARE(device.received.size(), 8);
    device.send(reply);
    QTRY_COMPARE_WITH_TIMEOUT(w.cellText(1, valueColumn(0)), QStringLiteral("4242"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(device.received.mid(8, 8),
                              rtu::withCrc(QByteArray::fromHex("010300080001")), 10000);
}

void tst_faultyreplies::unsolicitedBytes()
{
    // Before any request since start: nothing answers anything, whatever arrives.
    {
        QTemporaryDir dir;
        OptionIP w(dir.path());
        shapeForPolling(w);
        ScriptedDevice device;
        QVERIFY(device.start());
        QVERIFY(connectLink(w, 0, device.port()));
        ui::setBackColor(w.strReg[4], ui::green());
        const QString before = w.lblStatus[0]->text();
        QSignalSpy arrivals(w.Winsock1[0], &Winsock::dataArrival);
        device.send(readReply({}) + readReply({1}, 1) + QByteArray(20, char(0xA5)));
        QTRY_VERIFY_WITH_TIMEOUT(arrivals.size() > 0 && w.Winsock1[0]->bytesAvailable() == 0,
                                 10000);
        QCOMPARE(w.lblStatus[0]->text(), before);
        QCOMPARE(w.Label6->text(), QStringLiteral("www.example.com"));
        QCOMPARE(w.cellText(1, valueColumn(0)), QString());
    }

    // A slot whose link was down got no request; a reply-shaped message that comes once the
    // link is back is not its answer, nor is the answer to a request of the closed connection.
    Bench bench;
    QVERIFY(bench.setUp(4));
    OptionIP &w = bench.w;
    stepTo(w, 4);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), 24, 10000);
    const quint16 owed = transactionOf(bench.device.received.mid(12));
    w.Winsock1[0]->close();
    stepTo(w, 4);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Not connected"));
    QCOMPARE(column(w, 4, 3), QStringList({"???", "???", "???"}));
    QVERIFY(connectLink(w, 0, bench.device.port()));
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.connections, 2, 10000);
    QSignalSpy arrivals(w.Winsock1[0], &Winsock::dataArrival);
    bench.device.send(readReply({91, 92, 93}) + readReply({94, 95, 96}, owed));
    QTRY_VERIFY_WITH_TIMEOUT(arrivals.size() > 0 && w.Winsock1[0]->bytesAvailable() == 0, 10000);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Not connected"));
    QCOMPARE(column(w, 4, 3), QStringList({"???", "???", "???"}));
    QVERIFY(resting(w));
}

void tst_faultyreplies::randomBytesInRandomPieces()
{
    Bench bench;
    QVERIFY(bench.setUp(4));
    OptionIP &w = bench.w;
    w.Label6->setText(QStringLiteral("before"));

    // After every arrival the window has handled, nothing of the noise may show.
    QStringList violations;
    int arrivals = 0;
    connect(w.Winsock1[0], &Winsock::dataArrival, this, [&] {
        ++arrivals;
        if (column(w, 4, 3) != texts(Sentinel) || w.Label6->text() != QStringLiteral("before") ||
            w.lblStatus[0]->text() == QStringLiteral("Received"))
            violations << w.lblStatus[0]->text() + QLatin1Char(' ') + column(w, 4, 3).join(u',');
    });

    QRandomGenerator random(20240607);
    auto noise = [&random] {
        QByteArray bytes;
        const int frames = int(random.bounded(1, 6));
        for (int f = 0; f < frames; ++f) {
            if (random.bounded(2) == 0) {
                QByteArray junk(int(random.bounded(0, 300)), 0);
                for (char &c : junk)
                    c = char(random.bounded(256));
                bytes += junk;
                continue;
            }
            // Header-shaped: a length field in or out of range, a function code of 3 or
            // another, and a byte count that never fits three registers.
            const int length = int(random.bounded(0, 270));
            QByteArray frame = QByteArray::fromHex("00000000");
            frame.append(char(length >> 8)).append(char(length & 0xFF)).append(char(1));
            frame.append(char(random.bounded(2) ? 3 : random.bounded(256)));
            int byteCount = int(random.bounded(256));
            if (byteCount == 6) byteCount = 7;
            frame.append(char(byteCount));
            const int body = int(random.bounded(0, 300));
            for (int k = 0; k < body; ++k)
                frame.append(char(random.bounded(256)));
            bytes += frame;
        }
        return bytes;
    };

    for (int round = 0; round < 40; ++round) {
        stepTo(w, 4);
        const QByteArray bytes = noise();
        bool done = false;
        int at = 0, delay = 0;
        while (at < bytes.size()) {
            const int piece = int(random.bounded(1, 120));
            const QByteArray part = bytes.mid(at, piece);
            at += piece;
            delay += int(random.bounded(0, 4));
            QTimer::singleShot(delay, this, [&bench, part] { bench.device.send(part); });
        }
        QTimer::singleShot(delay + 1, this, [&done] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        QVERIFY2(violations.isEmpty(), qPrintable(QStringLiteral("round %1").arg(round)));
    }
    QVERIFY(arrivals > 40);
    QCOMPARE(column(w, 4, 3), texts(Sentinel));

    // On a fresh connection the link works as before.
    QVERIFY(connectLink(w, 0, bench.device.port()));
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.connections, 2, 10000);
    const qsizetype asked = bench.device.received.size();
    stepTo(w, 4);
    QTRY_COMPARE_WITH_TIMEOUT(bench.device.received.size(), asked + 12, 10000);
    const QByteArray request = bench.device.received.right(12);
    QCOMPARE(request.mid(2), QByteArray::fromHex("00000006010300000003"));
    QVERIFY(transactionOf(request) != 0);
    bench.device.send(readReply({61, 62, 63}, transactionOf(request)));
    QTRY_COMPARE_WITH_TIMEOUT(column(w, 4, 3), texts({61, 62, 63}), 10000);
}

QTEST_MAIN(tst_faultyreplies)
#include "tst_faultyreplies.moc"
