#include "app/optionip.h"

#include "numbers/numbers.h"
#include "settings/module1.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <cstdio>
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

// The three texts of a slot's format, as the settings file holds them.
struct FormatTexts {
    QString unit;
    QString object;
    QString type;
};

FormatTexts formatTexts(const valueformat::SlotFormat &format)
{
    return {QString::number(format.unit), valueformat::objectText(format.object),
            valueformat::typeText(format.type, format.order)};
}

void reportUnreadable(const QString &key, const QString &text, const QString &used)
{
    const QString line = QStringLiteral("quorvel: setting.ini: %1=%2 is not a value it can take; "
                                        "%3 is used\n")
                             .arg(key, text, used);
    std::fputs(line.toLocal8Bit().constData(), stderr);
}

// A slot's format key: the stored text when it reads, else the default, named on standard
// error. A file without the key reads as the default, silently.
template <typename Parse>
auto readFormatKey(const Module1::StoredSettings &stored, const QString &key,
                   const QString &defaultText, Parse parse)
{
    const QString text = stored.read(key, defaultText);
    if (auto value = parse(text)) return value;
    reportUnreadable(key, text, defaultText);
    return parse(defaultText);
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
    const FormatTexts defaults = formatTexts(valueformat::SlotFormat());
    for (int s = 0; s < SlotCount; ++s) {
        const auto k = size_t(s);
        const auto unit = readFormatKey(stored, key("unit", s), defaults.unit, valueformat::parseUnit);
        txtUnit[k]->setValue(unit.value_or(1));
        const auto object =
            readFormatKey(stored, key("object", s), defaults.object, valueformat::parseObject);
        LstObject[k]->setCurrentText(valueformat::objectText(*object));
        const auto type = readFormatKey(stored, key("type", s), defaults.type, valueformat::parseType);
        LstType[k]->setCurrentText(valueformat::typeText(type->type, type->order));
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

    // A folder that never used a slot's format keeps its file as it was: a key is written
    // only when the file has it already or its value is not the default.
    const Module1::StoredSettings stored(appDir(), Section);
    const FormatTexts defaults = formatTexts(valueformat::SlotFormat());
    std::array<FormatTexts, SlotCount> texts;
    for (int s = 0; s < SlotCount; ++s)
        texts[size_t(s)] = formatTexts(slotFormat(s));
    const auto addFormatKeys = [&](const char *name, QString FormatTexts::*field) {
        for (int s = 0; s < SlotCount; ++s) {
            const QString value = texts[size_t(s)].*field;
            if (stored.holds(key(name, s)) || value != defaults.*field)
                entries.append({key(name, s), value});
        }
    };
    addFormatKeys("unit", &FormatTexts::unit);
    addFormatKeys("object", &FormatTexts::object);
    addFormatKeys("type", &FormatTexts::type);
    Module1::setting_write_all(appDir(), Section, entries);
}
