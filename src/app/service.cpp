#include "app/service.h"

#include "links/linkstates.h"

#include <QDateTime>
#include <QObject>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace
{

void journalLine(const QString &text)
{
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    std::fprintf(stderr, "quorvel: %s %s\n", stamp.toLocal8Bit().constData(),
                 text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

void journalLinkStates(links::LinkStates &states)
{
    QObject::connect(&states, &links::LinkStates::linkChanged, &states,
                     [](int, links::LinkState, const QString &line) { journalLine(line); });
    QObject::connect(&states, &links::LinkStates::slotChanged, &states,
                     [](int, bool, const QString &line) { journalLine(line); });
}

#ifdef Q_OS_UNIX

ServiceNotifier::ServiceNotifier()
{
    QByteArray path = qgetenv("NOTIFY_SOCKET");
    // A path, or '@' for a name in the abstract namespace.
    if (path.isEmpty() || (path[0] != '/' && path[0] != '@') ||
        size_t(path.size()) >= sizeof(sockaddr_un::sun_path))
        return;
    if (path[0] == '@') path[0] = '\0';
    // A manager that reads nothing must never hold up the poll cycle: a full socket drops.
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) return;
    m_address = path;
    // The pings are wanted when the manager asked for them, and asked this process.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    m_watchdog = !qgetenv("WATCHDOG_USEC").isEmpty() &&
                 (pid.isEmpty() || pid.toLongLong() == qint64(::getpid()));
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool ServiceNotifier::send(const QByteArray &message)
{
    if (m_fd < 0) return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_address.constData(), size_t(m_address.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()) +
                                  (m_address[0] == '\0' ? 0 : 1));
    return ::sendto(m_fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr *>(&address), length) == message.size();
}

#else

// Service managers that speak this protocol are Unix ones.
ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
bool ServiceNotifier::send(const QByteArray &)
{
    return false;
}

#endif

void ServiceNotifier::ready(const QString &status)
{
    send("READY=1\nSTATUS=" + status.toUtf8());
}

void ServiceNotifier::cycle(const QString &status)
{
    send((m_watchdog ? QByteArray("WATCHDOG=1\n") : QByteArray()) + "STATUS=" + status.toUtf8());
}
