#include "links/winsock.h"

#include "links/linkstates.h"
#include "traffic/trafficlog.h"

#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

Winsock::Winsock(int index, QObject *parent)
    : QObject(parent), m_index(index), m_socket(new QTcpSocket(this))
{
    m_socket->setReadBufferSize(ReadBufferBytes);
    connect(m_socket, &QTcpSocket::connected, this, &Winsock::onConnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &Winsock::onError);
    connect(m_socket, &QTcpSocket::disconnected, this, &Winsock::onDisconnected);
    connect(m_socket, &QTcpSocket::readyRead, this,
            [this] { emit dataArrival(m_index, m_socket->bytesAvailable()); });
}

int Winsock::state() const
{
    if (m_sticky != Closed) return m_sticky;
    switch (m_socket->state()) {
    case QAbstractSocket::UnconnectedState:
        return Closed;
    case QAbstractSocket::HostLookupState:
        return Resolving;
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    case QAbstractSocket::ClosingState:
        return Closing;
    default:
        return Error;
    }
}

qintptr Winsock::socketDescriptor() const
{
    return m_socket->socketDescriptor();
}

bool Winsock::setRemoteHost(const QString &host)
{
    if (state() != Closed) return false;
    m_host = host;
    return true;
}

bool Winsock::setRemotePort(int port)
{
    if (state() != Closed || port < 0 || port > 65535) return false;
    m_port = port;
    return true;
}

bool Winsock::connectToRemote()
{
    if (state() != Closed) return false;
    m_wasConnected = false;
    if (m_log)
        m_log->connectionEvent(m_index,
                               QStringLiteral("connecting to %1:%2").arg(m_host).arg(m_port));
    if (m_states) m_states->connecting(m_index, QStringLiteral("%1:%2").arg(m_host).arg(m_port));
    m_socket->connectToHost(m_host, quint16(m_port));
    return true;
}

void Winsock::close()
{
    if (m_log && state() != Closed)
        m_log->connectionEvent(m_index, m_closeEvent.isEmpty() ? QStringLiteral("closed by request")
                                                               : m_closeEvent);
    m_wasConnected = false;
    // abort() closes at once (the peer still gets an orderly FIN) and never leaves the
    // socket lingering in its closing state.
    m_socket->abort();
    m_sticky = Closed;
    emit connectionEnded(m_index);
}

bool Winsock::sendData(const QByteArray &bytes)
{
    if (state() != Connected) return false;
    if (m_socket->write(bytes) != bytes.size()) return false;
    // Out now, not on the event loop's next pass.
    m_socket->flush();
    return true;
}

qint64 Winsock::bytesAvailable() const
{
    return m_socket->bytesAvailable();
}

QByteArray Winsock::peek(qint64 count) const
{
    // A socket that is not open has nothing waiting (and Qt would warn).
    if (!m_socket->isOpen()) return {};
    return m_socket->peek(count);
}

bool Winsock::takeByte(quint8 &byte)
{
    char c = 0;
    if (!m_socket->getChar(&c)) return false;
    byte = quint8(c);
    return true;
}

QByteArray Winsock::take(qint64 count)
{
    if (!m_socket->isOpen()) return {};
    return m_socket->read(count);
}

void Winsock::discardWaiting()
{
    m_socket->readAll();
}

void Winsock::onConnected()
{
    m_wasConnected = true;
    if (m_log) m_log->connectionEvent(m_index, QStringLiteral("connected"));
    if (m_states) m_states->connected(m_index);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(m_socket->socketDescriptor());
    if (fd >= 0) {
        const int idle = KeepAliveIdleSeconds, interval = KeepAliveIntervalSeconds,
                  probes = KeepAliveProbes;
        const unsigned int userTimeout = UserTimeoutMs;
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    }
#endif
}

void Winsock::onError(QAbstractSocket::SocketError error)
{
    // A peer that closes in order leaves the socket closing; everything else is an error.
    m_sticky = error == QAbstractSocket::RemoteHostClosedError ? Closing : Error;
    if (m_log)
        m_log->connectionEvent(m_index, errorEventText(error) + QStringLiteral(": ") +
                                            m_socket->errorString());
    if (m_states && m_wasConnected)
        m_states->lost(m_index, m_socket->errorString());
    else if (m_states)
        m_states->cannotConnect(m_index, errorEventText(error) + QStringLiteral(": ") +
                                             m_socket->errorString());
    emit connectionEnded(m_index);
}

QString Winsock::errorEventText(QAbstractSocket::SocketError error) const
{
    if (m_wasConnected) return QStringLiteral("lost");
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("refused");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("host not found");
    default:
        return QStringLiteral("unreachable");
    }
}

void Winsock::onDisconnected()
{
    if (m_sticky == Closed) m_sticky = Closing;
    emit connectionEnded(m_index);
}
