#include "support/tmpfsmount.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>

TmpfsMount::TmpfsMount(const QByteArray &options) : m_options(options)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory to mount on");
        return;
    }
    const QByteArray target = QFile::encodeName(m_dir.path());
    if (::mount("tmpfs", target.constData(), "tmpfs", 0, m_options.constData()) != 0) {
        m_error = QStringLiteral("cannot mount a tmpfs here (%1); a full, read-only or "
                                 "no-create file system needs one")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

TmpfsMount::~TmpfsMount()
{
    // A lazy unmount cannot be refused by a file some test left open.
    if (m_mounted) ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
}

bool TmpfsMount::remountReadOnly()
{
    return m_mounted && ::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs",
                                MS_REMOUNT | MS_RDONLY, m_options.constData()) == 0;
}

bool TmpfsMount::fill()
{
    QFile filler(m_dir.filePath(QStringLiteral("filler")));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size()) {
    }
    // Whatever was left is smaller than a block; take it byte by byte.
    while (filler.write("x", 1) == 1) {
    }
    return true;
}

bool TmpfsMount::bindFile(const QString &source, const QString &name)
{
    return m_mounted && ::mount(QFile::encodeName(source).constData(),
                                QFile::encodeName(m_dir.filePath(name)).constData(), nullptr,
                                MS_BIND, nullptr) == 0;
}
