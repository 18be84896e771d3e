#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <array>
#include <random>

// A raw Modbus/TCP device on 127.0.0.1 that answers each Read Holding Registers request with
// a behaviour drawn at random: an honest reply, or one of the ways a device gets it wrong.
namespace soak
{

class BrokenDevice : public QObject
{
    Q_OBJECT

public:
    enum Behaviour {
        Honest,
        ExceptionReply,
        WrongByteCount,
        Garbage,
        SplitReply,
        Silence,
        LateReply,
        CloseMidReply,
        BehaviourCount
    };

    explicit BrokenDevice(std::mt19937 &random, QObject *parent = nullptr);

    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    void close();

    static const char *name(Behaviour behaviour);
    const std::array<long, BehaviourCount> &answered() const { return m_answered; }
    long connections() const { return m_connections; }

private:
    void onNewConnection();
    void onReadyRead();
    void answer(const QByteArray &request);
    Behaviour draw();
    QByteArray honestReply(const QByteArray &request);
    QByteArray randomBytes(int count);
    void sendLater(const QByteArray &bytes, int delayMs, bool closeAfter = false);

    std::mt19937 &m_random;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_buffer;
    std::array<long, BehaviourCount> m_answered{};
    long m_connections = 0;
};

} // namespace soak
