#include "app/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>

#ifndef QUORVEL_VERSION
#error "QUORVEL_VERSION comes from the build"
#endif

namespace
{

// Status of a command line that cannot be run, as usage errors conventionally end.
constexpr int UsageStatus = 2;

} // namespace

QString programVersion()
{
    return QStringLiteral(QUORVEL_VERSION);
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Polls up to three Modbus/TCP devices and shows their holding registers.\n"
                       "Settings (setting.ini) and the snapshot (data.txt) live beside the "
                       "program.\nQt's own options, such as -platform, are accepted too."));
    // Our own help option: Qt's would add --help-all, which only Qt's own parsing can answer.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays this help."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption trafficOption(
        {QStringLiteral("t"), QStringLiteral("traffic")},
        QStringLiteral("Append every frame sent and received, and every connection event, to "
                       "<file> (rotated to <file>.1 at 10 MB)."),
        QStringLiteral("file"));
    parser.addOption(trafficOption);
    const QCommandLineOption historyOption(
        {QStringLiteral("H"), QStringLiteral("history")},
        QStringLiteral("Append one CSV row of the shown values per poll cycle to a file per day "
                       "in <dir> (created if missing)."),
        QStringLiteral("dir"));
    parser.addOption(historyOption);

    QString usage = parser.helpText();
    // Before the application object exists, Qt cannot know the program's name.
    if (!QCoreApplication::instance())
        usage.replace(QStringLiteral("<executable_name>"),
                      QFileInfo(arguments.value(0)).fileName());

    CommandLine command;
    const auto usageError = [&](const QString &message) {
        command.exitCode = UsageStatus;
        command.error = QStringLiteral("quorvel: ") + message + u'\n' + usage;
    };

    if (!parser.parse(arguments)) {
        usageError(parser.errorText());
        return command;
    }
    if (parser.isSet(helpOption)) {
        command.exitCode = 0;
        command.output = usage;
        return command;
    }
    if (parser.isSet(versionOption)) {
        command.exitCode = 0;
        command.output = QStringLiteral("quorvel ") + programVersion() + u'\n';
        return command;
    }
    if (!parser.positionalArguments().isEmpty()) {
        usageError(QStringLiteral("Unexpected argument '%1'.")
                       .arg(parser.positionalArguments().constFirst()));
        return command;
    }
    if (parser.isSet(trafficOption)) {
        command.trafficPath = parser.value(trafficOption);
        if (command.trafficPath.isEmpty())
            usageError(QStringLiteral("--traffic needs a file name."));
    }
    if (parser.isSet(historyOption)) {
        command.historyDir = parser.value(historyOption);
        if (command.historyDir.isEmpty())
            usageError(QStringLiteral("--history needs a folder name."));
    }
    return command;
}

std::optional<CommandLine> answerBeforeStart(int argc, char *argv[])
{
    QStringList arguments;
    for (int k = 0; k < argc; ++k)
        arguments << QString::fromLocal8Bit(argv[k]);
    CommandLine command = parseCommandLine(arguments);
    // Anything else waits for Qt, which takes its own options (-platform, ...) first.
    if (command.exitCode != 0) return std::nullopt;
    return command;
}

int finishCommandLine(const CommandLine &command)
{
    if (!command.output.isEmpty()) std::fputs(command.output.toLocal8Bit().constData(), stdout);
    if (!command.error.isEmpty()) std::fputs(command.error.toLocal8Bit().constData(), stderr);
    std::fflush(stdout);
    return command.exitCode.value_or(0);
}
