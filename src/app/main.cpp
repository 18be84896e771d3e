#include "app/closesignals.h"
#include "app/commandline.h"
#include "app/folderclaim.h"
#include "app/optionip.h"
#include "traffic/trafficlog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const std::optional<CommandLine> early = answerBeforeStart(argc, argv))
        return finishCommandLine(*early);
    QApplication app(argc, argv);
    // A renamed copy still finds the same per-user folder.
    QCoreApplication::setApplicationName(QStringLiteral("quorvel"));
    const CommandLine command = parseCommandLine(QCoreApplication::arguments());
    if (command.exitCode) return finishCommandLine(command);

    // Nothing is written, not even the traffic log, before the folder is ours.
    const QString folder = dataFolder(command.dataDir);
    instance::FolderLock lock(folder);
    if (const std::optional<int> refused = claimFolder(folder, lock)) return *refused;

    TrafficLog traffic(command.trafficPath);
    OptionIP window(folder);
    if (!command.trafficPath.isEmpty() && traffic.open()) window.setTrafficLog(&traffic);
    window.Form_Load();
    closeOnTerminationSignals(&window);
    window.show();
    return app.exec();
}
