#include "app/folderclaim.h"

#include "instance/datafolder.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStandardPaths>
#include <cstdio>

namespace
{

// The offscreen and minimal platforms have no one to read a message box, and it would wait.
bool hasDisplay()
{
    // The settings commands run without a GUI application at all.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int refuse(const QString &message, int status)
{
    std::fputs(("quorvel: " + message + u'\n').toLocal8Bit().constData(), stderr);
    if (hasDisplay()) QMessageBox::critical(nullptr, QStringLiteral("Quorvel"), message);
    return status;
}

} // namespace

QString dataFolder(const QString &chosen)
{
    return instance::chooseDataFolder(
        chosen, QCoreApplication::applicationDirPath(),
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
}

std::optional<int> claimFolder(const QString &folder, instance::FolderLock &lock)
{
    const QString shown = QDir::toNativeSeparators(folder);
    if (const QString error = instance::makeFolder(folder); !error.isEmpty())
        return refuse(QStringLiteral("Quorvel cannot use %1: %2").arg(shown, error), 1);
    switch (lock.lock()) {
    case instance::FolderLock::Outcome::Locked:
        return std::nullopt;
    case instance::FolderLock::Outcome::InUse:
        return refuse(QStringLiteral("Quorvel is already running on %1").arg(shown),
                      FolderInUseStatus);
    case instance::FolderLock::Outcome::Failed:
        break;
    }
    // Without a lock the program still runs: refusing would leave the folder unwatched.
    std::fprintf(stderr, "quorvel: %s: cannot be locked against a second copy\n",
                 QDir::toNativeSeparators(lock.lockPath()).toLocal8Bit().constData());
    return std::nullopt;
}
