#include "modbus/frames.h"
#include "numbers/numbers.h"

#include <QLocale>
#include <QtTest>

using namespace frames;
using namespace numbers;

class tst_frames : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void leadingNumber_data();
    void leadingNumber();
    void localeNumber();
    void rounding();
    void request_data();
    void request();
    void startAddressWithCommaDecimal();
    void registerAndLengthTexts();
    void replyFraming();
    void rowsDecoded();
    void anyTextGivesDefinedBytes();
};

void tst_frames::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("plain") << "300" << 300.0;
    QTest::newRow("trailing junk") << "12abc" << 12.0;
    QTest::newRow("blank inside") << "1 0" << 10.0;
    QTest::newRow("tab inside") << "1\t2" << 12.0;
    QTest::newRow("leading blanks") << "   42" << 42.0;
    QTest::newRow("negative") << "-1" << -1.0;
    QTest::newRow("plus") << "+7" << 7.0;
    QTest::newRow("sign then blank") << "- 5" << -5.0;
    QTest::newRow("fraction") << "2.5" << 2.5;
    QTest::newRow("second point stops") << "1.2.3" << 1.2;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("exponent") << "1.5E2" << 150.0;
    QTest::newRow("D exponent") << "2d3" << 2000.0;
    QTest::newRow("negative exponent") << "5e-1" << 0.5;
    QTest::newRow("bare exponent") << "7e" << 7.0;
    QTest::newRow("hex") << "&H1F" << 31.0;
    QTest::newRow("hex lower") << "&hff" << 255.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("hex junk") << "&Hzz" << 0.0;
    QTest::newRow("ampersand only") << "&" << 0.0;
    QTest::newRow("point only") << "." << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("unicode digits stop") << QString::fromUtf8("٣") << 0.0;
}

void tst_frames::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(readLeadingNumber(text), expected);
}

void tst_frames::localeNumber()
{
    QCOMPARE(readLocaleNumber(QStringLiteral(" 502 ")), std::optional<double>(502));
    QCOMPARE(readLocaleNumber(QStringLiteral("2.5")), std::optional<double>(2.5));
    QCOMPARE(readLocaleNumber(QStringLiteral("-3")), std::optional<double>(-3));
    QVERIFY(!readLocaleNumber(QString()));
    QVERIFY(!readLocaleNumber(QStringLiteral("   ")));
    QVERIFY(!readLocaleNumber(QStringLiteral("abc")));
    QVERIFY(!readLocaleNumber(QStringLiteral("12abc")));
    QVERIFY(!readLocaleNumber(QStringLiteral("1e999")));
    QVERIFY(!readLocaleNumber(QStringLiteral("nan")));
    QCOMPARE(readLocaleNumber(QStringLiteral("&H10")), std::optional<double>(16));

    const QLocale german(QLocale::German, QLocale::Germany);
    QCOMPARE(readLocaleNumber(QStringLiteral("2,5"), german), std::optional<double>(2.5));
    QCOMPARE(readLocaleNumber(QStringLiteral(" 502 "), german), std::optional<double>(502));
    QVERIFY(!readLocaleNumber(QStringLiteral("2,5x"), german));

    // The default locale is what the one-argument form reads with.
    QLocale::setDefault(german);
    QCOMPARE(readLocaleNumber(QStringLiteral("1,5")), std::optional<double>(1.5));
}

void tst_frames::rounding()
{
    QCOMPARE(roundHalfEven(0.5), std::optional<qint32>(0));
    QCOMPARE(roundHalfEven(1.5), std::optional<qint32>(2));
    QCOMPARE(roundHalfEven(2.5), std::optional<qint32>(2));
    QCOMPARE(roundHalfEven(3.5), std::optional<qint32>(4));
    QCOMPARE(roundHalfEven(-0.5), std::optional<qint32>(0));
    QCOMPARE(roundHalfEven(-1.5), std::optional<qint32>(-2));
    QCOMPARE(roundHalfEven(-2.5), std::optional<qint32>(-2));
    QCOMPARE(roundHalfEven(2.4999), std::optional<qint32>(2));
    QCOMPARE(roundHalfEven(2.5001), std::optional<qint32>(3));
    QCOMPARE(roundHalfEven(2147483647.0), std::optional<qint32>(2147483647));
    QCOMPARE(roundHalfEven(-2147483648.0), std::optional<qint32>(-2147483647 - 1));
    QVERIFY(!roundHalfEven(2147483647.5));
    QVERIFY(!roundHalfEven(-2147483649.0));
    QVERIFY(!roundHalfEven(std::numeric_limits<double>::infinity()));
    QVERIFY(!roundHalfEven(std::numeric_limits<double>::quiet_NaN()));
}

void tst_frames::request_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray head = QByteArray::fromHex("00000000000601 03");
    QTest::newRow("1 and 10") << "1"
                              << "10" << head + QByteArray::fromHex("0000000A");
    QTest::newRow("40001 and 2") << "40001"
                                 << "2" << head + QByteArray::fromHex("9C400002");
    QTest::newRow("start 0") << "0"
                             << "1" << head + QByteArray::fromHex("00000001");
    QTest::newRow("start empty") << ""
                                 << "1" << head + QByteArray::fromHex("00000001");
    QTest::newRow("start abc") << "abc"
                               << "1" << head + QByteArray::fromHex("00000001");
    QTest::newRow("start 65537") << "65537"
                                 << "1" << head + QByteArray::fromHex("00000001");
    QTest::newRow("start 70001") << "70001"
                                 << "1" << head + QByteArray::fromHex("00700001");
    QTest::newRow("start 3.5") << "3.5"
                               << "1" << head + QByteArray::fromHex("00020001");
    QTest::newRow("start 4.5") << "4.5"
                               << "1" << head + QByteArray::fromHex("00040001");
    QTest::newRow("start huge") << "1e300"
                                << "1" << head + QByteArray::fromHex("00000001");
    QTest::newRow("count 300") << "1"
                               << "300" << head + QByteArray::fromHex("0000012C");
    QTest::newRow("count 12abc") << "1"
                                 << "12abc" << head + QByteArray::fromHex("0000000C");
    QTest::newRow("count 1 0") << "1"
                               << "1 0" << head + QByteArray::fromHex("0000000A");
    QTest::newRow("count empty") << "1"
                                 << "" << head + QByteArray::fromHex("00000000");
    QTest::newRow("count -1") << "1"
                              << "-1" << head + QByteArray::fromHex("00000000");
    QTest::newRow("count 2.5") << "1"
                               << "2.5" << head + QByteArray::fromHex("00000002");
    QTest::newRow("count 3.5") << "1"
                               << "3.5" << head + QByteArray::fromHex("00000004");
    QTest::newRow("count 65536") << "1"
                                 << "65536" << head + QByteArray::fromHex("00000000");
    QTest::newRow("count &H7D") << "1"
                                << "&H7D" << head + QByteArray::fromHex("0000007D");
    QTest::newRow("count 1e99") << "1"
                                << "1e99" << head + QByteArray::fromHex("00000000");
}

void tst_frames::request()
{
    QFETCH(QString, start);
    QFETCH(QString, count);
    QFETCH(QByteArray, expected);
    const Request built = buildReadRequest(start, count);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(built.data()), int(built.size())), expected);
    QCOMPARE(requestedQuantity(built), (quint8(expected[10]) << 8) | quint8(expected[11]));
}

void tst_frames::startAddressWithCommaDecimal()
{
    // 2,5 becomes 1,5 as text, which the leading-number rule reads back as 1.
    const QLocale german(QLocale::German, QLocale::Germany);
    QCOMPARE(startAddressBytes(QStringLiteral("2,5"), german), (std::array<quint8, 2>{0, 1}));
    QCOMPARE(startAddressBytes(QStringLiteral("40001"), german),
             (std::array<quint8, 2>{0x9C, 0x40}));
    QCOMPARE(startAddressBytes(QStringLiteral("2.5"), german), (std::array<quint8, 2>{0, 0}));
    // A locale that writes native digits still gives the right address.
    const QLocale arabic(QLocale::Arabic, QLocale::Egypt);
    QCOMPARE(startAddressBytes(QStringLiteral("40001"), arabic),
             (std::array<quint8, 2>{0x9C, 0x40}));
    // With the full stop as decimal point the fraction survives and is rounded.
    QCOMPARE(startAddressBytes(QStringLiteral("3.5"), QLocale::c()), (std::array<quint8, 2>{0, 2}));
}

void tst_frames::registerAndLengthTexts()
{
    QCOMPARE(registerText(0x01, 0xF4), QStringLiteral("500"));
    QCOMPARE(registerText(0xFF, 0xFF), QStringLiteral("65535"));
    QCOMPARE(registerText(0x80, 0x00), QStringLiteral("32768"));
    QCOMPARE(registerText(0, 0), QStringLiteral("0"));
    QCOMPARE(frameLengthText(0x14), QStringLiteral("29"));
    QCOMPARE(frameLengthText(0xFF), QStringLiteral("264"));
}

void tst_frames::replyFraming()
{
    const QByteArray reply = QByteArray::fromHex("000000000007 01 03 04 01F4 FFFF");
    QCOMPARE(checkFrame(reply.left(6)).status, FrameStatus::Incomplete);
    QCOMPARE(checkFrame(reply.left(12)).status, FrameStatus::Incomplete);
    QCOMPARE(checkFrame(reply).status, FrameStatus::Whole);
    QCOMPARE(checkFrame(reply).length, 13);
    QCOMPARE(checkFrame(reply + "extra").length, 13);
    QCOMPARE(checkFrame(QByteArray::fromHex("000000000001 01")).status, FrameStatus::Malformed);
    QCOMPARE(checkFrame(QByteArray::fromHex("0000000000FF 01")).status, FrameStatus::Malformed);
    QCOMPARE(checkFrame(QByteArray::fromHex("0000000000FE 01")).status, FrameStatus::Incomplete);

    QVERIFY(carriesRegisters(reply, 2));
    QVERIFY(!carriesRegisters(reply, 1));
    QVERIFY(!carriesRegisters(reply, 3));
    // Exception reply, another function, a byte count the frame does not hold.
    QVERIFY(!carriesRegisters(QByteArray::fromHex("000000000003 01 83 02"), 2));
    QVERIFY(!carriesRegisters(QByteArray::fromHex("000000000007 01 04 04 01F4 FFFF"), 2));
    QVERIFY(!carriesRegisters(QByteArray::fromHex("000000000005 01 03 04 01F4"), 2));
    QVERIFY(!carriesRegisters(QByteArray(), 0));
}

void tst_frames::rowsDecoded()
{
    QCOMPARE(decodedRowCount(10, 10), 10);
    QCOMPARE(decodedRowCount(2.5, 3), 3); // the row loop runs up to count + 0.5
    QCOMPARE(decodedRowCount(2.5, 2), 2); // never beyond what was asked for
    QCOMPARE(decodedRowCount(0.4, 5), 0);
    QCOMPARE(decodedRowCount(0, 5), 0);
    QCOMPARE(decodedRowCount(-3, 5), 0);
    QCOMPARE(decodedRowCount(40, 40), 29);
    QCOMPARE(decodedRowCount(1e300, 125), 29);
    QCOMPARE(decodedRowCount(std::numeric_limits<double>::quiet_NaN(), 5), 0);
}

void tst_frames::anyTextGivesDefinedBytes()
{
    // Whatever an operator types, every rule comes back with a defined answer.
    const double infinity = std::numeric_limits<double>::infinity();
    const std::pair<QString, double> texts[] = {
        {QString(), 0},
        {QStringLiteral(" "), 0},
        {QStringLiteral("&H"), 0},
        {QStringLiteral("&HFFFFFFFFFFFFFFFFFFFF"), 0x1p80},
        {QString(5000, u'9'), infinity},
        {QStringLiteral("-") + QString(400, u'9'), -infinity},
        {QStringLiteral("1e"), 1},
        {QStringLiteral("e5"), 0},
        {QStringLiteral("-.e-"), 0},
        {QStringLiteral("1E-99999999999"), 0},
        {QStringLiteral("0.") + QString(400, u'0') + u'1', 0},
        {QStringLiteral("0e99999"), 0},
        {QStringLiteral("4e-320"), 4e-320},
        {QStringLiteral("\t\t"), 0},
        {QString(QChar(0)), 0},
        {QStringLiteral("9.9.9e9e9"), 9.9},
        {QStringLiteral("+1 2.5D+2"), 12.5e2},
        {QStringLiteral("&O99"), 0},
        {QStringLiteral("+-+1"), 0}};
    for (const auto &[start, number] : texts) {
        for (const auto &[count, unused] : texts) {
            const Request request = buildReadRequest(start, count);
            QCOMPARE(request[7], quint8(3));
            QCOMPARE(request[5], quint8(6));
        }
        QCOMPARE(readLeadingNumber(start), number);
    }
}

QTEST_GUILESS_MAIN(tst_frames)
#include "tst_frames.moc"
