#pragma once

#include <QString>
#include <QStringList>

class QLocale;

// The register labels of a slot's label column. Plain functions of the slot's texts.
namespace gridlabels
{

// A register number in its shortest decimal form: ASCII digits, no grouping, the locale's
// decimal point; whole numbers never in exponent form.
QString numberText(double value, const QLocale &locale);

// Labels for rows 1, 2, ...: start, start + step, ... each followed by ">>", as many as the
// count (a fraction counts up), never more than the grid's rows; a value that takes several
// registers is named by its first. Both texts are read in the locale's format; when either
// is not a number there are none.
QStringList registerLabels(const QString &startText, const QString &countText,
                           const QLocale &locale, int step = 1);

} // namespace gridlabels
