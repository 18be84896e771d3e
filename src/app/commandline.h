#pragma once

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
    // The history files' folder; empty for none.
    QString historyDir;
};

// Reads the arguments left after Qt took its own (-platform, -style, ...).
CommandLine parseCommandLine(const QStringList &arguments);

// Help and version, answered from the raw arguments before Qt starts, so that they need no
// display. Empty when the program has to start Qt first.
std::optional<CommandLine> answerBeforeStart(int argc, char *argv[]);

// Prints what the command line produced and returns its exit status.
int finishCommandLine(const CommandLine &command);

// The program's version, from the build.
QString programVersion();
