#include "app/settingscommand.h"

#include "app/commandline.h"
#include "app/folderclaim.h"
#include "instance/folderlock.h"
#include "settings/module1.h"
#include "settings/sitesettings.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

int runSettingsCommand(const CommandLine &command)
{
    const QString folder = dataFolder(command.dataDir);
    instance::FolderLock lock(folder);
    // Showing a folder that does not exist yet shows the defaults, and creates nothing.
    if (command.set || QFileInfo(folder).isDir()) {
        if (const std::optional<int> refused = claimFolder(folder, lock)) return *refused;
    }

    settings::SiteSettings site =
        settings::readSite(Module1::StoredSettings(folder, settings::section()));
    // Checked when the command line was read.
    for (const QString &assignment : command.assignments)
        settings::applySetting(site, assignment);
    if (command.set &&
        !Module1::setting_write_all(folder, settings::section(), settings::savedEntries(site)))
        return 1;

    const QString text = QStringLiteral("# ") +
                         QDir::toNativeSeparators(Module1::setting_path(folder)) + u'\n' +
                         settings::describeSite(site);
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return 0;
}
