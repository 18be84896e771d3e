#include "app/clock.h"
#include "app/optionip.h"

#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class tst_clock : public QObject
{
    Q_OBJECT

private slots:
    void separatorIn_data();
    void separatorIn();
    void localeSeparators();
    void formats_data();
    void formats();
    void timerTick();
};

void tst_clock::separatorIn_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QChar>("fallback");
    QTest::addColumn<QChar>("separator");

    QTest::newRow("d/M/yy") << "d/M/yy" << QChar(u'/') << QChar(u'/');
    QTest::newRow("dd.MM.yyyy") << "dd.MM.yyyy" << QChar(u'/') << QChar(u'.');
    QTest::newRow("yyyy-MM-dd") << "yyyy-MM-dd" << QChar(u'/') << QChar(u'-');
    QTest::newRow("blanks and letters only") << "d MMM yyyy" << QChar(u'/') << QChar(u'/');
    QTest::newRow("HH:mm:ss") << "HH:mm:ss" << QChar(u':') << QChar(u':');
    QTest::newRow("H.mm") << "H.mm" << QChar(u':') << QChar(u'.');
    QTest::newRow("h:mm AP") << "h:mm AP" << QChar(u':') << QChar(u':');
    QTest::newRow("HHmm") << "HHmm" << QChar(u':') << QChar(u':');
    QTest::newRow("empty") << "" << QChar(u':') << QChar(u':');
    QTest::newRow("no-break space before") << "h\u00a0\u202f:mm" << QChar(u':') << QChar(u':');
}

void tst_clock::separatorIn()
{
    QFETCH(QString, format);
    QFETCH(QChar, fallback);
    QFETCH(QChar, separator);
    QCOMPARE(clocktext::separatorIn(format, fallback), separator);
}

void tst_clock::localeSeparators()
{
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    QCOMPARE(clocktext::dateSeparator(us), QChar(u'/'));
    QCOMPARE(clocktext::timeSeparator(us), QChar(u':'));
    const QLocale german(QLocale::German, QLocale::Germany);
    QCOMPARE(clocktext::dateSeparator(german), QChar(u'.'));
    QCOMPARE(clocktext::timeSeparator(german), QChar(u':'));
    const QLocale dutch(QLocale::Dutch, QLocale::Netherlands);
    QCOMPARE(clocktext::dateSeparator(dutch), QChar(u'-'));
    // Each separator is the first one its locale's own short format uses.
    for (const QLocale &locale : {us, german, dutch, QLocale::system()}) {
        const QString date = locale.dateFormat(QLocale::ShortFormat);
        QVERIFY(date.contains(clocktext::dateSeparator(locale)) ||
                clocktext::dateSeparator(locale) == u'/');
        const QString time = locale.timeFormat(QLocale::ShortFormat);
        QVERIFY(time.contains(clocktext::timeSeparator(locale)) ||
                clocktext::timeSeparator(locale) == u':');
    }
}

void tst_clock::formats_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");

    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale dutch(QLocale::Dutch, QLocale::Netherlands);

    QTest::newRow("morning") << QDateTime(QDate(2026, 12, 7), QTime(9, 34, 54)) << us
                             << "07 / Dec / 2026"
                             << "09:34:54";
    QTest::newRow("afternoon, 24-hour")
        << QDateTime(QDate(2026, 3, 1), QTime(13, 5, 9)) << us << "01 / Mar / 2026"
        << "13:05:09";
    QTest::newRow("midnight") << QDateTime(QDate(2027, 1, 2), QTime(0, 0, 0)) << us
                              << "02 / Jan / 2027"
                              << "00:00:00";
    QTest::newRow("last second") << QDateTime(QDate(2026, 9, 30), QTime(23, 59, 59)) << us
                                 << "30 / Sep / 2026"
                                 << "23:59:59";
    QTest::newRow("noon") << QDateTime(QDate(2026, 6, 15), QTime(12, 0, 0)) << us
                          << "15 / Jun / 2026"
                          << "12:00:00";
    // The abbreviation's own full stop is dropped, so it does not double the separator.
    QTest::newRow("german") << QDateTime(QDate(2026, 12, 8), QTime(21, 4, 5)) << german
                            << "08 . Dez . 2026"
                            << "21:04:05";
    QTest::newRow("german, no abbreviation")
        << QDateTime(QDate(2026, 5, 1), QTime(6, 0, 0)) << german << "01 . Mai . 2026"
        << "06:00:00";
    QTest::newRow("french") << QDateTime(QDate(2026, 2, 3), QTime(4, 5, 6))
                            << QLocale(QLocale::French, QLocale::France)
                            << QStringLiteral("03 / f\u00e9vr / 2026") << "04:05:06";
    QTest::newRow("dutch")
        << QDateTime(QDate(2026, 5, 3), QTime(1, 2, 3)) << dutch
        << QStringLiteral("03 - %1 - 2026").arg(dutch.monthName(5, QLocale::ShortFormat))
        << "01:02:03";
    QTest::newRow("year below 1000")
        << QDateTime(QDate(987, 4, 9), QTime(7, 8, 9)) << us << "09 / Apr / 0987"
        << "07:08:09";
}

void tst_clock::formats()
{
    QFETCH(QDateTime, moment);
    QFETCH(QLocale, locale);
    QFETCH(QString, date);
    QFETCH(QString, time);

    QCOMPARE(clocktext::formatDate(moment, locale), date);
    const QString shown = clocktext::formatTime(moment, locale);
    QCOMPARE(shown, time);
    // Two digits each, never a day-half marker.
    static const QRegularExpression pattern(QStringLiteral("^\\d\\d\\D\\d\\d\\D\\d\\d$"));
    QVERIFY(pattern.match(shown).hasMatch());
}

void tst_clock::timerTick()
{
    QTemporaryDir dir;
    OptionIP w(dir.path());
    QCOMPARE(w.lbtgl->text(), QStringLiteral("Label6"));
    QCOMPARE(w.lbjam->text(), QStringLiteral("Label6"));

    const QDateTime before = QDateTime::currentDateTime();
    w.Timer1_Timer();
    const QDateTime after = QDateTime::currentDateTime();
    const QLocale locale = QLocale::system();
    QVERIFY(w.lbtgl->text() == clocktext::formatDate(before, locale) ||
            w.lbtgl->text() == clocktext::formatDate(after, locale));
    QVERIFY(w.lbjam->text() == clocktext::formatTime(before, locale) ||
            w.lbjam->text() == clocktext::formatTime(after, locale));

    // The timer itself keeps the labels current.
    w.lbjam->setText(QStringLiteral("Label6"));
    QTRY_VERIFY_WITH_TIMEOUT(w.lbjam->text() != QStringLiteral("Label6"), 10000);
}

QTEST_MAIN(tst_clock)
#include "tst_clock.moc"
