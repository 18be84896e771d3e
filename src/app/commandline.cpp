#include "app/commandline.h"

#include "publish/password.h"
#include "settings/sitesettings.h"

#include <QCommandLineParser>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <iterator>

#ifndef QUORVEL_VERSION
#error "QUORVEL_VERSION comes from the build"
#endif

namespace
{

// Status of a command line that cannot be run, as usage errors conventionally end.
constexpr int UsageStatus = 2;
// Home Assistant's own default.
const QString DefaultDiscoveryPrefix = QStringLiteral("homeassistant");

// The options QApplication takes out of the arguments itself, so that a mistake can be
// told before Qt starts (and before it needs a display). Those taking a value, then flags.
const char *const QtValueOptions[] = {"platform",
                                      "platformpluginpath",
                                      "platformtheme",
                                      "plugin",
                                      "qwindowgeometry",
                                      "geometry",
                                      "qwindowtitle",
                                      "title",
                                      "qwindowicon",
                                      "icon",
                                      "session",
                                      "display",
                                      "name",
                                      "style",
                                      "stylesheet",
                                      "visual",
                                      "im",
                                      "inputstyle"};
const char *const QtFlagOptions[] = {"reverse", "testability", "widgetcount",
                                     "nograb",  "dograb",      "sync"};

// The arguments without Qt's own options; "--platform" counts as "-platform", as for Qt.
QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList kept = arguments.mid(0, 1);
    for (qsizetype k = 1; k < arguments.size(); ++k) {
        const QString &argument = arguments.at(k);
        if (argument == QLatin1String("--")) {
            kept += arguments.mid(k);
            break;
        }
        QString name = argument.startsWith(QLatin1String("--")) ? argument.mid(2)
                       : argument.startsWith(u'-')              ? argument.mid(1)
                                                                : QString();
        const bool valueOption =
            std::any_of(std::begin(QtValueOptions), std::end(QtValueOptions),
                        [&](const char *o) { return name == QLatin1String(o); });
        const bool attached = name.startsWith(QLatin1String("qmljsdebugger=")) ||
                              name.startsWith(QLatin1String("style=")) ||
                              name.startsWith(QLatin1String("stylesheet="));
        const bool flag = std::any_of(std::begin(QtFlagOptions), std::end(QtFlagOptions),
                                      [&](const char *o) { return name == QLatin1String(o); });
        if (valueOption)
            ++k; // its value goes with it
        else if (!attached && !flag)
            kept += argument;
    }
    return kept;
}

// --mqtt and its companions; a mistake ends the program like any bad option.
template <typename UsageError>
void readMqttOptions(const QCommandLineParser &parser, const QCommandLineOption &mqttOption,
                     const QCommandLineOption &passwordOption, const QCommandLineOption &caOption,
                     CommandLine &command, const UsageError &usageError)
{
    if (!parser.isSet(mqttOption)) {
        if (parser.isSet(passwordOption) || parser.isSet(caOption))
            usageError(QStringLiteral("--mqtt-password-file and --mqtt-cafile need --mqtt."));
        return;
    }
    const auto target = publish::parseMqttUrl(parser.value(mqttOption));
    if (const QString *error = std::get_if<QString>(&target)) {
        usageError(*error + u'.');
        return;
    }
    command.mqtt = std::get<publish::MqttTarget>(target);

    if (parser.isSet(passwordOption)) {
        const auto password = publish::readPasswordFile(parser.value(passwordOption));
        if (const QString *error = std::get_if<QString>(&password)) {
            usageError(*error + u'.');
            return;
        }
        command.mqttPassword = std::get<QByteArray>(password);
    } else if (!qEnvironmentVariableIsEmpty(publish::PasswordVariable)) {
        command.mqttPassword = qgetenv(publish::PasswordVariable);
    }
    if (command.mqttPassword && command.mqtt->user.isEmpty()) {
        usageError(QStringLiteral("%1 gives a password, but the --mqtt URL names no user "
                                  "(mqtt://USER@HOST).")
                       .arg(parser.isSet(passwordOption)
                                ? QStringLiteral("--mqtt-password-file")
                                : QString::fromLatin1(publish::PasswordVariable)));
        return;
    }

    if (parser.isSet(caOption)) {
        command.mqttCaFile = parser.value(caOption);
        if (!command.mqtt->tls) {
            usageError(QStringLiteral("--mqtt-cafile is for an mqtts:// broker."));
            return;
        }
        QFile file(command.mqttCaFile);
        if (!file.open(QIODevice::ReadOnly))
            usageError(
                QStringLiteral("--mqtt-cafile %1: %2").arg(command.mqttCaFile, file.errorString()));
    }
}

} // namespace

QString programVersion()
{
    return QStringLiteral(QUORVEL_VERSION);
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Polls up to three Modbus devices, over TCP or serial lines (RTU), and shows their\n"
                       "registers and coils.\n"
                       "Settings (setting.ini) and the snapshot (data.txt) live in one folder: "
                       "the one --dir names;\nelse the program's own, when it may write there "
                       "(a copy kept in a folder of its own);\nelse the per-user data folder, "
                       "~/.local/share/quorvel (an installed copy).\n"
                       "Qt's own options, such as -platform, are accepted too."));
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
    const QCommandLineOption dirOption(
        QStringLiteral("dir"),
        QStringLiteral("Keep setting.ini and data.txt in <folder> (created if missing). One "
                       "copy of the program runs on a folder at a time."),
        QStringLiteral("folder"));
    parser.addOption(dirOption);
    const QCommandLineOption mqttOption(
        QStringLiteral("mqtt"),
        QStringLiteral("Publish the values to an MQTT broker: mqtt://[USER@]HOST[:PORT][/PREFIX] "
                       "or mqtts://... for TLS (ports 1883 and 8883, prefix quorvel). The "
                       "password comes from QUORVEL_MQTT_PASSWORD or --mqtt-password-file."),
        QStringLiteral("url"));
    const QCommandLineOption mqttPasswordOption(
        QStringLiteral("mqtt-password-file"),
        QStringLiteral("Read the broker password from the first line of <file>."),
        QStringLiteral("file"));
    const QCommandLineOption mqttCaOption(
        QStringLiteral("mqtt-cafile"),
        QStringLiteral("Check the mqtts:// broker's certificate against the CA certificates in "
                       "<file> instead of the system's."),
        QStringLiteral("file"));
    const QCommandLineOption mqttDiscoveryOption(
        QStringLiteral("mqtt-discovery"),
        QStringLiteral("Announce every value cell to Home Assistant under <prefix> "
                       "(--mqtt-discovery alone: homeassistant)."),
        QStringLiteral("prefix"));
    parser.addOptions({mqttOption, mqttPasswordOption, mqttCaOption, mqttDiscoveryOption});
    const QCommandLineOption historyOption(
        {QStringLiteral("H"), QStringLiteral("history")},
        QStringLiteral("Append one CSV row of the shown values per poll cycle to a file per day "
                       "in <dir> (created if missing)."),
        QStringLiteral("dir"));
    parser.addOption(historyOption);
    const QCommandLineOption noWindowOption(
        QStringLiteral("no-window"),
        QStringLiteral("Do all the work (links, slots, data.txt, setting.ini, history, MQTT, "
                       "traffic log) without showing the window; needs no display."));
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"),
        QStringLiteral("Write no event lines (a link connected, refused, lost or back; a slot "
                       "failing or recovered; the broker lost or back) on standard error."));
    const QCommandLineOption showOption(
        QStringLiteral("show"),
        QStringLiteral("Print the folder's settings as NAME=VALUE lines, then exit."));
    const QCommandLineOption setOption(
        QStringLiteral("set"),
        QStringLiteral("Change the folder's settings (NAME=VALUE arguments, below), then "
                       "print them as --show does. Nothing is written unless every value is "
                       "valid; refused while the program runs on the folder."));
    parser.addOptions({noWindowOption, quietOption, showOption, setOption});

    QString usage = parser.helpText();
    // The program's name, however it was started ("./quorvel", a full path, before Qt knows it).
    const qsizetype nameEnd = usage.indexOf(QLatin1String(" [options]"));
    if (usage.startsWith(QLatin1String("Usage: ")) && nameEnd > 0)
        usage.replace(0, nameEnd, QStringLiteral("Usage: quorvel"));

    CommandLine command;
    const auto usageError = [&](const QString &message) {
        command.exitCode = UsageStatus;
        command.error = QStringLiteral("quorvel: ") + message + u'\n' + usage;
    };

    // Its value is optional, which the parser cannot say: alone, it takes the default.
    QStringList given = arguments;
    for (QString &argument : given)
        if (argument == QLatin1String("--mqtt-discovery"))
            argument += QStringLiteral("=") + DefaultDiscoveryPrefix;
    if (!parser.parse(given)) {
        usageError(parser.errorText());
        return command;
    }
    if (parser.isSet(helpOption)) {
        command.exitCode = 0;
        command.output =
            usage +
            QStringLiteral(
                "\nSettings for --set (as --show prints them):\n"
                "  link.A=HOST:PORT          device A's address (link.B, link.C likewise);\n"
                "                            link.A.host=HOST, link.A.port=PORT one at a time\n"
                "  link.A.connect=yes|no     connect the link at start\n"
                "  slot.1=LINK:FIRST:COUNT   slot 1 (of 1 to 5) reads COUNT (0 to 125) registers\n"
                "                            of link A, B or C from register FIRST (counted from "
                "1);\n"
                "                            slot.1=off reads nothing; slot.1.link, slot.1.start,\n"
                "                            slot.1.count one at a time\n"
                "  slot.1.unit=0..255        the unit identifier asked (1)\n"
                "  slot.1.object=holding|input|coil|discrete\n"
                "  slot.1.type=u16|s16|hex|u32|s32|f32|f64  the last four with :cdab, :badc or "
                ":dcba\n");
        return command;
    }
    if (parser.isSet(versionOption)) {
        command.exitCode = 0;
        command.output = QStringLiteral("quorvel ") + programVersion() + u'\n';
        return command;
    }
    command.set = parser.isSet(setOption);
    command.show = parser.isSet(showOption);
    if (command.set) {
        command.assignments = parser.positionalArguments();
        if (command.assignments.isEmpty()) {
            usageError(QStringLiteral("--set needs NAME=VALUE arguments."));
            return command;
        }
        // Every value is checked before the folder is touched.
        settings::SiteSettings blank;
        for (const QString &assignment : command.assignments) {
            if (const std::optional<QString> error = settings::applySetting(blank, assignment)) {
                // The settings are listed by --help; the whole usage would bury the reason.
                command.exitCode = UsageStatus;
                command.error = QStringLiteral("quorvel: --set %1: %2 (quorvel --help lists "
                                               "the settings).\n")
                                    .arg(assignment, *error);
                return command;
            }
        }
    } else if (!parser.positionalArguments().isEmpty()) {
        usageError(QStringLiteral("Unexpected argument '%1'.")
                       .arg(parser.positionalArguments().constFirst()));
        return command;
    }
    // The last of two would win unnoticed.
    for (const QCommandLineOption *option :
         {&trafficOption, &dirOption, &mqttOption, &mqttPasswordOption, &mqttCaOption,
          &mqttDiscoveryOption, &historyOption}) {
        if (parser.values(*option).size() > 1) {
            usageError(
                QStringLiteral("--%1 is given more than once.").arg(option->names().constLast()));
            return command;
        }
    }
    command.noWindow = parser.isSet(noWindowOption);
    command.quiet = parser.isSet(quietOption);
    if (parser.isSet(trafficOption)) {
        command.trafficPath = parser.value(trafficOption);
        if (command.trafficPath.isEmpty())
            usageError(QStringLiteral("--traffic needs a file name."));
    }
    if (parser.isSet(dirOption)) {
        command.dataDir = parser.value(dirOption);
        if (command.dataDir.isEmpty()) usageError(QStringLiteral("--dir needs a folder."));
    }
    if (parser.isSet(historyOption)) {
        command.historyDir = parser.value(historyOption);
        if (command.historyDir.isEmpty())
            usageError(QStringLiteral("--history needs a folder name."));
    }
    if (!command.exitCode)
        readMqttOptions(parser, mqttOption, mqttPasswordOption, mqttCaOption, command, usageError);
    if (!command.exitCode && parser.isSet(mqttDiscoveryOption)) {
        const QString prefix = parser.value(mqttDiscoveryOption);
        if (!command.mqtt)
            usageError(QStringLiteral("--mqtt-discovery needs --mqtt."));
        else if (prefix.isEmpty() || prefix.contains(u'+') || prefix.contains(u'#') ||
                 prefix.startsWith(u'/') || prefix.endsWith(u'/') ||
                 std::any_of(prefix.cbegin(), prefix.cend(), [](QChar c) {
                     return c.isSpace() || c.category() == QChar::Other_Control;
                 }))
            usageError(QStringLiteral("--mqtt-discovery: the prefix is one or more topic levels "
                                      "without '+', '#', blanks or control characters."));
        else
            command.mqttDiscovery = prefix;
    }
    return command;
}

CommandLine commandBeforeStart(int argc, char *argv[])
{
    QStringList arguments;
    for (int k = 0; k < argc; ++k)
        arguments << QString::fromLocal8Bit(argv[k]);
    return parseCommandLine(withoutQtOptions(arguments));
}

std::optional<CommandLine> answerBeforeStart(int argc, char *argv[])
{
    CommandLine command = commandBeforeStart(argc, argv);
    // A command line that runs waits for Qt, which reads its own options first.
    if (!command.exitCode) return std::nullopt;
    return command;
}

int finishCommandLine(const CommandLine &command)
{
    if (!command.output.isEmpty()) std::fputs(command.output.toLocal8Bit().constData(), stdout);
    if (!command.error.isEmpty()) std::fputs(command.error.toLocal8Bit().constData(), stderr);
    std::fflush(stdout);
    return command.exitCode.value_or(0);
}
