#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

namespace instance
{

// Keeps a second copy of the program off a folder already in use. The lock is a file in the
// folder itself; where the folder forbids new files, it lives in the temporary directory
// under a name made from the folder's path. A lock left by a program that crashed or was
// killed is taken over. Released when this object goes.
class FolderLock
{
public:
    explicit FolderLock(const QString &folder);

    enum class Outcome { Locked, InUse, Failed };
    Outcome lock();

    // Where the lock file is (or was last tried).
    QString lockPath() const { return m_path; }

private:
    Outcome tryPath(const QString &path);

    QString m_folder;
    QString m_path;
    std::unique_ptr<QLockFile> m_file;
};

// The lock file's name inside a folder.
QString lockFileName();

} // namespace instance
