#include "app/optionip.h"

#include "numbers/numbers.h"
#include "settings/module1.h"

#include <QComboBox>
#include <QLineEdit>
#include <limits>
#include <optional>

namespace
{

const QString Section = QStringLiteral("set");
const QString NoEntry = QStringLiteral("000");

QString key(const char *name, int index)
{
    return QLatin1String(name) + QString::number(index);
}

// A saved list choice: a locale number rounded half to even, within 16 bits, and an index
// the list has (-1 meaning no selection). Anything else leaves the list alone.
std::optional<int> listIndexFrom(const QString &text, const QComboBox *list)
{
    const std::optional<double> number = numbers::readLocaleNumber(text);
    if (!number) return std::nullopt;
    const std::optional<qint32> index = numbers::roundHalfEven(*number);
    if (!index || *index < std::numeric_limits<qint16>::min() ||
        *index > std::numeric_limits<qint16>::max())
        return std::nullopt;
    if (*index < -1 || *index >= list->count()) return std::nullopt;
    return *index;
}

} // namespace

void OptionIP::loadSettings()
{
    const Module1::StoredSettings stored(appDir(), Section);
    for (int i = 0; i < LinkCount; ++i)
        linkMarks.readSaved(i, stored.read(key("Scon", i), true));
    for (int i = 0; i < LinkCount; ++i)
        txtPort[size_t(i)]->setText(stored.read(key("port", i), QStringLiteral("502")));
    for (int i = 0; i < LinkCount; ++i)
        txtIP[size_t(i)]->setText(stored.read(key("txtIP", i), QStringLiteral("192.168.1.1")));
    for (int s = 0; s < SlotCount; ++s)
        strReg[size_t(s)]->setText(stored.read(key("strreg", s), NoEntry));
    for (int s = 0; s < SlotCount; ++s)
        LegReg[size_t(s)]->setText(stored.read(key("legreg", s), NoEntry));
    for (int s = 0; s < SlotCount; ++s) {
        QComboBox *list = LstIP[size_t(s)];
        const QString text = stored.read(key("LstIP", s), NoEntry);
        if (const std::optional<int> index = listIndexFrom(text, list))
            list->setCurrentIndex(*index);
    }
}

void OptionIP::save()
{
    // All 24 values first, then one replacement of the file.
    Module1::Entries entries;
    for (int i = 0; i < LinkCount; ++i)
        entries.append({key("Scon", i), linkMarks.savedText(i)});
    for (int i = 0; i < LinkCount; ++i)
        entries.append({key("port", i), txtPort[size_t(i)]->text()});
    for (int i = 0; i < LinkCount; ++i)
        entries.append({key("txtIP", i), txtIP[size_t(i)]->text()});
    for (int s = 0; s < SlotCount; ++s)
        entries.append({key("strreg", s), strReg[size_t(s)]->text()});
    for (int s = 0; s < SlotCount; ++s)
        entries.append({key("legreg", s), LegReg[size_t(s)]->text()});
    for (int s = 0; s < SlotCount; ++s)
        entries.append({key("LstIP", s), QString::number(LstIP[size_t(s)]->currentIndex())});
    Module1::setting_write_all(appDir(), Section, entries);
}
