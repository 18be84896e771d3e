#include "files/wholefile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace files
{

namespace
{

constexpr QFile::Permissions AnyWrite = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;

Failure failed(const QString &what, const QFileDevice &file)
{
    return {what, file.errorString()};
}

// The new content has to become the file itself, so a new file must take the old one's
// owner and mode. False when it cannot; the caller then rewrites the old file instead.
bool takeOverModeAndOwner(QSaveFile &file, const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat old = {};
    if (::stat(QFile::encodeName(path).constData(), &old) != 0) return false;
    const int fd = file.handle();
    if (fd < 0) return false;
    struct stat fresh = {};
    if (::fstat(fd, &fresh) != 0) return false;
    // Changing the owner clears set-id bits, so the mode comes after it.
    if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return false;
    return ::fchmod(fd, old.st_mode & 07777) == 0;
#else
    return file.setPermissions(QFileInfo(path).permissions());
#endif
}

std::optional<Failure> rewriteInPlace(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return failed(QStringLiteral("cannot create a file beside it nor open it for writing"),
                      file);
    const qint64 oldSize = file.size();
    const qint64 newSize = bytes.size();
    if (newSize > oldSize) {
        // The tail first: a full disk then stops us before any old byte is overwritten.
        const qint64 tail = newSize - oldSize;
        if (!file.seek(oldSize) || file.write(bytes.constData() + oldSize, tail) != tail ||
            !file.flush()) {
            const Failure failure = failed(QStringLiteral("writing failed"), file);
            file.resize(oldSize);
            return failure;
        }
    }
    const qint64 head = std::min(oldSize, newSize);
    if (!file.seek(0) || file.write(bytes.constData(), head) != head || !file.flush())
        return failed(QStringLiteral("writing failed"), file);
    if (newSize < oldSize && !file.resize(newSize))
        return failed(QStringLiteral("shortening failed"), file);
    file.close();
    if (file.error() != QFileDevice::NoError) return failed(QStringLiteral("closing failed"), file);
    return std::nullopt;
}

} // namespace

QString describe(const QString &path, const Failure &failure)
{
    return QStringLiteral("%1: not saved, %2: %3").arg(path, failure.what, failure.reason);
}

QString systemReason(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

std::optional<Failure> replaceFile(const QString &path, const QByteArray &bytes)
{
    const QFileInfo old(path);
    const bool exists = old.exists();
    if (exists && !old.isFile())
        return Failure{QStringLiteral("something other than a file is in its place"),
                       systemReason(old.isDir() ? EISDIR : EINVAL)};
    // No write bit is the owner's word that the file must not change, whoever we run as.
    if (exists && !(old.permissions() & AnyWrite))
        return Failure{QStringLiteral("the file is read-only"), systemReason(EACCES)};

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        // A directory that allows no new file: the existing file is all we can write.
        if (exists) return rewriteInPlace(path, bytes);
        return failed(QStringLiteral("cannot create it"), file);
    }
    if (exists && !takeOverModeAndOwner(file, path)) {
        file.cancelWriting();
        return rewriteInPlace(path, bytes);
    }
    // commit() alone may rename a short file into place when the final flush fails.
    if (file.write(bytes) != bytes.size() || !file.flush() ||
        file.error() != QFileDevice::NoError) {
        const Failure failure = failed(QStringLiteral("writing failed"), file);
        file.cancelWriting();
        return failure;
    }
    if (!file.commit()) {
        // A file that cannot be renamed over (a mount point of its own) can still be rewritten.
        if (exists) return rewriteInPlace(path, bytes);
        return failed(QStringLiteral("replacing it failed"), file);
    }
    return std::nullopt;
}

void report(const QString &path, const Failure &failure)
{
    qWarning().noquote() << describe(path, failure);
}

} // namespace files
