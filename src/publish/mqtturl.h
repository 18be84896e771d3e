#pragma once

#include <QString>
#include <variant>

namespace publish
{

// Where the values go: mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://... for TLS.
struct MqttTarget {
    bool tls = false;
    QString user; // empty for none
    QString host;
    quint16 port = 0;
    QString prefix; // first topic level(s), without a trailing '/'

    // "host:port" as messages name the broker; never holds a password.
    QString address() const;
};

constexpr quint16 MqttPort = 1883;
constexpr quint16 MqttTlsPort = 8883;
inline const QString DefaultPrefix = QStringLiteral("quorvel");

// The target an --mqtt URL names, or why it names none. The reason never repeats the URL,
// which may hold a password typed by mistake.
std::variant<MqttTarget, QString> parseMqttUrl(const QString &url);

} // namespace publish
