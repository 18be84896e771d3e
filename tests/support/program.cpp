#include "support/program.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

bool startProgram(QProcess &process, const QString &dir, const QStringList &arguments,
                  const QProcessEnvironment &extra)
{
    const QString program = dir + QStringLiteral("/quorvel");
    if (!QFile::copy(qEnvironmentVariable("QUORVEL_BINARY"), program)) return false;
    return launchProgram(process, program, dir, arguments, extra);
}

bool launchProgram(QProcess &process, const QString &program, const QString &workDir,
                   const QStringList &arguments, const QProcessEnvironment &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Otherwise Qt remarks on its absence, and standard error is to hold only the program's.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), workDir);
    env.insert(extra);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    return process.waitForStarted();
}

NotifySocket::NotifySocket()
{
    // A short path of its own: socket addresses hold at most 107 bytes.
    char folder[] = "/tmp/qnotify.XXXXXX";
    if (!::mkdtemp(folder)) return;
    m_path = QString::fromLocal8Bit(folder) + QStringLiteral("/notify");
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = m_path.toLocal8Bit();
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (m_fd >= 0 &&
        ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

NotifySocket::~NotifySocket()
{
    if (m_fd >= 0) ::close(m_fd);
    if (!m_path.isEmpty()) {
        QFile::remove(m_path);
        QDir().rmdir(QFileInfo(m_path).path());
    }
}

QProcessEnvironment NotifySocket::environment(qint64 watchdogUsec) const
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("NOTIFY_SOCKET"), m_path);
    if (watchdogUsec > 0)
        env.insert(QStringLiteral("WATCHDOG_USEC"), QString::number(watchdogUsec));
    return env;
}

void NotifySocket::drain()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = m_fd >= 0 ? ::recv(m_fd, buffer, sizeof buffer, 0) : -1;
        if (n < 0) break;
        m_messages << QByteArray(buffer, int(n));
    }
}

bool NotifySocket::waitFor(const QByteArray &line, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            drain();
            return std::any_of(m_messages.cbegin(), m_messages.cend(), [&](const QByteArray &m) {
                const QList<QByteArray> lines = m.split('\n');
                return std::any_of(lines.cbegin(), lines.cend(),
                                   [&](const QByteArray &l) { return l.startsWith(line); });
            });
        },
        timeoutMs);
}

QList<QByteArray> NotifySocket::messages()
{
    drain();
    return m_messages;
}

bool waitUntilReady(QProcess &process, NotifySocket &notify, int timeoutMs)
{
    return notify.waitFor("READY=1", timeoutMs) && process.state() == QProcess::Running;
}
