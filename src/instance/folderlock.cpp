#include "instance/folderlock.h"

#include <QCryptographicHash>
#include <QDir>

namespace instance
{

QString lockFileName()
{
    return QStringLiteral("quorvel.lock");
}

FolderLock::FolderLock(const QString &folder) : m_folder(folder) {}

FolderLock::Outcome FolderLock::lock()
{
    const Outcome inFolder = tryPath(QDir(m_folder).filePath(lockFileName()));
    if (inFolder != Outcome::Failed || m_file->error() != QLockFile::PermissionError)
        return inFolder;
    // Every copy that finds the folder closed to new files meets at the same name here.
    const QByteArray key =
        QCryptographicHash::hash(QDir(m_folder).canonicalPath().toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    return tryPath(
        QDir::temp().filePath(QStringLiteral("quorvel-%1.lock").arg(QString::fromLatin1(key))));
}

FolderLock::Outcome FolderLock::tryPath(const QString &path)
{
    m_path = path;
    m_file = std::make_unique<QLockFile>(path);
    // Only a lock whose process is gone is stale, however old it is: the program runs for weeks.
    m_file->setStaleLockTime(0);
    if (m_file->tryLock(0)) return Outcome::Locked;
    return m_file->error() == QLockFile::LockFailedError ? Outcome::InUse : Outcome::Failed;
}

} // namespace instance
