#pragma once

#include "publish/mqtturl.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// What the program's command line asks for.
struct CommandLine {
    // Set when the program ends at once (help, version, a mistake) with this status.
    std::optional<int> exitCode;
    QString output; // for standard output
    QString error;  // for standard error
    // The traffic log's file; empty for none.
    QString trafficPath;
    // The folder of setting.ini and data.txt that --dir names; empty for the default.
    QString dataDir;
    // The MQTT broker to publish to (--mqtt), none without it; its password, from
    // QUORVEL_MQTT_PASSWORD or --mqtt-password-file; the CA file for mqtts:// (--mqtt-cafile),
    // empty for the system's CAs.
    std::optional<publish::MqttTarget> mqtt;
    std::optional<QByteArray> mqttPassword;
    QString mqttCaFile;
    // Home Assistant's discovery prefix (--mqtt-discovery); none without it.
    std::optional<QString> mqttDiscovery;
    // The history files' folder; empty for none.
    QString historyDir;
};

// Reads the arguments left after Qt took its own (-platform, -style, ...).
CommandLine parseCommandLine(const QStringList &arguments);

// Help, version and every mistake, answered from the raw arguments (Qt's own options set
// aside) before Qt starts, so that they need no display. Empty when the program runs.
std::optional<CommandLine> answerBeforeStart(int argc, char *argv[]);

// Prints what the command line produced and returns its exit status.
int finishCommandLine(const CommandLine &command);

// The program's version, from the build.
QString programVersion();
