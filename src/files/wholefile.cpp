#include "files/wholefile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

// Writes all of `size` bytes at `offset` straight through the file's own descriptor, past any
// buffer of Qt's: a failure leaves nothing pending that a later call would retry, and keeps
// the system's reason (a short write alone would leave Qt with none to give).
std::optional<QString> writeAt(QFileDevice &file, const char *data, qint64 size, qint64 offset)
{
#ifdef Q_OS_UNIX
    const int fd = file.handle();
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size_t(size), off_t(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return systemReason(written < 0 ? errno : EIO);
        data += written;
        size -= written;
        offset += written;
    }
    return std::nullopt;
#else
    if (!file.seek(offset) || file.write(data, size) != size || !file.flush())
        return file.errorString();
    return std::nullopt;
#endif
}

// Sets the file's length through its descriptor; nothing of Qt's is flushed first.
std::optional<QString> truncateTo(QFileDevice &file, qint64 size)
{
#ifdef Q_OS_UNIX
    if (::ftruncate(file.handle(), off_t(size)) != 0) return systemReason(errno);
    return std::nullopt;
#else
    if (!file.resize(size)) return file.errorString();
    return std::nullopt;
#endif
}

std::optional<Failure> rewriteInPlace(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return failed(QStringLiteral("cannot create a file beside it nor open it for writing"),
                      file);
    const qint64 oldSize = file.size();
    const qint64 newSize = bytes.size();
    if (newSize > oldSize) {
        // The tail first: a full disk then stops us before any old byte is overwritten, and
        // cutting off what did get written leaves the old file byte for byte.
        if (const std::optional<QString> reason =
                writeAt(file, bytes.constData() + oldSize, newSize - oldSize, oldSize)) {
            truncateTo(file, oldSize);
            return Failure{QStringLiteral("writing failed"), *reason};
        }
    }
    if (const std::optional<QString> reason =
            writeAt(file, bytes.constData(), std::min(oldSize, newSize), 0))
        return Failure{QStringLiteral("writing failed"), *reason};
    if (newSize < oldSize) {
        if (const std::optional<QString> reason = truncateTo(file, newSize))
            return Failure{QStringLiteral("shortening failed"), *reason};
    }
    file.close();
    if (file.error() != QFileDevice::NoError) return failed(QStringLiteral("closing failed"), file);
    return std::nullopt;
}

// A temporary a save leaves when it is killed between writing the new file and renaming it:
// the file's name, a dot and six letters of both cases, as Qt's temporary names are.
bool isSaveLeftover(const QString &name, const QString &fileName)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(?=.{6}$)(?=.*[a-z])(?=.*[A-Z])[A-Za-z]+$"));
    return name.size() == fileName.size() + 7 && name.startsWith(fileName + u'.') &&
           pattern.match(QStringView(name).mid(fileName.size() + 1)).hasMatch();
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
    // Checked here, as commit() alone may rename a short file into place.
    if (const std::optional<QString> reason = writeAt(file, bytes.constData(), bytes.size(), 0)) {
        file.cancelWriting();
        return Failure{QStringLiteral("writing failed"), *reason};
    }
    if (!file.commit()) {
        // A file that cannot be renamed over (a mount point of its own) can still be rewritten.
        if (exists) return rewriteInPlace(path, bytes);
        return failed(QStringLiteral("replacing it failed"), file);
    }
    return std::nullopt;
}

void removeSaveLeftovers(const QString &path)
{
    const QFileInfo file(path);
    QDir dir = file.absoluteDir();
    for (const QFileInfo &entry : dir.entryInfoList({file.fileName() + QStringLiteral(".*")},
                                                    QDir::Files | QDir::Hidden | QDir::System)) {
        if (!entry.isSymLink() && isSaveLeftover(entry.fileName(), file.fileName()))
            dir.remove(entry.fileName());
    }
}

void report(const QString &path, const Failure &failure)
{
    qWarning().noquote() << describe(path, failure);
}

} // namespace files
