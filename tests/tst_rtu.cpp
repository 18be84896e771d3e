// RTU framing as plain rules: the CRC, the request on the wire, and which of the bytes a line
// delivers make a reply.
#include "modbus/rtu.h"

#include <QtTest>

using rtu::Receiver;

class tst_rtu : public QObject
{
    Q_OBJECT

private slots:
    void requestOnTheWire();
    void receiver_data();
    void receiver();
    void texts_data();
    void texts();
};

void tst_rtu::requestOnTheWire()
{
    // The frame every Modbus reference shows for reading two registers from address 4.
    QCOMPARE(rtu::fromMbap(QByteArray::fromHex("002A00000006010300040002")),
             QByteArray::fromHex("01030004000285CA"));
    QVERIFY(rtu::crcHolds(QByteArray::fromHex("01030004000285CA")));
    QVERIFY(!rtu::crcHolds(QByteArray::fromHex("010300040002CA85")));
    QCOMPARE(rtu::silenceMicroseconds(9600), 4010);
    QCOMPARE(rtu::silenceMicroseconds(115200), 1750);
}

void tst_rtu::receiver_data()
{
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<QByteArray>("reply");  // the Modbus/TCP frame handed on, or empty
    QTest::addColumn<QString>("dropped");   // c for each CRC drop, u for each other drop

    const QByteArray good = rtu::withCrc(QByteArray::fromHex("07040480004366"));
    const QByteArray handed = QByteArray::fromHex("002A00000007") + good.left(7);
    QByteArray badCrc = good;
    badCrc[8] = char(badCrc[8] ^ 0x01);
    const QByteArray exception = rtu::withCrc(QByteArray::fromHex("078402"));
    const QByteArray otherAddress = rtu::withCrc(QByteArray::fromHex("03040400010002"));

    QTest::newRow("whole") << QList<QByteArray>{good} << handed << "";
    QTest::newRow("split by a pause") << QList<QByteArray>{good.left(2), good.mid(2, 3), good.mid(5)}
                                      << handed << "";
    QTest::newRow("bad CRC") << QList<QByteArray>{badCrc} << QByteArray() << "c";
    QTest::newRow("bad CRC, then the reply")
        << QList<QByteArray>{badCrc, good} << handed << "c";
    QTest::newRow("noise first") << QList<QByteArray>{QByteArray::fromHex("FF00"), good} << handed
                                 << "u";
    QTest::newRow("another address first")
        << QList<QByteArray>{otherAddress + good} << handed << "u";
    QTest::newRow("exception")
        << QList<QByteArray>{exception} << QByteArray::fromHex("002A00000003078402") << "";
    QTest::newRow("bytes after the reply") << QList<QByteArray>{good + QByteArray::fromHex("0704")}
                                           << handed << "u";
    QTest::newRow("reply from another address only")
        << QList<QByteArray>{otherAddress} << QByteArray() << "u";
}

void tst_rtu::receiver()
{
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QByteArray, reply);
    QFETCH(QString, dropped);

    Receiver receiver;
    // Whatever waited from before the request is dropped when it goes out.
    QVERIFY(receiver.feed(QByteArray::fromHex("0704")).dropped.size() == 1);
    receiver.expect(QByteArray::fromHex("002A00000006070400630002"));
    QList<QByteArray> replies;
    QString drops;
    for (const QByteArray &arrival : arrivals) {
        const Receiver::Result result = receiver.feed(arrival);
        replies += result.replies;
        for (const Receiver::Dropped &d : result.dropped)
            drops += d.why == Receiver::Dropped::Why::Crc ? u'c' : u'u';
    }
    QCOMPARE(replies, reply.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{reply});
    QCOMPARE(drops, dropped);
    // A second reply to the same request is not taken.
    if (!reply.isEmpty()) QVERIFY(receiver.feed(arrivals.last()).replies.isEmpty());
}

void tst_rtu::texts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("expected"); // kind, host, line settings; "-" when they do not read

    QTest::newRow("TCP as always") << "127.0.0.1" << "502" << "tcp 127.0.0.1";
    QTest::newRow("RTU over TCP") << "rtu:127.0.0.1" << "4001" << "rtu 127.0.0.1";
    QTest::newRow("baud alone: 8E1") << "/dev/ttyUSB0" << "19200" << "serial /dev/ttyUSB0 19200 8E1";
    QTest::newRow("8N1") << "/dev/ttyUSB0" << "9600 8N1" << "serial /dev/ttyUSB0 9600 8N1";
    QTest::newRow("odd, two stop bits") << "COM3" << "4800 7o2" << "serial COM3 4800 7O2";
    QTest::newRow("letters in the baud") << "/dev/ttyS0" << "96OO" << "-";
    QTest::newRow("no such parity") << "/dev/ttyS0" << "9600 7X1" << "-";
    QTest::newRow("baud too low") << "/dev/ttyS0" << "10" << "-";
    QTest::newRow("empty") << "/dev/ttyS0" << "" << "-";
}

void tst_rtu::texts()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, expected);
    const rtu::LinkTarget target = rtu::targetOf(host);
    using Kind = rtu::LinkTarget::Kind;
    QString text = target.kind == Kind::Tcp ? QStringLiteral("tcp ")
                   : target.kind == Kind::RtuOverTcp ? QStringLiteral("rtu ")
                                                     : QStringLiteral("serial ");
    text += target.host;
    if (target.kind == Kind::Serial) {
        const std::optional<rtu::LineSettings> line = rtu::parseLineSettings(port);
        text = line ? text + u' ' + rtu::lineSettingsText(*line) : QStringLiteral("-");
    }
    QCOMPARE(text, expected);
}

QTEST_MAIN(tst_rtu)
#include "tst_rtu.moc"
