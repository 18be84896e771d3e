#include "app/clock.h"

#include "app/optionip.h"

#include <QLabel>

namespace clocktext
{

namespace
{

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

QChar separatorIn(const QString &format, QChar fallback)
{
    for (const QChar c : format) {
        if (!c.isLetter() && !c.isSpace()) return c;
    }
    return fallback;
}

QChar dateSeparator(const QLocale &locale)
{
    return separatorIn(locale.dateFormat(QLocale::ShortFormat), QLatin1Char('/'));
}

QChar timeSeparator(const QLocale &locale)
{
    return separatorIn(locale.timeFormat(QLocale::ShortFormat), QLatin1Char(':'));
}

QString formatDate(const QDateTime &moment, const QLocale &locale)
{
    const QDate date = moment.date();
    const QString separator = QStringLiteral(" ") + dateSeparator(locale) + QStringLiteral(" ");
    // Some locales end the abbreviation with a full stop ("Dez."), which would double up
    // with a full-stop separator.
    QString month = locale.monthName(date.month(), QLocale::ShortFormat);
    if (month.endsWith(u'.')) month.chop(1);
    return twoDigits(date.day()) + separator + month + separator +
           QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'));
}

QString formatTime(const QDateTime &moment, const QLocale &locale)
{
    const QTime time = moment.time();
    const QChar separator = timeSeparator(locale);
    return twoDigits(time.hour()) + separator + twoDigits(time.minute()) + separator +
           twoDigits(time.second());
}

} // namespace clocktext

void OptionIP::Timer1_Timer()
{
    // The clock is read once for each label, so a tick across midnight can pair the old
    // day's date with 00:00:00.
    lbtgl->setText(clocktext::formatDate(QDateTime::currentDateTime(), QLocale::system()));
    lbjam->setText(clocktext::formatTime(QDateTime::currentDateTime(), QLocale::system()));
}
