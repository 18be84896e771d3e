#pragma once

#include <QByteArray>
#include <QString>
#include <variant>

namespace publish
{

// The environment variable that may hold the broker password.
constexpr const char *PasswordVariable = "QUORVEL_MQTT_PASSWORD";

// The password in a file: its first line, without the line end. Or why there is none; the
// reason never holds the file's content.
std::variant<QByteArray, QString> readPasswordFile(const QString &path);

// Overwrites the variable's value where the process started with it, so that it no longer
// shows in /proc/PID/environ (ps e), and removes it from the environment.
void scrubEnvironmentVariable(const char *name);

} // namespace publish
