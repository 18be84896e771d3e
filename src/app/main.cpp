#include "app/closesignals.h"
#include "app/commandline.h"
#include "app/keepers.h"
#include "app/optionip.h"
#include "traffic/trafficlog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const std::optional<CommandLine> early = answerBeforeStart(argc, argv))
        return finishCommandLine(*early);
    QApplication app(argc, argv);
    const CommandLine command = parseCommandLine(QCoreApplication::arguments());
    if (command.exitCode) return finishCommandLine(command);

    TrafficLog traffic(command.trafficPath);
    OptionIP window(QCoreApplication::applicationDirPath());
    if (!command.trafficPath.isEmpty() && traffic.open()) window.setTrafficLog(&traffic);
    // The history, the trends and the links' figures; they live as long as the window.
    new Keepers(window, command.historyDir);
    window.Form_Load();
    closeOnTerminationSignals(&window);
    window.show();
    return app.exec();
}
