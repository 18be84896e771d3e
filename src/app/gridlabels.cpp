#include "app/gridlabels.h"

#include "modbus/frames.h"
#include "numbers/numbers.h"

#include <QLocale>
#include <cmath>
#include <optional>

namespace gridlabels
{

QString numberText(double value, const QLocale &locale)
{
    // Digits come from the C locale, as in requests: some locales write native digits.
    const QLocale c = QLocale::c();
    if (std::abs(value) < 1e15 && value == std::trunc(value)) return c.toString(qint64(value));
    QString text = c.toString(value, 'g', QLocale::FloatingPointShortest);
    text.replace(u'.', locale.decimalPoint());
    return text;
}

QStringList registerLabels(const QString &startText, const QString &countText,
                           const QLocale &locale, int step)
{
    const std::optional<double> count = numbers::readLocaleNumber(countText, locale);
    const std::optional<double> start = numbers::readLocaleNumber(startText, locale);
    QStringList labels;
    if (!count || !start) return labels;
    // Only rows 1 to 29 can hold a label, so a huge count stops there.
    for (int j = 0; j <= *count - 1 && j + 1 <= frames::LastRow; ++j)
        labels << numberText(*start + double(j) * step, locale) + QStringLiteral(">>");
    return labels;
}

} // namespace gridlabels
