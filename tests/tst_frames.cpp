#include "modbus/frames.h"
#include "modbus/valueformat.h"
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
    void typedRequest_data();
    void typedRequest();
    void values_data();
    void values();
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

void tst_frames::typedRequest_data()
{
    QTest::addColumn<QString>("format"); // unit, object and type as setting.ini holds them
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("expected"); // from the unit on
    QTest::newRow("unit 7 input u16") << "7 input u16" << "10" << QByteArray::fromHex("07040063000A");
    QTest::newRow("f32 doubles") << "1 holding f32:cdab" << "10" << QByteArray::fromHex("010300630014");
    QTest::newRow("f64 quadruples") << "1 input f64" << "17" << QByteArray::fromHex("010400630044");
    QTest::newRow("coil bits, type ignored") << "0 coil f64" << "10" << QByteArray::fromHex("00010063000A");
    QTest::newRow("discrete, unit 255") << "255 discrete u16" << "2000" << QByteArray::fromHex("FF02006307D0");
    QTest::newRow("s32 count 2.5 rounds first") << "1 holding s32" << "2.5" << QByteArray::fromHex("010300630004");
    QTest::newRow("f32 beyond 16 bits: byte rule") << "1 holding f32" << "40000" << QByteArray::fromHex("010300630080");
    QTest::newRow("f64 count 1e9") << "1 holding f64" << "1e9" << QByteArray::fromHex("010300630000");
}

void tst_frames::typedRequest()
{
    QFETCH(QString, format);
    QFETCH(QString, count);
    QFETCH(QByteArray, expected);
    const QStringList parts = format.split(u' ');
    valueformat::SlotFormat f;
    f.unit = *valueformat::parseUnit(parts[0]);
    f.object = *valueformat::parseObject(parts[1]);
    f.type = valueformat::parseType(parts[2])->type;
    f.order = valueformat::parseType(parts[2])->order;
    const Request built = buildReadRequest(QStringLiteral("100"), count, f, QLocale::c());
    const QByteArray bytes(reinterpret_cast<const char *>(built.data()), int(built.size()));
    QCOMPARE(bytes.left(6), QByteArray::fromHex("000000000006"));
    QCOMPARE(bytes.mid(6), expected);
    // The reply that carries it is checked against the same function and quantity.
    const int quantity = requestedQuantity(built);
    const QByteArray data(valueformat::dataBytes(requestedFunction(built), quantity), '\0');
    const QByteArray reply = QByteArray::fromHex("00010000") +
                             QByteArray(1, char(0)) + char(data.size() + 3) + expected.left(2) +
                             char(data.size()) + data;
    QCOMPARE(carriesRegisters(reply, quantity, requestedFunction(built)), data.size() <= 250);
    QVERIFY(!carriesRegisters(reply, quantity, quint8(requestedFunction(built) ^ 0x07)));
}

void tst_frames::values_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("registers");
    QTest::addColumn<QString>("expected");
    const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
    QTest::newRow("u16") << "u16" << hex("FFFF") << "65535";
    QTest::newRow("s16 65535") << "s16" << hex("FFFF") << "-1";
    QTest::newRow("s16 lowest") << "s16" << hex("8000") << "-32768";
    QTest::newRow("hex") << "hex" << hex("1A2B") << "0x1A2B";
    QTest::newRow("hex keeps four digits") << "hex" << hex("000F") << "0x000F";
    QTest::newRow("f32 abcd") << "f32" << hex("40490FDB") << "3.1415927";
    QTest::newRow("f32 cdab") << "f32:cdab" << hex("0FDB4049") << "3.1415927";
    QTest::newRow("f32 badc") << "f32:badc" << hex("4940DB0F") << "3.1415927";
    QTest::newRow("f32 dcba") << "f32:dcba" << hex("DB0F4940") << "3.1415927";
    QTest::newRow("f32 shortest") << "f32" << hex("43668000") << "230.5";
    QTest::newRow("f32 nan") << "f32" << hex("7FC00000") << "nan";
    QTest::newRow("f32 negative nan") << "f32" << hex("FFC00001") << "nan";
    QTest::newRow("f32 inf") << "f32" << hex("7F800000") << "inf";
    QTest::newRow("f32 -inf") << "f32:cdab" << hex("0000FF80") << "-inf";
    QTest::newRow("s32 -2") << "s32" << hex("FFFFFFFE") << "-2";
    QTest::newRow("s32 -2 cdab") << "s32:cdab" << hex("FFFEFFFF") << "-2";
    QTest::newRow("u32 cdab") << "u32:cdab" << hex("00010002") << "131073";
    QTest::newRow("u32 badc") << "u32:badc" << hex("01000200") << "65538";
    QTest::newRow("u32 top") << "u32" << hex("FFFFFFFF") << "4294967295";
    QTest::newRow("f64 1.0") << "f64" << hex("3FF0000000000000") << "1";
    QTest::newRow("f64 cdab: words reversed") << "f64:cdab" << hex("0000000000003FF0") << "1";
    QTest::newRow("f64 badc") << "f64:badc" << hex("F03F000000000000") << "1";
    QTest::newRow("f64 dcba") << "f64:dcba" << hex("000000000000F03F") << "1";
    QTest::newRow("f64 shortest") << "f64" << hex("3FB999999999999A") << "0.1";
    QTest::newRow("f32 cut short") << "f32" << hex("4049") << "";
    QTest::newRow("bits, lowest first") << "coil" << hex("0503") << "1010000011";
}

void tst_frames::values()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, registers);
    QFETCH(QString, expected);
    const auto *data = reinterpret_cast<const quint8 *>(registers.constData());
    const int size = int(registers.size());
    valueformat::SlotFormat format;
    if (type == QLatin1String("coil")) {
        QString bits;
        for (int k = 0; k < 10; ++k)
            bits += valueformat::bitText(data, size, k);
        QCOMPARE(bits, expected);
        QCOMPARE(valueformat::bitText(data, size, 16), QString());
        return;
    }
    format.type = valueformat::parseType(type)->type;
    format.order = valueformat::parseType(type)->order;
    QCOMPARE(valueformat::registerValueText(data, size, format), expected);
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
