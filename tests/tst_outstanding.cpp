#include "modbus/outstanding.h"
#include "modbus/slotreads.h"
#include "support/devices.h"

#include <QtTest>

using frames::OutstandingRequest;
using frames::OutstandingRequests;
using frames::ReplyVerdict;
using Kind = ReplyVerdict::Kind;
using Loss = ReplyVerdict::Loss;

Q_DECLARE_METATYPE(ReplyVerdict::Kind)
Q_DECLARE_METATYPE(ReplyVerdict::Loss)

namespace
{

QByteArray withTransaction(QByteArray frame, quint16 transaction)
{
    frame[0] = char(transaction >> 8);
    frame[1] = char(transaction & 0xFF);
    return frame;
}

// A request table after requests 1, 2 and 3 went out for slots 0, 1 and 2 (3, 2 and 3
// registers) at 0, 100 and 200 ms.
OutstandingRequests threeOwed()
{
    OutstandingRequests table;
    const int quantities[] = {3, 2, 3};
    for (int slot = 0; slot < 3; ++slot)
        table.add({table.nextTransaction(), slot, quantities[slot], 100 * slot});
    return table;
}

} // namespace

class tst_outstanding : public QObject
{
    Q_OBJECT

private slots:
    void transactionCounterWrapsSkippingZero();
    void judge_data();
    void judge();
    void boundedAndCleared();
    void slotReadsOwed_data();
    void slotReadsOwed();
};

void tst_outstanding::transactionCounterWrapsSkippingZero()
{
    OutstandingRequests table;
    QCOMPARE(table.nextTransaction(), quint16(1));
    QCOMPARE(table.nextTransaction(), quint16(2));
    for (int k = 3; k < 65535; ++k)
        table.nextTransaction();
    QCOMPARE(table.nextTransaction(), quint16(65535));
    QCOMPARE(table.nextTransaction(), quint16(1));
    // Clearing forgets the requests, not the count.
    table.clear();
    QCOMPARE(table.nextTransaction(), quint16(2));
}

void tst_outstanding::judge_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<int>("current");    // the current request's identifier, 0 for none here
    QTest::addColumn<int>("owedBefore"); // requests in the table: 3, or 1 (only request 3)
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<Loss>("loss");
    QTest::addColumn<int>("slot"); // -1: answers no request
    QTest::addColumn<bool>("finishes");
    QTest::addColumn<int>("left");

    const QByteArray three = readReply({7, 8, 9});
    const QByteArray two = readReply({7, 8});
    QByteArray function4 = withTransaction(three, 3);
    function4[7] = 4;

    QTest::newRow("current request's reply") << withTransaction(three, 3) << qint64(300) << 3 << 3
                                             << Kind::Registers << Loss::None << 2 << true << 2;
    QTest::newRow("late reply fills its own slot")
        << withTransaction(three, 1) << qint64(300) << 3 << 3 << Kind::Registers << Loss::None << 0
        << false << 2;
    QTest::newRow("late reply of the wrong size for its own request")
        << withTransaction(three, 2) << qint64(300) << 3 << 3 << Kind::DataLoss << Loss::ByteCount
        << 1 << false << 2;
    QTest::newRow("no request with that identifier")
        << withTransaction(three, 9) << qint64(300) << 3 << 3 << Kind::Unmatched << Loss::None << -1
        << false << 3;
    // Dropped, and the oldest request is taken as answered: such a device answers in order.
    QTest::newRow("identifier 0 with three owed")
        << three << qint64(300) << 3 << 3 << Kind::Unmatched << Loss::None << -1 << false << 2;
    QTest::newRow("identifier 0 with one owed")
        << three << qint64(300) << 3 << 1 << Kind::Registers << Loss::None << 2 << true << 0;
    QTest::newRow("identifier 0, one owed, wrong size")
        << two << qint64(300) << 0 << 1 << Kind::DataLoss << Loss::ByteCount << 2 << false << 0;
    QTest::newRow("identifier 0 once the older two expired")
        << three << qint64(10150) << 3 << 3 << Kind::Registers << Loss::None << 2 << true << 0;
    QTest::newRow("reply exactly 10 s after its request")
        << withTransaction(three, 1) << qint64(10000) << 3 << 3 << Kind::Registers << Loss::None
        << 0 << false << 2;
    QTest::newRow("reply after its request expired")
        << withTransaction(three, 1) << qint64(10001) << 3 << 3 << Kind::Unmatched << Loss::None
        << -1 << false << 2;
    QTest::newRow("exception") << withTransaction(exceptionReply(2), 3) << qint64(300) << 3 << 3
                               << Kind::DataLoss << Loss::Exception << 2 << true << 2;
    QTest::newRow("function 4") << function4 << qint64(300) << 3 << 3 << Kind::DataLoss
                                << Loss::Function << 2 << true << 2;
    QTest::newRow("byte count beyond the frame")
        << QByteArray::fromHex("00030000000701030603850386") << qint64(300) << 3 << 3
        << Kind::DataLoss << Loss::Truncated << 2 << true << 2;
    QTest::newRow("malformed while the current request is owed here")
        << QByteArray(40, char(0xA5)) << qint64(300) << 3 << 3 << Kind::Malformed << Loss::None
        << -1 << true << 3;
    QTest::newRow("malformed, current request on another link")
        << QByteArray(40, char(0)) << qint64(300) << 0 << 3 << Kind::Malformed << Loss::None << -1
        << false << 3;
}

void tst_outstanding::judge()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, nowMs);
    QFETCH(int, current);
    QFETCH(int, owedBefore);
    QFETCH(Kind, kind);
    QFETCH(Loss, loss);
    QFETCH(int, slot);
    QFETCH(bool, finishes);
    QFETCH(int, left);

    OutstandingRequests table = threeOwed();
    if (owedBefore == 1) {
        QCOMPARE(table.judge(withTransaction(readReply({1, 2, 3}), 1), 250, {}).kind,
                 Kind::Registers);
        QCOMPARE(table.judge(withTransaction(readReply({1, 2}), 2), 250, {}).kind, Kind::Registers);
    }
    QCOMPARE(table.size(), owedBefore);

    const std::optional<quint16> currentRequest =
        current ? std::optional<quint16>(quint16(current)) : std::nullopt;
    const ReplyVerdict verdict = table.judge(bytes, nowMs, currentRequest);
    QCOMPARE(verdict.kind, kind);
    QCOMPARE(verdict.loss, loss);
    QCOMPARE(verdict.request ? verdict.request->slot : -1, slot);
    QCOMPARE(verdict.current, finishes);
    QCOMPARE(table.size(), left);
    if (kind == Kind::Registers) QCOMPARE(verdict.registers, verdict.request->quantity);
    const bool retires = kind == Kind::Unmatched && verdict.transaction == 0;
    QCOMPARE(verdict.retired.has_value(), retires);
    if (retires) QCOMPARE(verdict.retired->slot, 0);
    if (loss == Loss::Exception) QCOMPARE(verdict.exceptionCode, 2);
    // An identifier-0 reply to a request marks the link as one to read a request at a time.
    QCOMPARE(table.ignoresTransaction(), verdict.transaction == 0 && kind != Kind::Malformed);
    if (kind == Kind::Malformed) {
        QCOMPARE(verdict.droppedBytes, int(bytes.size()));
        QVERIFY(verdict.owed);
    }
    // Whatever was answered is answered once: the same bytes again match nothing.
    if (verdict.request && verdict.transaction != 0)
        QCOMPARE(table.judge(bytes, nowMs, currentRequest).kind, Kind::Unmatched);
}

void tst_outstanding::boundedAndCleared()
{
    OutstandingRequests table;
    for (int k = 0; k < 20; ++k)
        table.add({table.nextTransaction(), k % 5, 1, k});
    QCOMPARE(table.size(), OutstandingRequests::Capacity);
    // The oldest four made room.
    for (quint16 id = 1; id <= 4; ++id)
        QVERIFY(!table.contains(id));
    for (quint16 id = 5; id <= 20; ++id)
        QVERIFY(table.contains(id));
    QCOMPARE(table.judge(withTransaction(readReply({5}), 20), 30, {}).request.value().slot, 19 % 5);

    table.clear();
    QCOMPARE(table.size(), 0);
    const ReplyVerdict afterClose = table.judge(withTransaction(readReply({5}), 19), 30, {});
    QCOMPARE(afterClose.kind, Kind::Unmatched);
    // Nothing owed: noise on the link tells of no lost reply, and a stray identifier-0 frame
    // tells nothing about the device.
    QVERIFY(!table.judge(QByteArray(12, char(0xFF)), 30, {}).owed);
    QCOMPARE(table.judge(readReply({5}), 30, {}).kind, Kind::Unmatched);
    QVERIFY(!table.ignoresTransaction());

    // A link closed after answering with identifier 0 echoes identifiers again, as far as
    // anyone knows.
    table.add({table.nextTransaction(), 0, 1, 40});
    QCOMPARE(table.judge(readReply({5}), 50, {}).kind, Kind::Registers);
    QVERIFY(table.ignoresTransaction());
    table.clear();
    QVERIFY(!table.ignoresTransaction());
}

void tst_outstanding::slotReadsOwed_data()
{
    // "s SLOT LINK TX": a request went out; "a SLOT LINK TX": a reply with its registers;
    // "c LINK": the link closed. Then slot 1's request goes out on link 1 as 9.
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("stillOwed"); // what that request finds: slot 1's read failed
    QTest::newRow("answered") << "s 1 1 1, a 1 1 1" << false;
    QTest::newRow("not answered") << "s 1 1 1" << true;
    QTest::newRow("another link closed") << "s 0 0 1, s 1 1 1, c 0" << true;
    QTest::newRow("its link closed") << "s 1 1 1, c 1" << false;
    QTest::newRow("an older request answered") << "s 1 1 1, s 1 1 2, a 1 1 1" << true;
}

void tst_outstanding::slotReadsOwed()
{
    QFETCH(QString, script);
    QFETCH(bool, stillOwed);
    frames::SlotReads reads;
    for (const QString &step : script.split(QStringLiteral(", "))) {
        const QStringList a = step.split(u' ');
        if (a[0] == QLatin1String("s"))
            reads.sent(a[1].toInt(), a[2].toInt(), quint16(a[3].toUInt()));
        else if (a[0] == QLatin1String("a"))
            reads.answered(a[1].toInt(), reads.layout(a[1].toInt()), a[2].toInt(),
                           quint16(a[3].toUInt()), true);
        else
            reads.linkClosed(a[1].toInt());
    }
    QCOMPARE(reads.sent(1, 1, 9), stillOwed);
}

QTEST_MAIN(tst_outstanding)
#include "tst_outstanding.moc"
