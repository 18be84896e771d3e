#include "publish/mqtturl.h"

#include <QUrl>

namespace publish
{

QString MqttTarget::address() const
{
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    return shownHost + u':' + QString::number(port);
}

std::variant<MqttTarget, QString> parseMqttUrl(const QString &url)
{
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
    // Wildcards and empty levels would make topics no subscriber can address one by one.
    if (target.prefix.contains(u'+') || target.prefix.contains(u'#') ||
        target.prefix.split(u'/').contains(QString()) || target.prefix.contains(QChar(0)))
        return QStringLiteral("--mqtt: the topic prefix '%1' holds '+', '#' or an empty level")
            .arg(target.prefix);
    return target;
}

} // namespace publish
