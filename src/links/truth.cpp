#include "links/truth.h"

#include "numbers/numbers.h"

#include <QLocale>

namespace links
{

std::optional<bool> textToTruth(const QString &text, const QLocale &locale)
{
    const QString word = text.trimmed();
    if (word.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
    if (word.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) return false;
    if (const std::optional<double> number = numbers::readLocaleNumber(text, locale))
        return *number != 0.0;
    return std::nullopt;
}

std::optional<bool> textToTruth(const QString &text)
{
    return textToTruth(text, QLocale());
}

} // namespace links
