#include "brokendevice.h"

#include <QTimer>

#include <algorithm>

namespace soak
{

namespace
{

constexpr int RequestSize = 12;
// Relative weights of the behaviours, in enum order. Closing is rare: each close costs the
// monitor a whole reconnect, and the other faults must get their turn too.
constexpr std::array<int, BrokenDevice::BehaviourCount> Weights = {45, 10, 10, 10, 10, 7, 5, 1};

quint16 word(const QByteArray &bytes, int at)
{
    return quint16((quint8(bytes.at(at)) << 8) | quint8(bytes.at(at + 1)));
}

void putWord(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xff));
}

// MBAP header with the request's transaction, then unit 1 and the given PDU.
QByteArray frame(const QByteArray &request, const QByteArray &pdu)
{
    QByteArray bytes;
    putWord(bytes, word(request, 0));
    putWord(bytes, 0);
    putWord(bytes, quint16(pdu.size() + 1));
    bytes.append(char(1));
    bytes.append(pdu);
    return bytes;
}

} // namespace

BrokenDevice::BrokenDevice(std::mt19937 &random, QObject *parent)
    : QObject(parent), m_random(random)
{
    connect(&m_server, &QTcpServer::newConnection, this, &BrokenDevice::onNewConnection);
}

bool BrokenDevice::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void BrokenDevice::close()
{
    m_server.close();
    if (m_client) m_client->abort();
}

const char *BrokenDevice::name(Behaviour behaviour)
{
    switch (behaviour) {
    case Honest:
        return "honest";
    case ExceptionReply:
        return "exception";
    case WrongByteCount:
        return "wrong byte count";
    case Garbage:
        return "garbage";
    case SplitReply:
        return "split";
    case Silence:
        return "silence";
    case LateReply:
        return "late";
    case CloseMidReply:
        return "close mid-reply";
    case BehaviourCount:
        break;
    }
    return "?";
}

void BrokenDevice::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connections;
        // Only the newest client is served, as a device with one connection slot would.
        if (m_client) m_client->abort();
        if (m_client) m_client->deleteLater();
        m_client = socket;
        m_buffer.clear();
        connect(socket, &QTcpSocket::readyRead, this, &BrokenDevice::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void BrokenDevice::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || socket != m_client) return;
    m_buffer += socket->readAll();
    while (m_buffer.size() >= RequestSize) {
        const QByteArray request = m_buffer.left(RequestSize);
        // Anything but a whole read request is dropped with whatever follows it.
        if (word(request, 4) != 6 || quint8(request.at(7)) != 3) {
            m_buffer.clear();
            return;
        }
        m_buffer.remove(0, RequestSize);
        answer(request);
    }
}

BrokenDevice::Behaviour BrokenDevice::draw()
{
    std::discrete_distribution<int> pick(Weights.begin(), Weights.end());
    return Behaviour(pick(m_random));
}

QByteArray BrokenDevice::randomBytes(int count)
{
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray bytes;
    for (int k = 0; k < count; ++k)
        bytes.append(char(byte(m_random)));
    return bytes;
}

QByteArray BrokenDevice::honestReply(const QByteArray &request)
{
    const int quantity = word(request, 10);
    // Out of the function's range: the exception a device gives for it.
    if (quantity < 1 || quantity > 125) return frame(request, QByteArray("\x83\x03", 2));
    QByteArray pdu;
    pdu.append(char(3));
    pdu.append(char(2 * quantity));
    pdu.append(randomBytes(2 * quantity));
    return frame(request, pdu);
}

void BrokenDevice::sendLater(const QByteArray &bytes, int delayMs, bool closeAfter)
{
    QPointer<QTcpSocket> client = m_client;
    QTimer::singleShot(delayMs, this, [client, bytes, closeAfter] {
        if (!client || client->state() != QAbstractSocket::ConnectedState) return;
        client->write(bytes);
        if (closeAfter) {
            client->flush();
            client->disconnectFromHost();
        }
    });
}

void BrokenDevice::answer(const QByteArray &request)
{
    const Behaviour behaviour = draw();
    ++m_answered[behaviour];
    std::uniform_int_distribution<int> coin(0, 1);
    switch (behaviour) {
    case Honest:
        m_client->write(honestReply(request));
        break;
    case ExceptionReply: {
        std::uniform_int_distribution<int> code(1, 4);
        m_client->write(frame(request, QByteArray(1, char(0x83)) + char(code(m_random))));
        break;
    }
    case WrongByteCount: {
        const int quantity = std::clamp<int>(word(request, 10), 1, 125);
        std::uniform_int_distribution<int> delta(-3, 3);
        int count = 2 * quantity + delta(m_random);
        if (count == 2 * quantity) ++count;
        count = std::clamp(count, 0, 250);
        QByteArray pdu;
        pdu.append(char(3));
        pdu.append(char(count));
        // Either as many data bytes as the wrong count says, or as many as were asked for.
        pdu.append(randomBytes(coin(m_random) ? count : 2 * quantity));
        m_client->write(frame(request, pdu));
        break;
    }
    case Garbage: {
        std::uniform_int_distribution<int> length(1, coin(m_random) ? 20 : 300);
        m_client->write(randomBytes(length(m_random)));
        break;
    }
    case SplitReply: {
        const QByteArray reply = honestReply(request);
        std::uniform_int_distribution<int> cut(1, int(reply.size()) - 1);
        std::uniform_int_distribution<int> gap(5, 60);
        int at = cut(m_random);
        int other = cut(m_random);
        if (other < at) std::swap(at, other);
        m_client->write(reply.left(at));
        const int firstGap = gap(m_random);
        sendLater(reply.mid(at, other - at), firstGap);
        sendLater(reply.mid(other), firstGap + gap(m_random));
        break;
    }
    case Silence:
        break;
    case LateReply: {
        std::uniform_int_distribution<int> delay(300, 1500);
        sendLater(honestReply(request), delay(m_random));
        break;
    }
    case CloseMidReply: {
        const QByteArray reply = honestReply(request);
        std::uniform_int_distribution<int> cut(1, int(reply.size()) - 1);
        m_client->write(reply.left(cut(m_random)));
        m_client->flush();
        m_client->disconnectFromHost();
        break;
    }
    case BehaviourCount:
        break;
    }
}

} // namespace soak
