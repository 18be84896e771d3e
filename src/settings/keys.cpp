#include "app/optionip.h"

#include "modbus/frames.h"
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
    const std::optional<double> number = frames::readLocaleNumber(text);
    if (!number) return std::nullopt;
    const std::optional<qint32> index = frames::roundHalfEven(*number);
    if (!index || *index < std::numeric_limits<qint16>::min() ||
        *index > std::numeric_limits<qint16>::max())
        return std::nullopt;
    if (*index < -1 || *index >= list->count()) return std::nullopt;
    return *index;
}

} // namespace

void OptionIP::loadSettings()
{
    const QString dir = appDir();
    for (int i = 0; i < LinkCount; ++i)
        linkMarks.readSaved(i, Module1::setting_read(dir, Section, key("Scon", i), true));
    for (int i = 0; i < LinkCount; ++i)
        txtPort[size_t(i)]->setText(
            Module1::setting_read(dir, Section, key("port", i), QStringLiteral("502")));
    for (int i = 0; i < LinkCount; ++i)
        txtIP[size_t(i)]->setText(
            Module1::setting_read(dir, Section, key("txtIP", i), QStringLiteral("192.168.1.1")));
    for (int s = 0; s < SlotCount; ++s)
        strReg[size_t(s)]->setText(Module1::setting_read(dir, Section, key("strreg", s), NoEntry));
    for (int s = 0; s < SlotCount; ++s)
        LegReg[size_t(s)]->setText(Module1::setting_read(dir, Section, key("legreg", s), NoEntry));
    for (int s = 0; s < SlotCount; ++s) {
        QComboBox *list = LstIP[size_t(s)];
        const QString text = Module1::setting_read(dir, Section, key("LstIP", s), NoEntry);
        if (const std::optional<int> index = listIndexFrom(text, list))
            list->setCurrentIndex(*index);
    }
}

void OptionIP::save()
{
    const QString dir = appDir();
    for (int i = 0; i < LinkCount; ++i)
        Module1::setting_write(dir, Section, key("Scon", i), linkMarks.savedText(i));
    for (int i = 0; i < LinkCount; ++i)
        Module1::setting_write(dir, Section, key("port", i), txtPort[size_t(i)]->text());
    for (int i = 0; i < LinkCount; ++i)
        Module1::setting_write(dir, Section, key("txtIP", i), txtIP[size_t(i)]->text());
    for (int s = 0; s < SlotCount; ++s)
        Module1::setting_write(dir, Section, key("strreg", s), strReg[size_t(s)]->text());
    for (int s = 0; s < SlotCount; ++s)
        Module1::setting_write(dir, Section, key("legreg", s), LegReg[size_t(s)]->text());
    for (int s = 0; s < SlotCount; ++s)
        Module1::setting_write(dir, Section, key("LstIP", s),
                               QString::number(LstIP[size_t(s)]->currentIndex()));
}
