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
    // Run without showing or painting the window (--no-window); no display needed.
    bool noWindow = false;
    // No event lines (links, slots, broker) on standard error (--quiet).
    bool quiet = false;
    // Print the folder's settings (--show), after changing them (--set NAME=VALUE ...).
    bool show = false;
    bool set = false;
    QStringList assignments;
};

// Reads the arguments left after Qt took its own (-platform, -style, ...).
CommandLine parseCommandLine(const QStringList &arguments);

// The raw arguments read with Qt's own options set aside, before Qt starts, so that help,
// version, every mistake and the settings commands need no display.
CommandLine commandBeforeStart(int argc, char *argv[]);
// Help, version and every mistake, answered from the raw arguments. Empty when the program
// runs.
std::optional<CommandLine> answerBeforeStart(int argc, char *argv[]);

// Prints what the command line produced and returns its exit status.
int finishCommandLine(const CommandLine &command);

// The program's version, from the build.
QString programVersion();
