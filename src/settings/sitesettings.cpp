#include "settings/sitesettings.h"

#include "links/linkmarks.h"
#include "modbus/frames.h"
#include "modbus/valueformat.h"
#include "numbers/numbers.h"

#include <QRegularExpression>
#include <QStringList>

namespace settings
{

namespace
{

const QString NoEntry = QStringLiteral("000");

// The format keys' texts as the window saves them.
const valueformat::SlotFormat DefaultFormat;
const QString DefaultUnit = QString::number(DefaultFormat.unit);
const QString DefaultObject = valueformat::objectText(DefaultFormat.object);
const QString DefaultType = valueformat::typeText(DefaultFormat.type, DefaultFormat.order);

QString key(const char *name, int index)
{
    return QLatin1String(name) + QString::number(index);
}

// A whole decimal number from `low` to `high`, nothing around it.
std::optional<int> wholeNumber(const QString &text, int low, int high)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,6}$"));
    if (!digits.match(text).hasMatch()) return std::nullopt;
    const int n = text.toInt();
    if (n < low || n > high) return std::nullopt;
    return n;
}

// The slot's format as the window would read it from these texts; defaults where unreadable.
valueformat::SlotFormat formatOf(const QString &unit, const QString &object, const QString &type)
{
    valueformat::SlotFormat format;
    format.unit = valueformat::parseUnit(unit).value_or(format.unit);
    format.object = valueformat::parseObject(object).value_or(format.object);
    if (const auto choice = valueformat::parseType(type)) {
        format.type = choice->type;
        format.order = choice->order;
    }
    return format;
}

// "registers", "input registers", "coils" or "discrete inputs".
QString objectNoun(valueformat::ObjectKind object)
{
    switch (object) {
    case valueformat::ObjectKind::Input:
        return QStringLiteral("input registers");
    case valueformat::ObjectKind::Coil:
        return QStringLiteral("coils");
    case valueformat::ObjectKind::Discrete:
        return QStringLiteral("discrete inputs");
    case valueformat::ObjectKind::Holding:
        break;
    }
    return QStringLiteral("registers");
}

// A format key is written when the file holds it or its value is not the default, so a
// folder that never used these keys keeps a file without them.
void keep(QString &stored, const QString &value, const QString &fallback)
{
    stored = stored.isEmpty() && value == fallback ? QString() : value;
}

std::optional<QString> unitText(const QString &text)
{
    const std::optional<quint8> unit = valueformat::parseUnit(text);
    return unit ? std::optional<QString>(QString::number(*unit)) : std::nullopt;
}

std::optional<QString> objectText(const QString &text)
{
    const auto object = valueformat::parseObject(text);
    return object ? std::optional<QString>(valueformat::objectText(*object)) : std::nullopt;
}

std::optional<QString> typeText(const QString &text)
{
    const auto type = valueformat::parseType(text);
    return type ? std::optional<QString>(valueformat::typeText(type->type, type->order))
                : std::nullopt;
}

// The list index the window makes of a saved LstIP text: -1 to 2, or none.
std::optional<int> linkIndex(const QString &text)
{
    const std::optional<double> number = numbers::readLocaleNumber(text);
    const std::optional<qint32> index = number ? numbers::roundHalfEven(*number) : std::nullopt;
    if (!index || *index < -1 || *index >= SiteSettings::LinkCount) return std::nullopt;
    return *index;
}

QString linkLetter(int index)
{
    return index >= 0 && index < SiteSettings::LinkCount ? QString(QChar(u'A' + index))
                                                         : QStringLiteral("none");
}

std::optional<int> linkFromText(const QString &text)
{
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("NONE")) return -1;
    if (t.size() == 1 && t[0] >= u'A' && t[0] <= u'C') return t[0].unicode() - u'A';
    return std::nullopt;
}

std::optional<bool> yesNo(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("yes") || t == QLatin1String("true") || t == QLatin1String("on") ||
        t == QLatin1String("1"))
        return true;
    if (t == QLatin1String("no") || t == QLatin1String("false") || t == QLatin1String("off") ||
        t == QLatin1String("0"))
        return false;
    return std::nullopt;
}

// The mark the window reads from a Scon text, and the text it saves for it.
links::LinkMarks marksOf(const SiteSettings &site)
{
    links::LinkMarks marks;
    for (int i = 0; i < SiteSettings::LinkCount; ++i)
        marks.readSaved(i, site.scon[size_t(i)]);
    return marks;
}

std::optional<QString> checkHost(const QString &host)
{
    if (host.isEmpty()) return QStringLiteral("no host given");
    // A longer value would be cut when read back.
    if (host.size() > 254) return QStringLiteral("the host is longer than 254 characters");
    for (const QChar c : host)
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return QStringLiteral("a host has no blanks or control characters");
    return std::nullopt;
}

std::optional<QString> checkPort(const QString &port)
{
    if (!wholeNumber(port, 1, 65535))
        return QStringLiteral("\"%1\" is no port (1 to 65535)").arg(port);
    return std::nullopt;
}

// A slot's start and count, as register numbers counted from 1.
std::optional<QString> checkStart(const QString &start)
{
    if (!wholeNumber(start, 1, 65536))
        return QStringLiteral("\"%1\" is no first register (1 to 65536)").arg(start);
    return std::nullopt;
}

// A read asks for at most 125 registers, or 2000 coils or discrete inputs.
std::optional<QString> checkCount(const QString &count, const QString &object)
{
    const auto kind = valueformat::parseObject(object);
    if (kind && valueformat::readsBits(*kind)) {
        if (!wholeNumber(count, 0, 2000))
            return QStringLiteral("\"%1\" is no count (0 to 2000 bits, 0: not read)").arg(count);
    } else if (!wholeNumber(count, 0, 125)) {
        return QStringLiteral("\"%1\" is no count (0 to 125 registers, 0: not read)").arg(count);
    }
    return std::nullopt;
}

std::optional<QString> setLink(SiteSettings &site, int link, const QString &part,
                               const QString &value)
{
    const auto i = size_t(link);
    if (part.isEmpty()) {
        // HOST:PORT, or HOST alone to keep the port.
        const qsizetype colon = value.lastIndexOf(u':');
        const QString host = colon < 0 ? value : value.left(colon);
        if (const auto error = checkHost(host)) return error;
        if (colon >= 0) {
            if (const auto error = checkPort(value.mid(colon + 1))) return error;
            site.port[i] = value.mid(colon + 1);
        }
        site.host[i] = host;
        return std::nullopt;
    }
    if (part == QLatin1String("host")) {
        if (const auto error = checkHost(value)) return error;
        site.host[i] = value;
        return std::nullopt;
    }
    if (part == QLatin1String("port")) {
        if (const auto error = checkPort(value)) return error;
        site.port[i] = value;
        return std::nullopt;
    }
    if (part == QLatin1String("connect")) {
        const std::optional<bool> connect = yesNo(value);
        if (!connect) return QStringLiteral("\"%1\" is neither yes nor no").arg(value);
        // Saved as the window saves a link the operator connected or disconnected.
        site.scon[i] = *connect ? QStringLiteral("False") : QStringLiteral("True");
        return std::nullopt;
    }
    return QStringLiteral("a link has host, port and connect");
}

std::optional<QString> setSlot(SiteSettings &site, int slot, const QString &part,
                               const QString &value)
{
    const auto s = size_t(slot);
    if (part.isEmpty()) {
        if (value.toLower() == QLatin1String("off")) {
            site.count[s] = NoEntry;
            return std::nullopt;
        }
        const QStringList parts = value.split(u':');
        if (parts.size() != 3)
            return QStringLiteral("a slot is LINK:FIRST:COUNT (A:100:10) or off");
        const std::optional<int> link = linkFromText(parts[0]);
        if (!link) return QStringLiteral("\"%1\" is no link (A, B, C or none)").arg(parts[0]);
        if (const auto error = checkStart(parts[1])) return error;
        if (const auto error = checkCount(parts[2], site.object[s])) return error;
        site.link[s] = QString::number(*link);
        site.start[s] = parts[1];
        site.count[s] = parts[2];
        return std::nullopt;
    }
    if (part == QLatin1String("link")) {
        const std::optional<int> link = linkFromText(value);
        if (!link) return QStringLiteral("\"%1\" is no link (A, B, C or none)").arg(value);
        site.link[s] = QString::number(*link);
        return std::nullopt;
    }
    if (part == QLatin1String("start")) {
        if (const auto error = checkStart(value)) return error;
        site.start[s] = value;
        return std::nullopt;
    }
    if (part == QLatin1String("count")) {
        if (const auto error = checkCount(value, site.object[s])) return error;
        site.count[s] = value;
        return std::nullopt;
    }
    // Checked and written as the window reads and saves them.
    if (part == QLatin1String("unit")) {
        const std::optional<QString> unit = unitText(value);
        if (!unit) return QStringLiteral("\"%1\" is no unit (0 to 255)").arg(value);
        keep(site.unit[s], *unit, DefaultUnit);
        return std::nullopt;
    }
    if (part == QLatin1String("object")) {
        const std::optional<QString> object = objectText(value);
        if (!object)
            return QStringLiteral("\"%1\" is no object (holding, input, coil, discrete)")
                .arg(value);
        keep(site.object[s], *object, DefaultObject);
        return std::nullopt;
    }
    if (part == QLatin1String("type")) {
        const std::optional<QString> type = typeText(value);
        if (!type)
            return QStringLiteral("\"%1\" is no type (u16, s16, hex, u32, s32, f32, f64; the "
                                  "last four with :cdab, :badc or :dcba)")
                .arg(value);
        keep(site.type[s], *type, DefaultType);
        return std::nullopt;
    }
    return QStringLiteral("a slot has link, start, count, unit, object and type");
}

QString orDefault(const QString &stored, const QString &fallback)
{
    return stored.isEmpty() ? fallback : stored;
}

// "    # why", lined up after NAME=VALUE.
QString line(const QString &setting, const QString &why = QString())
{
    if (why.isEmpty()) return setting + u'\n';
    return setting.leftJustified(28) + QStringLiteral(" # ") + why + u'\n';
}

} // namespace

QString section()
{
    return QStringLiteral("set");
}

SiteSettings readSite(const Module1::StoredSettings &stored)
{
    SiteSettings site;
    for (int i = 0; i < SiteSettings::LinkCount; ++i) {
        site.scon[size_t(i)] = stored.read(key("Scon", i), true);
        site.port[size_t(i)] = stored.read(key("port", i), QStringLiteral("502"));
        site.host[size_t(i)] = stored.read(key("txtIP", i), QStringLiteral("192.168.1.1"));
    }
    for (int s = 0; s < SiteSettings::SlotCount; ++s) {
        site.start[size_t(s)] = stored.read(key("strreg", s), NoEntry);
        site.count[size_t(s)] = stored.read(key("legreg", s), NoEntry);
        site.link[size_t(s)] = stored.read(key("LstIP", s), NoEntry);
        // As the window reads and saves them: a text it cannot read is saved as the default.
        const auto format = [&](const char *name, const QString &fallback, auto canonical) {
            if (!stored.holds(key(name, s))) return QString();
            return canonical(stored.read(key(name, s), fallback)).value_or(fallback);
        };
        site.unit[size_t(s)] = format("unit", DefaultUnit, unitText);
        site.object[size_t(s)] = format("object", DefaultObject, objectText);
        site.type[size_t(s)] = format("type", DefaultType, typeText);
    }
    return site;
}

std::optional<QString> applySetting(SiteSettings &site, const QString &assignment)
{
    const qsizetype equals = assignment.indexOf(u'=');
    if (equals <= 0) return QStringLiteral("a setting is NAME=VALUE");
    const QStringList name = assignment.left(equals).toLower().split(u'.');
    const QString value = assignment.mid(equals + 1);
    const QString part = name.value(2);
    if (name.size() > 3) return QStringLiteral("no such setting");

    if (name[0] == QLatin1String("link") && name.size() >= 2) {
        const std::optional<int> link = linkFromText(name[1]);
        if (!link || *link < 0) return QStringLiteral("there are links A, B and C");
        return setLink(site, *link, part, value);
    }
    if (name[0] == QLatin1String("slot") && name.size() >= 2) {
        const std::optional<int> slot = wholeNumber(name[1], 1, SiteSettings::SlotCount);
        if (!slot) return QStringLiteral("there are slots 1 to 5");
        return setSlot(site, *slot - 1, part, value);
    }
    return QStringLiteral("no such setting (link.A, link.A.connect, slot.1, slot.1.type, ...)");
}

Module1::Entries savedEntries(const SiteSettings &site)
{
    const links::LinkMarks marks = marksOf(site);
    Module1::Entries entries;
    for (int i = 0; i < SiteSettings::LinkCount; ++i)
        entries.append({key("Scon", i), marks.savedText(i)});
    for (int i = 0; i < SiteSettings::LinkCount; ++i)
        entries.append({key("port", i), site.port[size_t(i)]});
    for (int i = 0; i < SiteSettings::LinkCount; ++i)
        entries.append({key("txtIP", i), site.host[size_t(i)]});
    for (int s = 0; s < SiteSettings::SlotCount; ++s)
        entries.append({key("strreg", s), site.start[size_t(s)]});
    for (int s = 0; s < SiteSettings::SlotCount; ++s)
        entries.append({key("legreg", s), site.count[size_t(s)]});
    // The list keeps no index it does not have; it then stays without a selection.
    for (int s = 0; s < SiteSettings::SlotCount; ++s)
        entries.append(
            {key("LstIP", s), QString::number(linkIndex(site.link[size_t(s)]).value_or(-1))});
    // All units, then all objects, then all types, as the window saves them.
    for (auto [name, field] : {std::pair{"unit", &site.unit}, std::pair{"object", &site.object},
                               std::pair{"type", &site.type}}) {
        for (int s = 0; s < SiteSettings::SlotCount; ++s)
            if (!(*field)[size_t(s)].isEmpty()) entries.append({key(name, s), (*field)[size_t(s)]});
    }
    return entries;
}

QString describeSite(const SiteSettings &site)
{
    const links::LinkMarks marks = marksOf(site);
    QString text;
    for (int i = 0; i < SiteSettings::LinkCount; ++i) {
        const auto k = size_t(i);
        const QString name = QStringLiteral("link.") + linkLetter(i);
        text += line(name + u'=' + site.host[k] + u':' + site.port[k],
                     checkPort(site.port[k]) ? QStringLiteral("not a port: nothing is dialled")
                                             : QString());
        const std::optional<bool> marked = marks.marked(i);
        QString why = QStringLiteral("Scon%1=%2: ").arg(i).arg(site.scon[k]);
        why += !marked   ? QStringLiteral("unreadable, dialled at every start")
               : *marked ? QStringLiteral("connected at start")
                         : QStringLiteral("not connected at start");
        text += line(name + QStringLiteral(".connect=") +
                         (marks.oughtToConnect(i) ? QStringLiteral("yes") : QStringLiteral("no")),
                     why);
    }
    for (int s = 0; s < SiteSettings::SlotCount; ++s) {
        const auto k = size_t(s);
        const QString name = QStringLiteral("slot.%1").arg(s + 1);
        const std::optional<int> link = linkIndex(site.link[k]);
        const std::optional<int> start = wholeNumber(site.start[k], 1, 65536);
        const std::optional<int> count = wholeNumber(site.count[k], 0, 125);
        const std::optional<double> asked = numbers::readLocaleNumber(site.count[k]);
        if (asked && *asked < 1) {
            text += line(name + QStringLiteral("=off"),
                         QStringLiteral("not read (count %1)").arg(site.count[k]));
        } else {
            QString why;
            if (!link || *link < 0)
                why = QStringLiteral("no device: shows ???");
            else if (start && count) {
                // A 32-bit value takes two registers: the span is what the request asks for.
                const valueformat::SlotFormat format =
                    formatOf(site.unit[k], site.object[k], site.type[k]);
                const int quantity = frames::requestedQuantity(
                    frames::buildReadRequest(site.start[k], site.count[k], format, QLocale()));
                why = QStringLiteral("device %1, %2 %3 to %4")
                          .arg(linkLetter(*link), objectNoun(format.object))
                          .arg(*start)
                          .arg(*start + quantity - 1);
            } else
                why = QStringLiteral("read as the window reads typed texts");
            text += line(name + u'=' + linkLetter(link.value_or(-1)) + u':' + site.start[k] + u':' +
                             site.count[k],
                         why);
        }
        text += line(name + QStringLiteral(".unit=") + orDefault(site.unit[k], DefaultUnit));
        text += line(name + QStringLiteral(".object=") + orDefault(site.object[k], DefaultObject));
        text += line(name + QStringLiteral(".type=") + orDefault(site.type[k], DefaultType));
    }
    return text;
}

} // namespace settings
