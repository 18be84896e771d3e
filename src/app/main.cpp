#include "app/closesignals.h"
#include "app/commandline.h"
#include "app/folderclaim.h"
#include "app/keepers.h"
#include "app/optionip.h"
#include "app/windowfeed.h"
#include "publish/mqttpublisher.h"
#include "publish/password.h"
#include "traffic/trafficlog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const std::optional<CommandLine> early = answerBeforeStart(argc, argv))
        return finishCommandLine(*early);
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
    OptionIP window(folder);
    if (!command.trafficPath.isEmpty() && traffic.open()) window.setTrafficLog(&traffic);
    bool mqttFailed = false;
    const auto mqtt = publish::publishWindow(command, window, window.trafficLog(), &mqttFailed);
    if (mqttFailed) return 2;
    // The history, the trends and the links' figures; they live as long as the window.
    new Keepers(window, command.historyDir);
    window.Form_Load();
    closeOnTerminationSignals(&window);
    window.show();
    return app.exec();
}
