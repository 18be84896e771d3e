#include "instance/datafolder.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

namespace instance
{

QString chooseDataFolder(const QString &chosen, const QString &programDir,
                         const QString &userDataDir)
{
    if (!chosen.isEmpty()) return QDir(chosen).absolutePath();
    if (!isSystemProgramFolder(programDir) && mayWriteIn(programDir))
        return QDir(programDir).absolutePath();
    return QDir(userDataDir).absolutePath();
}

bool mayWriteIn(const QString &dir)
{
    const QFileInfo folder(dir);
    if (folder.isDir() && folder.isWritable()) return true;
    const QFileInfo settings(QDir(dir).filePath(QStringLiteral("setting.ini")));
    return settings.isFile() && settings.isWritable();
}

bool isSystemProgramFolder(const QString &dir)
{
    static const QStringList systemFolders = {
        QStringLiteral("/bin"),           QStringLiteral("/sbin"),
        QStringLiteral("/usr/bin"),       QStringLiteral("/usr/sbin"),
        QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/local/sbin"),
        QStringLiteral("/usr/games")};
    // /bin is often a link to /usr/bin: compare the folders themselves.
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    for (const QString &folder : systemFolders)
        if (canonical == QFileInfo(folder).canonicalFilePath() && !canonical.isEmpty()) return true;
    return false;
}

QString makeFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.isDir()) return {};
    if (info.exists()) return QStringLiteral("it is not a folder");
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (error) return QString::fromLocal8Bit(error.message().c_str());
    return {};
}

} // namespace instance
