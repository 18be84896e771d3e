#include "publish/mqtturl.h"

#include <QUrl>
#include <optional>

namespace publish
{

QString MqttTarget::address() const
{
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    return shownHost + u':' + QString::number(port);
}

namespace
{

// Longest host name the DNS allows.
constexpr int LongestHost = 253;
// MQTT topics are at most 65,535 bytes; what follows the prefix needs some of them.
constexpr int LongestPrefix = 65000;

// Why `prefix` cannot lead MQTT topics, in full, or nothing when it can. `decoded`: as the
// URL's %-escapes gave it; else as typed, when only what the URL rules would refuse is told.
std::optional<QString> prefixFault(const QString &prefix, bool decoded)
{
    const QString fault = QStringLiteral("--mqtt: the topic prefix ");
    for (const QChar c : prefix) {
        // Not repeated: a NUL would end the message there.
        if (c.category() == QChar::Other_Control)
            return fault + QStringLiteral("holds a control character");
        if (c.isSpace()) return fault + QStringLiteral("holds a blank");
    }
    const qsizetype bytes = prefix.toUtf8().size();
    if (bytes > LongestPrefix)
        return fault + QStringLiteral("is %1 bytes long; MQTT topics allow at most %2")
                           .arg(bytes)
                           .arg(LongestPrefix);
    if (!decoded) return std::nullopt;
    // Wildcards and empty levels would make topics no subscriber can address one by one.
    if (prefix.contains(u'+') || prefix.contains(u'#') || prefix.split(u'/').contains(QString()))
        return fault + u'\'' + prefix + QStringLiteral("' holds '+', '#' or an empty level");
    if (prefix.startsWith(u'$'))
        return fault + u'\'' + prefix +
               QStringLiteral("' begins with '$', which brokers keep for their own topics");
    return std::nullopt;
}

} // namespace

std::variant<MqttTarget, QString> parseMqttUrl(const QString &url)
{
    // Said plainly before the URL rules would only call the whole URL malformed.
    const qsizetype authority = url.indexOf(QLatin1String("://"));
    const qsizetype pathStart = authority < 0 ? -1 : url.indexOf(u'/', authority + 3);
    const QString rawHost =
        authority < 0 ? QString()
                      : url.mid(authority + 3, pathStart < 0 ? -1 : pathStart - authority - 3)
                            .section(u'@', -1)
                            .section(u':', 0, 0);
    if (rawHost.size() > LongestHost)
        return QStringLiteral("--mqtt: the broker host name is longer than %1 characters")
            .arg(LongestHost);
    if (pathStart >= 0)
        if (const std::optional<QString> fault = prefixFault(url.mid(pathStart + 1), false))
            return *fault;
    for (const QChar c : url)
        if (c.category() == QChar::Other_Control || c.isSpace())
            return QStringLiteral("--mqtt: the URL holds a blank or a control character");

    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().isEmpty())
        return QStringLiteral("--mqtt wants mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://...");
    MqttTarget target;
    const QString scheme = parsed.scheme().toLower();
    if (scheme == QLatin1String("mqtts"))
        target.tls = true;
    else if (scheme != QLatin1String("mqtt"))
        return QStringLiteral("--mqtt: the URL starts with mqtt:// or mqtts://, not %1://")
            .arg(parsed.scheme());
    if (!parsed.password().isEmpty() ||
        (url.contains(u'@') && url.section(u'@', 0, 0).count(u':') > 1))
        return QStringLiteral("--mqtt: the password does not belong in the URL, where every "
                              "user of the machine can read it; give it in "
                              "QUORVEL_MQTT_PASSWORD or --mqtt-password-file");
    target.host = parsed.host();
    if (target.host.isEmpty()) return QStringLiteral("--mqtt: the URL names no broker host");
    if (parsed.hasQuery() || parsed.hasFragment())
        return QStringLiteral("--mqtt: the URL may not hold '?' or '#'");
    target.user = parsed.userName();
    const int port = parsed.port(target.tls ? MqttTlsPort : MqttPort);
    if (port < 1 || port > 65535) return QStringLiteral("--mqtt: the port is 1 to 65535");
    target.port = quint16(port);

    QString path = parsed.path();
    if (path.startsWith(u'/')) path.remove(0, 1);
    target.prefix = path.isEmpty() ? DefaultPrefix : path;
    // Checked again as decoded: %00, %20 and %24 are other ways to write the same faults.
    if (const std::optional<QString> fault = prefixFault(target.prefix, true)) return *fault;
    return target;
}

} // namespace publish
