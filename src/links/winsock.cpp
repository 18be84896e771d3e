#include "links/winsock.h"

#include "links/linkstates.h"
#include "traffic/trafficlog.h"

#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

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
    connect(m_socket, &QTcpSocket::readyRead, this, &Winsock::onReadyRead);
}

QIODevice *Winsock::device() const
{
    if (serial()) return m_serial;
    return m_socket;
}

int Winsock::state() const
{
    if (m_sticky != Closed) return m_sticky;
    if (serial()) return m_serial && m_serial->isOpen() ? Connected : Closed;
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
    return serial() ? -1 : m_socket->socketDescriptor();
}

bool Winsock::setTarget(rtu::LinkTarget::Kind kind, const rtu::LineSettings &line)
{
    if (state() != Closed) return false;
    m_kind = kind;
    m_line = line;
    return true;
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
    m_receiver.forget();
    m_frames.clear();
    if (m_log) m_log->setRtu(m_index, speaksRtu());
    if (serial()) {
        openSerial();
        return true;
    }
    if (m_log)
        m_log->connectionEvent(m_index, QStringLiteral("connecting to %1%2:%3")
                                            .arg(speaksRtu() ? QStringLiteral("rtu:") : QString())
                                            .arg(m_host)
                                            .arg(m_port));
    if (m_states)
        m_states->connecting(m_index, QStringLiteral("%1%2:%3")
                                          .arg(speaksRtu() ? QStringLiteral("rtu:") : QString())
                                          .arg(m_host)
                                          .arg(m_port));
    m_socket->connectToHost(m_host, quint16(m_port));
    return true;
}

void Winsock::openSerial()
{
    if (!m_serial) {
        m_serial = new QSerialPort(this);
        connect(m_serial, &QSerialPort::readyRead, this, &Winsock::onReadyRead);
        connect(m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            // Only a line that goes away mid-run matters here; opening reports its own failure.
            if (e != QSerialPort::ResourceError || m_sticky != Closed || !m_serial->isOpen())
                return;
            m_sticky = Error;
            if (m_log)
                m_log->connectionEvent(m_index,
                                       QStringLiteral("lost: ") + m_serial->errorString());
            if (m_states) m_states->lost(m_index, m_serial->errorString());
            m_serial->close();
            emit connectionEnded(m_index);
        });
    }
    const QString line = rtu::lineSettingsText(m_line);
    if (m_log)
        m_log->connectionEvent(m_index, QStringLiteral("opening %1 at %2").arg(m_host, line));
    if (m_states) m_states->connecting(m_index, m_host + u' ' + line);
    m_serial->setPortName(m_host);
    const auto parity = m_line.parity == 'E'   ? QSerialPort::EvenParity
                        : m_line.parity == 'O' ? QSerialPort::OddParity
                                               : QSerialPort::NoParity;
    const bool opened =
        m_serial->open(QIODevice::ReadWrite) && m_serial->setBaudRate(m_line.baud) &&
        m_serial->setDataBits(QSerialPort::DataBits(m_line.dataBits)) &&
        (m_serial->setParity(parity) || rtu::isPseudoTerminal(m_host)) &&
        m_serial->setStopBits(m_line.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    if (!opened) {
        const QString reason = m_serial->errorString();
        m_serial->close();
        m_sticky = Error;
        if (m_log) m_log->connectionEvent(m_index, QStringLiteral("cannot open: ") + reason);
        // The states say it on standard error, once until it changes.
        if (m_states) m_states->cannotConnect(m_index, QStringLiteral("cannot open: ") + reason);
        return;
    }
    m_wasConnected = true;
    m_serial->clear();
    if (m_log) m_log->connectionEvent(m_index, QStringLiteral("connected"));
    if (m_states) m_states->connected(m_index);
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
    // Closed, the port is free for other programs.
    if (m_serial) m_serial->close();
    m_receiver.forget();
    m_frames.clear();
    m_sticky = Closed;
    emit connectionEnded(m_index);
}

bool Winsock::sendData(const QByteArray &bytes)
{
    if (state() != Connected) return false;
    if (!speaksRtu()) {
        if (m_socket->write(bytes) != bytes.size()) return false;
        // Out now, not on the event loop's next pass.
        m_socket->flush();
        return true;
    }
    const QByteArray frame = rtu::fromMbap(bytes);
    if (frame.isEmpty()) return false;
    takeRtu(m_receiver.expect(bytes));
    // On a serial line a request waits until the line has been quiet for 3.5 characters.
    const qint64 quietUs = m_lastByte.isValid() ? m_lastByte.nsecsElapsed() / 1000 : -1;
    const int silenceUs = rtu::silenceMicroseconds(m_line.baud);
    if (serial() && quietUs >= 0 && quietUs < silenceUs) {
        QTimer::singleShot(int((silenceUs - quietUs + 999) / 1000), Qt::PreciseTimer, this,
                           [this, frame] {
                               if (state() == Connected) writeNow(frame);
                           });
        return true;
    }
    writeNow(frame);
    return true;
}

void Winsock::writeNow(const QByteArray &bytes)
{
    QIODevice *out = device();
    if (out->write(bytes) != bytes.size()) return;
    if (serial())
        m_serial->flush();
    else
        m_socket->flush();
}

void Winsock::onReadyRead()
{
    if (!speaksRtu()) {
        emit dataArrival(m_index, m_socket->bytesAvailable());
        return;
    }
    const QByteArray bytes = device()->readAll();
    if (bytes.isEmpty()) return;
    m_lastByte.start();
    takeRtu(m_receiver.feed(bytes));
}

void Winsock::takeRtu(const rtu::Receiver::Result &result)
{
    for (const rtu::Receiver::Dropped &dropped : result.dropped) {
        const bool crc = dropped.why == rtu::Receiver::Dropped::Why::Crc;
        if (m_log) m_log->rtuDropped(m_index, dropped.bytes, crc);
        emit rtuDropped(m_index, crc, int(dropped.bytes.size()));
    }
    for (const QByteArray &reply : result.replies)
        m_frames += reply;
    if (!result.replies.isEmpty()) emit dataArrival(m_index, m_frames.size());
}

qint64 Winsock::bytesAvailable() const
{
    if (speaksRtu()) return m_frames.size();
    return m_socket->bytesAvailable();
}

QByteArray Winsock::peek(qint64 count) const
{
    if (speaksRtu()) return m_frames.left(count);
    // A socket that is not open has nothing waiting (and Qt would warn).
    if (!m_socket->isOpen()) return {};
    return m_socket->peek(count);
}

bool Winsock::takeByte(quint8 &byte)
{
    if (speaksRtu()) {
        if (m_frames.isEmpty()) return false;
        byte = quint8(m_frames.at(0));
        m_frames.remove(0, 1);
        return true;
    }
    char c = 0;
    if (!m_socket->getChar(&c)) return false;
    byte = quint8(c);
    return true;
}

QByteArray Winsock::take(qint64 count)
{
    if (speaksRtu()) {
        const QByteArray taken = m_frames.left(count);
        m_frames.remove(0, taken.size());
        return taken;
    }
    if (!m_socket->isOpen()) return {};
    return m_socket->read(count);
}

void Winsock::discardWaiting()
{
    m_frames.clear();
    if (serial()) {
        if (m_serial && m_serial->isOpen()) m_serial->readAll();
        return;
    }
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
