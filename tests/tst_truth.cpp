#include "links/truth.h"

#include <QLocale>
#include <QtTest>

#include <optional>

Q_DECLARE_METATYPE(std::optional<bool>)

class tst_truth : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void words_data();
    void words();
    void localeNumbers();
};

void tst_truth::words_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<bool>>("expected");
    const std::optional<bool> fails;
    QTest::newRow("True") << "True" << std::optional<bool>(true);
    QTest::newRow("true") << "true" << std::optional<bool>(true);
    QTest::newRow("TRUE") << "TRUE" << std::optional<bool>(true);
    QTest::newRow("tRuE") << "tRuE" << std::optional<bool>(true);
    QTest::newRow("False") << "False" << std::optional<bool>(false);
    QTest::newRow("false") << "false" << std::optional<bool>(false);
    QTest::newRow("FALSE") << "FALSE" << std::optional<bool>(false);
    QTest::newRow("blanks around a word") << "  False " << std::optional<bool>(false);
    QTest::newRow("zero") << "0" << std::optional<bool>(false);
    QTest::newRow("zero with fraction") << "0.000" << std::optional<bool>(false);
    QTest::newRow("negative zero") << "-0" << std::optional<bool>(false);
    QTest::newRow("one") << "1" << std::optional<bool>(true);
    QTest::newRow("minus one") << "-1" << std::optional<bool>(true);
    QTest::newRow("fraction") << "0.25" << std::optional<bool>(true);
    QTest::newRow("exponent") << "1e-300" << std::optional<bool>(true);
    QTest::newRow("blanks around a number") << " 0 " << std::optional<bool>(false);
    QTest::newRow("hex zero") << "&H0" << std::optional<bool>(false);
    QTest::newRow("hex") << "&HFF" << std::optional<bool>(true);
    QTest::newRow("empty") << "" << fails;
    QTest::newRow("blanks") << "   " << fails;
    QTest::newRow("yes") << "yes" << fails;
    QTest::newRow("part of a word") << "Tru" << fails;
    QTest::newRow("word and more") << "True1" << fails;
    QTest::newRow("two words") << "True False" << fails;
    QTest::newRow("two numbers") << "1 0" << fails;
    QTest::newRow("number and letters") << "0x" << fails;
    QTest::newRow("infinity") << "inf" << fails;
    QTest::newRow("not a number") << "nan" << fails;
    QTest::newRow("overflowing") << "1e999" << fails;
}

void tst_truth::words()
{
    QFETCH(QString, text);
    QFETCH(std::optional<bool>, expected);
    QCOMPARE(links::textToTruth(text), expected);
}

void tst_truth::localeNumbers()
{
    const QLocale german(QLocale::German, QLocale::Germany);
    QCOMPARE(links::textToTruth(QStringLiteral("0,0"), german), std::optional<bool>(false));
    QCOMPARE(links::textToTruth(QStringLiteral("0,5"), german), std::optional<bool>(true));
    QCOMPARE(links::textToTruth(QStringLiteral("falsE"), german), std::optional<bool>(false));
    QCOMPARE(links::textToTruth(QStringLiteral("Falsch"), german), std::optional<bool>());
    // The default locale is the one read when none is given.
    QLocale::setDefault(german);
    QCOMPARE(links::textToTruth(QStringLiteral("0,0")), std::optional<bool>(false));
    QLocale::setDefault(QLocale::c());
    QCOMPARE(links::textToTruth(QStringLiteral("0,0")), std::optional<bool>());
}

QTEST_MAIN(tst_truth)
#include "tst_truth.moc"
