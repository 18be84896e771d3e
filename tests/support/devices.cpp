#include "support/devices.h"

#include "app/optionip.h"
#include "links/winsock.h"
#include "silentlistener.h"

#include <QModbusDataUnitMap>
#include <QModbusTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

ModbusDevice::ModbusDevice(QObject *parent) : QObject(parent) {}

ModbusDevice::~ModbusDevice()
{
    stop();
}

bool ModbusDevice::start(quint16 port)
{
    stop();
    m_server = new QModbusTcpServer(this);
    QModbusDataUnitMap map;
    map.insert(QModbusDataUnit::HoldingRegisters,
               QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, 10000));
    m_server->setMap(map);
    m_server->setServerAddress(1);
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = port ? port : freeLoopbackPort();
        m_server->setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                         QStringLiteral("127.0.0.1"));
        m_server->setConnectionParameter(QModbusDevice::NetworkPortParameter, m_port);
        if (m_server->connectDevice()) return true;
        if (port) break;
    }
    return false;
}

void ModbusDevice::stop()
{
    if (m_server) {
        m_server->disconnectDevice();
        delete m_server;
        m_server = nullptr;
    }
}

void ModbusDevice::setRegister(int address, quint16 value)
{
    if (m_server) m_server->setData(QModbusDataUnit::HoldingRegisters, quint16(address), value);
}

ScriptedDevice::ScriptedDevice(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            ++connections;
            m_client = socket;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                const QByteArray bytes = socket->readAll();
                received += bytes;
                chunks << bytes;
                if (onReceived && socket == m_client) onReceived(bytes);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool ScriptedDevice::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

void ScriptedDevice::send(const QByteArray &bytes, int gapMs)
{
    if (!m_client) return;
    if (gapMs < 0) {
        m_client->write(bytes);
        m_client->flush();
        return;
    }
    for (int i = 0; i < bytes.size(); ++i) {
        QPointer<QTcpSocket> socket = m_client;
        const char byte = bytes.at(i);
        QTimer::singleShot(gapMs * i, this, [socket, byte] {
            if (socket) {
                socket->write(&byte, 1);
                socket->flush();
            }
        });
    }
}

void ScriptedDevice::closeClient()
{
    if (m_client) {
        m_client->flush();
        m_client->disconnectFromHost();
    }
}

void ScriptedDevice::answerReads(std::function<quint16(int address)> registerValue)
{
    m_registerValue = std::move(registerValue);
    onReceived = [this](const QByteArray &bytes) {
        m_requestBytes += bytes;
        // Requests may come several to a chunk, or split over chunks.
        while (m_requestBytes.size() >= 6) {
            const int total = 6 + ((quint8(m_requestBytes[4]) << 8) | quint8(m_requestBytes[5]));
            if (m_requestBytes.size() < total) return;
            answer(m_requestBytes.left(total));
            m_requestBytes.remove(0, total);
        }
    };
}

void ScriptedDevice::answer(const QByteArray &request)
{
    ++requestsSeen;
    if (m_sinceReply.isValid()) msFromReplyToRequest << m_sinceReply.elapsed();
    m_sinceReply.invalidate();
    if (request.size() < 12 || quint8(request[7]) != 3) return;
    if (skipEvery > 0 && requestsSeen % skipEvery == 0) return;
    const int address = (quint8(request[8]) << 8) | quint8(request[9]);
    const int quantity = (quint8(request[10]) << 8) | quint8(request[11]);
    QVector<quint16> values;
    for (int k = 0; k < quantity && k < 125; ++k)
        values << m_registerValue(address + k);
    const QByteArray frame =
        readReply(values, answersTransactionZero ? quint16(0) : transactionOf(request));
    if (replyDelayMs <= 0) {
        reply(frame);
        return;
    }
    QTimer::singleShot(replyDelayMs, this, [this, frame] { reply(frame); });
}

void ScriptedDevice::reply(const QByteArray &frame)
{
    if (m_frozen) {
        m_backlog += frame;
        return;
    }
    send(frame);
    m_sinceReply.start();
}

void ScriptedDevice::thaw()
{
    m_frozen = false;
    send(m_backlog);
    m_backlog.clear();
}

quint16 transactionOf(const QByteArray &frame)
{
    return frame.size() < 2 ? 0 : quint16((quint8(frame[0]) << 8) | quint8(frame[1]));
}

QByteArray readReply(const QVector<quint16> &values, quint16 transaction)
{
    QByteArray frame;
    const int byteCount = values.size() * 2;
    const int length = 3 + byteCount;
    frame.append(char(transaction >> 8)).append(char(transaction & 0xFF));
    frame.append(char(0)).append(char(0));
    frame.append(char(length >> 8)).append(char(length & 0xFF));
    frame.append(char(1)).append(char(3)).append(char(byteCount));
    for (const quint16 value : values)
        frame.append(char(value >> 8)).append(char(value & 0xFF));
    return frame;
}

QByteArray exceptionReply(quint8 code, quint16 transaction)
{
    return QByteArray(1, char(transaction >> 8)) + QByteArray(1, char(transaction & 0xFF)) +
           QByteArray::fromHex("00000003") + QByteArray(1, char(1)) + QByteArray(1, char(0x83)) +
           QByteArray(1, char(code));
}

bool connectLink(OptionIP &window, int index, quint16 port)
{
    Winsock *socket = window.Winsock1.at(size_t(index));
    socket->close();
    socket->setRemoteHost(QStringLiteral("127.0.0.1"));
    socket->setRemotePort(port);
    socket->connectToRemote();
    return QTest::qWaitFor([socket] { return socket->state() == Winsock::Connected; }, 5000);
}

quint16 silentLoopbackPort(QObject *owner)
{
    auto listener = std::make_shared<SilentListener>();
    auto *holder = new QObject(owner);
    // The listener closes when its owner goes.
    QObject::connect(holder, &QObject::destroyed, [listener] {});
    return listener->port();
}
