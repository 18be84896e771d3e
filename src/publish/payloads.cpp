#include "publish/payloads.h"

#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>

namespace publish
{

std::optional<QString> registerTopic(const snapshot::ShownValue &value)
{
    const QString &reg = value.reg;
    if (reg.isEmpty() || reg.contains(u'/') || reg.contains(u'+') || reg.contains(u'#') ||
        reg.contains(QChar(0)))
        return std::nullopt;
    return value.device() + u'/' + value.object + reg + value.twin;
}

QString isoTime(const QDateTime &time)
{
    // A fixed offset prints as +hh:mm, where local time might print nothing or "Z".
    const int offset = time.offsetFromUtc();
    QString text = time.toOffsetFromUtc(offset).toString(Qt::ISODateWithMs);
    if (text.endsWith(u'Z')) text.replace(text.size() - 1, 1, QStringLiteral("+00:00"));
    return text;
}

QByteArray jsonNumber(const snapshot::ShownValue &value)
{
    if (!value.current) return QByteArrayLiteral("null");
    static const QRegularExpression json(
        QStringLiteral("^-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?$"));
    const QString text = value.text.trimmed();
    // A register shown in hexadecimal is still a number.
    if (text.startsWith(QLatin1String("0x"))) {
        bool ok = false;
        const uint number = text.mid(2).toUInt(&ok, 16);
        return ok ? QByteArray::number(number) : QByteArrayLiteral("null");
    }
    // The usual case, a register in decimal, without the expression.
    const bool digits =
        !text.isEmpty() && (text.size() == 1 || text[0] != u'0') &&
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (digits || json.match(text).hasMatch()) return text.toLatin1();
    // A value shown with the locale's decimal separator.
    bool ok = false;
    const double number = QLocale().toDouble(text, &ok);
    if (ok && qIsFinite(number)) return QByteArray::number(number, 'g', 15);
    return QByteArrayLiteral("null");
}

namespace
{

QByteArray jsonString(const QString &text)
{
    QByteArray out = "\"";
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\') {
            out += '\\';
            out += char(c.unicode());
        } else if (c.unicode() < 0x20) {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QChar(u'0')).toLatin1();
        } else {
            out += QString(c).toUtf8();
        }
    }
    return out + '"';
}

} // namespace

QByteArray valuesJson(const QDateTime &time, const std::vector<snapshot::ShownValue> &values)
{
    std::vector<std::pair<QString, QByteArray>> entries;
    entries.reserve(values.size());
    QHash<QString, size_t> index;
    for (const snapshot::ShownValue &value : values) {
        const QString name = value.name();
        const QByteArray number = jsonNumber(value);
        const auto same = index.constFind(name);
        if (same == index.cend()) {
            index.insert(name, entries.size());
            entries.emplace_back(name, number);
        } else if (entries[*same].second == "null") {
            entries[*same].second = number;
        }
    }
    QByteArray out = "{\"time\":" + jsonString(isoTime(time)) + ",\"values\":{";
    for (size_t k = 0; k < entries.size(); ++k) {
        if (k) out += ',';
        out += jsonString(entries[k].first) + ':' + entries[k].second;
    }
    return out + "}}";
}

} // namespace publish
