#include "app/closesignals.h"
#include "app/commandline.h"
#include "app/folderclaim.h"
#include "app/keepers.h"
#include "app/optionip.h"
#include "app/service.h"
#include "app/settingscommand.h"
#include "app/windowfeed.h"
#include "links/winsock.h"
#include "publish/mqttpublisher.h"
#include "publish/password.h"
#include "traffic/trafficlog.h"

#include <QApplication>
#include <QDateTime>

namespace
{

// The service manager's one-line status: links up, slots failing, the last poll cycle.
QString statusLine(const OptionIP &window, const QDateTime &lastCycle)
{
    int marked = 0, up = 0, failing = 0;
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        const bool connected = window.Winsock1[size_t(i)]->state() == Winsock::Connected;
        if (window.linkMarks.oughtToConnect(i) || connected) ++marked;
        if (connected) ++up;
    }
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        if (window.slotFailed(s)) ++failing;
    QString text =
        QStringLiteral("%1 of %2 links up, %3 slots failing").arg(up).arg(marked).arg(failing);
    text += lastCycle.isValid()
                ? QStringLiteral(", last cycle ") + lastCycle.toString(QStringLiteral("HH:mm:ss"))
                : QStringLiteral(", connecting");
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    // Until the close handlers exist, a termination signal waits instead of killing.
    holdTerminationSignals();
    const CommandLine first = commandBeforeStart(argc, argv);
    if (first.exitCode) return finishCommandLine(first);
    if (first.show || first.set) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("quorvel"));
        return runSettingsCommand(first);
    }
    // Nothing is shown, so nothing needs a display; -platform on the command line still wins.
    if (first.noWindow && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    // A renamed copy still finds the same per-user folder.
    QCoreApplication::setApplicationName(QStringLiteral("quorvel"));
    CommandLine command = parseCommandLine(QCoreApplication::arguments());
    // Read by now; kept out of what other users of the machine can list.
    publish::scrubEnvironmentVariable(publish::PasswordVariable);
    if (command.exitCode) return finishCommandLine(command);

    // Nothing is written, not even the traffic log, before the folder is ours.
    const QString folder = dataFolder(command.dataDir);
    instance::FolderLock lock(folder);
    if (const std::optional<int> refused = claimFolder(folder, lock)) return *refused;

    TrafficLog traffic(command.trafficPath);
    ServiceNotifier notifier;
    OptionIP window(folder);
    if (!command.trafficPath.isEmpty() && traffic.open()) window.setTrafficLog(&traffic);
    if (!command.quiet) journalLinkStates(window.linkStates);
    bool mqttFailed = false;
    const auto mqtt = publish::publishWindow(command, window, window.trafficLog(), &mqttFailed);
    if (mqttFailed) return 2;
    // The history, the trends and the links' figures; they live as long as the window.
    new Keepers(window, command.historyDir);
    window.Form_Load();
    closeOnTerminationSignals(&window);

    if (notifier.active()) {
        QObject::connect(&window, &OptionIP::snapshotTaken, &window, [&notifier, &window] {
            notifier.cycle(statusLine(window, QDateTime::currentDateTime()));
        });
        notifier.ready(statusLine(window, QDateTime()));
    }
    if (!command.noWindow) window.show();
    return app.exec();
}
