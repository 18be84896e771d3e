#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A tmpfs of its own for one test, on a fresh temporary directory, unmounted when this goes
// out of scope (also when the test fails half-way). Mounting needs the superuser: where it
// is refused, isMounted() is false and error() says why, for a QSKIP.
class TmpfsMount
{
public:
    // `options` as mount(8) takes them, e.g. "size=64k" or "nr_inodes=3".
    explicit TmpfsMount(const QByteArray &options);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    // Makes the whole file system read-only, so that not even the superuser can change it.
    bool remountReadOnly();
    // Fills the free space with one file, so that the next write fails for want of room.
    bool fill();
    // Puts the file `source` in the place of this file system's file `name` (which must
    // exist), writable however this file system is mounted.
    bool bindFile(const QString &source, const QString &name);

private:
    QTemporaryDir m_dir;
    QByteArray m_options;
    bool m_mounted = false;
    QString m_error;
};
