#pragma once

#include "modbus/rtu.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QIODevice;
class QSerialPort;
class QTcpSocket;
class TrafficLog;

namespace links
{
class LinkStates;
}

// The connection of one device link, with the state codes the handlers test: a TCP socket
// as always, or, for a device that speaks RTU, a serial port or a TCP socket carrying RTU
// frames. Whatever the line, the link takes Modbus/TCP requests and hands back whole
// Modbus/TCP replies; an RTU link turns them into RTU frames and back, one request at a time.
// Every operation runs on the owner's thread and every event is delivered there.
class Winsock : public QObject
{
    Q_OBJECT

public:
    enum State : int {
        Closed = 0,
        Resolving = 4,
        Connecting = 6,
        Connected = 7,
        Closing = 8, // the peer closed the connection, or our close is under way
        Error = 9,   // refused, host not found, connection lost
    };

    explicit Winsock(int index, QObject *parent = nullptr);

    int index() const { return m_index; }
    // Connection events go to this log; none when it is null.
    void setTrafficLog(TrafficLog *log) { m_log = log; }
    // What the connection does is told to these states too; none when it is null.
    void setLinkStates(links::LinkStates *states) { m_states = states; }
    // What the log says when close() ends a connection; empty for "closed by request".
    void setCloseEvent(const QString &text) { m_closeEvent = text; }

    int state() const;
    // The system's descriptor of the connection, -1 when there is none.
    qintptr socketDescriptor() const;

    QString remoteHost() const { return m_host; }
    int remotePort() const { return m_port; }

    // These four fail (and change nothing) unless the socket is closed. The target's kind
    // chooses the line; a serial port is named by the remote host and set up by `line`.
    bool setTarget(rtu::LinkTarget::Kind kind, const rtu::LineSettings &line = {});
    bool setRemoteHost(const QString &host);
    bool setRemotePort(int port);
    bool connectToRemote();

    // Brings the socket back to Closed from any state.
    void close();

    // Sends the whole byte sequence; fails unless connected.
    bool sendData(const QByteArray &bytes);

    // RTU frames have no transaction identifier: such a link is read one request at a time.
    bool speaksRtu() const { return m_kind != rtu::LinkTarget::Kind::Tcp; }

    qint64 bytesAvailable() const;
    // Looks at the first bytes waiting without taking them.
    QByteArray peek(qint64 count) const;
    // Removes the next waiting byte. Fails when nothing is waiting.
    bool takeByte(quint8 &byte);
    // Removes up to count waiting bytes.
    QByteArray take(qint64 count);
    // Drops everything waiting.
    void discardWaiting();

    // Keep-alive timing and the user timeout applied once connected, so a device that
    // vanishes without closing is seen as lost within seconds.
    static constexpr int KeepAliveIdleSeconds = 5;
    static constexpr int KeepAliveIntervalSeconds = 2;
    static constexpr int KeepAliveProbes = 3;
    static constexpr int UserTimeoutMs = 10000;
    // Unread bytes held per socket; beyond it TCP flow control pushes back on the device.
    static constexpr qint64 ReadBufferBytes = 64 * 1024;

signals:
    // Received bytes are waiting; bytesTotal is how many.
    void dataArrival(int index, qint64 bytesTotal);
    // The connection is over: closed by us, by the peer, or lost.
    void connectionEnded(int index);
    // An RTU link dropped bytes: a frame with a wrong CRC, or bytes no request asked for.
    void rtuDropped(int index, bool crcError, int bytes);

private:
    void onConnected();
    void onError(QAbstractSocket::SocketError error);
    void onDisconnected();
    // What a connection error means for the link, as the traffic log names it.
    QString errorEventText(QAbstractSocket::SocketError error) const;

    void onReadyRead();
    void takeRtu(const rtu::Receiver::Result &result);
    void openSerial();
    void writeNow(const QByteArray &bytes);
    QIODevice *device() const;
    bool serial() const { return m_kind == rtu::LinkTarget::Kind::Serial; }

    int m_index;
    QTcpSocket *m_socket;
    QSerialPort *m_serial = nullptr;
    rtu::LinkTarget::Kind m_kind = rtu::LinkTarget::Kind::Tcp;
    rtu::LineSettings m_line;
    rtu::Receiver m_receiver;
    // Whole replies of an RTU link, as Modbus/TCP frames, waiting to be taken.
    QByteArray m_frames;
    // When the line last delivered a byte: a request waits out the silence after it.
    QElapsedTimer m_lastByte;
    QString m_host;
    int m_port = 0;
    // Closing or Error once the connection ended other than through close(); cleared by close().
    int m_sticky = Closed;
    // The connection came up since the last connect, so an error now means it was lost.
    bool m_wasConnected = false;
    TrafficLog *m_log = nullptr;
    links::LinkStates *m_states = nullptr;
    QString m_closeEvent;
};
