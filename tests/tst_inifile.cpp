#include "settings/inifile.h"

#include <QtTest>

using namespace inifile;

namespace
{

// Bytes of a literal, NULs included.
template <size_t N> QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, qsizetype(N - 1));
}

} // namespace

class tst_inifile : public QObject
{
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void writing_data();
    void crlfWriterAfterLoneCr();
    void writing();
    void namesThatCannotBeStored();
    void valuesCutAtLineBreak();
    void writtenValuesReadBack_data();
    void writtenValuesReadBack();
    void largeInputStaysLinear();
    void readingCostGrowsWithSize();
};

void tst_inifile::reading_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("plain") << QByteArray("[set]\nport0=502\n") << QByteArray("port0") << true
                           << QByteArray("502");
    QTest::newRow("crlf") << QByteArray("[set]\r\nport0=502\r\nport1=503\r\n")
                          << QByteArray("port1") << true << QByteArray("503");
    QTest::newRow("letter case") << QByteArray("[SET]\r\nPORT0=1502\r\n") << QByteArray("port0")
                                 << true << QByteArray("1502");
    QTest::newRow("mixed case") << QByteArray("[sEt]\nLstIP0=2\n") << QByteArray("lstip0") << true
                                << QByteArray("2");
    QTest::newRow("empty value") << QByteArray("[set]\nstrreg0=\n") << QByteArray("strreg0") << true
                                 << QByteArray();
    QTest::newRow("blanks kept") << QByteArray("[set]\ntxtIP0=  a b  \n") << QByteArray("txtIP0")
                                 << true << QByteArray("  a b  ");
    QTest::newRow("blanks around key")
        << QByteArray("[set]\n  port0 \t=9\n") << QByteArray("port0") << true << QByteArray("9");
    QTest::newRow("equals in value")
        << QByteArray("[set]\nk=a=b\n") << QByteArray("k") << true << QByteArray("a=b");
    QTest::newRow("comment skipped") << QByteArray("[set]\n;port0=1\nport0=2\n")
                                     << QByteArray("port0") << true << QByteArray("2");
    QTest::newRow("indented comment")
        << QByteArray("[set]\n  ;port0=1\n") << QByteArray("port0") << false << QByteArray();
    QTest::newRow("comment only") << QByteArray("[set]\n;port0=1\n") << QByteArray("port0") << false
                                  << QByteArray();
    QTest::newRow("missing key") << QByteArray("[set]\nport1=1\n") << QByteArray("port0") << false
                                 << QByteArray();
    QTest::newRow("missing section")
        << QByteArray("[other]\nport0=1\n") << QByteArray("port0") << false << QByteArray();
    QTest::newRow("before any section")
        << QByteArray("port0=1\n[set]\n") << QByteArray("port0") << false << QByteArray();
    QTest::newRow("other section after") << QByteArray("[set]\nport1=1\n[other]\nport0=7\n")
                                         << QByteArray("port0") << false << QByteArray();
    QTest::newRow("repeated key") << QByteArray("[set]\nport0=1\nport0=2\n") << QByteArray("port0")
                                  << true << QByteArray("1");
    QTest::newRow("repeated section")
        << QByteArray("[set]\nport0=1\n[x]\n[set]\nport0=2\nport1=3\n") << QByteArray("port1")
        << false << QByteArray();
    QTest::newRow("repeated section, first wins") << QByteArray("[set]\nport0=1\n[set]\nport0=2\n")
                                                  << QByteArray("port0") << true << QByteArray("1");
    QTest::newRow("no equals") << QByteArray("[set]\nport0\nport0 502\n") << QByteArray("port0")
                               << false << QByteArray();
    QTest::newRow("no final line ending")
        << QByteArray("[set]\nport0=502") << QByteArray("port0") << true << QByteArray("502");
    QTest::newRow("cr at end of file")
        << QByteArray("[set]\r\nport0=502\r") << QByteArray("port0") << true << QByteArray("502");
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[set]\nport0=5\n")
                                     << QByteArray("port0") << true << QByteArray("5");
    QTest::newRow("header with comment") << QByteArray("[ set ] ; main\nport0=5\n")
                                         << QByteArray("port0") << true << QByteArray("5");
    QTest::newRow("header without bracket")
        << QByteArray("[set\nport0=5\n") << QByteArray("port0") << true << QByteArray("5");
    QTest::newRow("binary junk") << bytes("\x00\xff\x01[\x00]\n[set]\n\xfe=\x00\nport0=\xe9\n")
                                 << QByteArray("port0") << true << QByteArray("\xe9");
    QTest::newRow("nul in value") << bytes("[set]\nk=a\0b\n") << QByteArray("k") << true
                                  << bytes("a\0b");
    QTest::newRow("empty text") << QByteArray() << QByteArray("port0") << false << QByteArray();
    QTest::newRow("only newlines")
        << QByteArray("\n\n\r\n") << QByteArray("port0") << false << QByteArray();
    QTest::newRow("non-ascii not folded")
        << QByteArray("[set]\n\xc3\x89t=1\n") << QByteArray("\xc3\xa9t") << false << QByteArray();
}

void tst_inifile::reading()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, key);
    QFETCH(bool, found);
    QFETCH(QByteArray, value);

    const std::optional<QByteArray> read = readValue(text, "set", key);
    QCOMPARE(read.has_value(), found);
    if (found) QCOMPARE(*read, value);
}

void tst_inifile::writing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("new file") << QByteArray() << QByteArray("Scon0") << QByteArray("True")
                              << QByteArray("[set]\nScon0=True\n");
    QTest::newRow("append to section")
        << QByteArray("[set]\nScon0=True\n") << QByteArray("Scon1") << QByteArray("False")
        << QByteArray("[set]\nScon0=True\nScon1=False\n");
    QTest::newRow("replace in place") << QByteArray("[set]\na=1\nb=2\nc=3\n") << QByteArray("b")
                                      << QByteArray("20") << QByteArray("[set]\na=1\nb=20\nc=3\n");
    QTest::newRow("replace keeps crlf")
        << QByteArray("[SET]\r\nA=1\r\nPORT0=502\r\n") << QByteArray("port0") << QByteArray("9")
        << QByteArray("[SET]\r\nA=1\r\nport0=9\r\n");
    QTest::newRow("append into crlf file")
        << QByteArray("[set]\r\nA=1\r\n") << QByteArray("b") << QByteArray("2")
        << QByteArray("[set]\r\nA=1\r\nb=2\n");
    QTest::newRow("empty value") << QByteArray("[set]\nstrreg0=100\n") << QByteArray("strreg0")
                                 << QByteArray() << QByteArray("[set]\nstrreg0=\n");
    QTest::newRow("section before another")
        << QByteArray("[set]\na=1\n\n[other]\nb=2\n") << QByteArray("c") << QByteArray("3")
        << QByteArray("[set]\na=1\nc=3\n\n[other]\nb=2\n");
    QTest::newRow("after last entry, before trailing comment")
        << QByteArray("[set]\na=1\n; about other\n[other]\n") << QByteArray("c") << QByteArray("3")
        << QByteArray("[set]\na=1\nc=3\n; about other\n[other]\n");
    QTest::newRow("unknown lines kept")
        << QByteArray("; top\n[set]\n;note\nold=x\njunk line\na=1\n[more]\nz=9\n")
        << QByteArray("a") << QByteArray("2")
        << QByteArray("; top\n[set]\n;note\nold=x\njunk line\na=2\n[more]\nz=9\n");
    QTest::newRow("empty section") << QByteArray("[set]\n[x]\n") << QByteArray("a")
                                   << QByteArray("1") << QByteArray("[set]\na=1\n[x]\n");
    QTest::newRow("section last line without ending")
        << QByteArray("[set]") << QByteArray("a") << QByteArray("1") << QByteArray("[set]\na=1\n");
    QTest::newRow("entry last line without ending")
        << QByteArray("[set]\na=1") << QByteArray("b") << QByteArray("2")
        << QByteArray("[set]\na=1\nb=2\n");
    QTest::newRow("replace last line without ending")
        << QByteArray("[set]\na=1") << QByteArray("a") << QByteArray("2")
        << QByteArray("[set]\na=2");
    QTest::newRow("lone cr at end") << QByteArray("[set]\r") << QByteArray("a") << QByteArray("1")
                                    << QByteArray("[set]\r\na=1\n");
    QTest::newRow("missing section appended")
        << QByteArray("[other]\nx=1") << QByteArray("a") << QByteArray("1")
        << QByteArray("[other]\nx=1\n[set]\na=1\n");
    QTest::newRow("first of repeated keys") << QByteArray("[set]\na=1\na=2\n") << QByteArray("a")
                                            << QByteArray("3") << QByteArray("[set]\na=3\na=2\n");
    QTest::newRow("first of repeated sections")
        << QByteArray("[set]\na=1\n[set]\nb=2\n") << QByteArray("b") << QByteArray("3")
        << QByteArray("[set]\na=1\nb=3\n[set]\nb=2\n");
    QTest::newRow("comment is not the key") << QByteArray("[set]\n;a=1\n") << QByteArray("a")
                                            << QByteArray("2") << QByteArray("[set]\na=2\n;a=1\n");
    QTest::newRow("binary junk kept")
        << bytes("\xff\x00junk\n[set]\n\x01\x02\n") << QByteArray("a") << QByteArray("1")
        << bytes("\xff\x00junk\n[set]\n\x01\x02\na=1\n");
}

void tst_inifile::writing()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, expected);

    const std::optional<QByteArray> written = writeValue(text, "set", key, value, "\n");
    QVERIFY(written);
    QCOMPARE(*written, expected);
    const std::optional<QByteArray> back = readValue(*written, "set", key);
    QVERIFY(back);
    QCOMPARE(*back, value);
}

void tst_inifile::crlfWriterAfterLoneCr()
{
    // The last line ends in a lone CR: appending must not turn it into part of a value.
    for (const QByteArray &text :
         {QByteArray("[set]\r\nport0=502\r"), QByteArray("[other]\r\nport0=502\r")}) {
        const std::optional<QByteArray> written = writeValue(text, "set", "b", "1", "\r\n");
        QVERIFY(written);
        QVERIFY(written->startsWith(text + '\n'));
        const QByteArray section = text.mid(1, text.indexOf(']') - 1);
        QCOMPARE(readValue(*written, section, "port0"), std::optional<QByteArray>("502"));
        QCOMPARE(readValue(*written, "set", "b"), std::optional<QByteArray>("1"));
    }
}

void tst_inifile::namesThatCannotBeStored()
{
    const QByteArray text("[set]\na=1\n");
    for (const QByteArray &section : {QByteArray(), QByteArray("a]b"), QByteArray("a\nb"),
                                      QByteArray(" set"), QByteArray("set\r")}) {
        QVERIFY(!isStorableSection(section));
        QVERIFY(!writeValue(text, section, "a", "1", "\n"));
    }
    for (const QByteArray &key : {QByteArray(), QByteArray("a=b"), QByteArray("a\nb"),
                                  QByteArray(";a"), QByteArray("[a"), QByteArray("a ")}) {
        QVERIFY(!isStorableKey(key));
        QVERIFY(!writeValue(text, "set", key, "1", "\n"));
    }
    QVERIFY(isStorableSection("set"));
    QVERIFY(isStorableKey("LstIP4"));
}

void tst_inifile::valuesCutAtLineBreak()
{
    // A value never brings a line of its own into the file.
    const std::optional<QByteArray> written =
        writeValue("[set]\n", "set", "a", "1\nb=injected\r\nc", "\n");
    QVERIFY(written);
    QCOMPARE(*written, QByteArray("[set]\na=1\n"));
    QCOMPARE(storableValue(bytes("x\0y")), QByteArray("x"));
    QCOMPARE(storableValue("x\ry"), QByteArray("x"));
    QCOMPARE(storableValue(" x y "), QByteArray(" x y "));
}

void tst_inifile::writtenValuesReadBack_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("blanks") << QByteArray("  192.168.1.1  ");
    QTest::newRow("equals and semicolon") << QByteArray("a=b;c");
    QTest::newRow("brackets") << QByteArray("[set]");
    QTest::newRow("quotes") << QByteArray("\"quoted\"");
    QTest::newRow("eight-bit") << QByteArray("\xe9\xff\x80");
    QTest::newRow("tab") << QByteArray("\tx\t");
    QTest::newRow("long") << QByteArray(1000, 'x');
}

void tst_inifile::writtenValuesReadBack()
{
    QFETCH(QByteArray, value);
    const QByteArray start("; keep\r\n[SET]\r\nother=1\r\n[x]\r\ny=2");
    std::optional<QByteArray> text = writeValue(start, "set", "k", value, "\n");
    QVERIFY(text);
    QCOMPARE(readValue(*text, "set", "k").value_or("missing"), value);
    text = writeValue(*text, "set", "k", value + "2", "\n");
    QVERIFY(text);
    QCOMPARE(readValue(*text, "set", "k").value_or("missing"), value + "2");
    QCOMPARE(readValue(*text, "set", "other").value_or("missing"), QByteArray("1"));
    QCOMPARE(readValue(*text, "x", "y").value_or("missing"), QByteArray("2"));
    QVERIFY(text->startsWith("; keep\r\n[SET]\r\nother=1\r\n"));
}

void tst_inifile::largeInputStaysLinear()
{
    // Many lines and one very long line are both a single pass.
    QByteArray text("[set]\n");
    for (int i = 0; i < 200000; ++i)
        text.append("x" + QByteArray::number(i) + "=v\n");
    text.append(QByteArray(2 * 1024 * 1024, 'z'));
    text.append("\nport0=1502\n");
    QCOMPARE(readValue(text, "set", "port0").value_or("missing"), QByteArray("1502"));
    const std::optional<QByteArray> written = writeValue(text, "set", "port1", "7", "\n");
    QVERIFY(written);
    QCOMPARE(written->size(), text.size() + qsizetype(sizeof("port1=7\n") - 1));
    QVERIFY(written->endsWith("port0=1502\nport1=7\n"));
}

void tst_inifile::readingCostGrowsWithSize()
{
    // Lines with no '=' and headers with no ']' are where a search could run past its line.
    auto textOf = [](qsizetype bytes) {
        QByteArray text;
        while (text.size() < bytes)
            text.append("a line with no equals sign\n[unclosed\n");
        return text.append("[set]\nport0=1502\n");
    };
    // Best of a few runs, so that a busy machine only ever makes the ratio smaller.
    auto bestOf = [](const QByteArray &text) {
        qint64 best = std::numeric_limits<qint64>::max();
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer timer;
            timer.start();
            const std::optional<QByteArray> value = readValue(text, "set", "port0");
            const std::optional<QByteArray> once = valueOf(sectionEntries(text, "set"), "port0");
            best = std::min(best, timer.nsecsElapsed());
            if (value != QByteArray("1502") || once != value) return qint64(-1);
        }
        return std::max<qint64>(best, 1);
    };
    const qint64 small = bestOf(textOf(256 * 1024));
    const qint64 large = bestOf(textOf(2 * 1024 * 1024));
    QVERIFY(small > 0 && large > 0);
    // Eight times the text: linear costs about 8 times as much, quadratic 64 times.
    QVERIFY2(large < 32 * small,
             qPrintable(QStringLiteral("%1 ns against %2 ns").arg(large).arg(small)));
}

QTEST_MAIN(tst_inifile)
#include "tst_inifile.moc"
