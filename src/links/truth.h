#pragma once

#include <QString>
#include <optional>

class QLocale;

namespace links
{

// A text read as a truth value: "True" or "False" in any letter case, or a number in the
// locale's format, zero being false and any other number true. Blanks around either are
// allowed. Any other text, the empty text included, does not convert.
std::optional<bool> textToTruth(const QString &text, const QLocale &locale);
// The same in the default locale.
std::optional<bool> textToTruth(const QString &text);

} // namespace links
