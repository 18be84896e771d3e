#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVector>
#include <functional>

class OptionIP;
class QModbusTcpServer;

// Test devices. Everything listens on 127.0.0.1 only, on ports the test opened itself.

// A port on 127.0.0.1 that nothing listens on right now.
quint16 freeLoopbackPort();

// The honest device: Qt's own Modbus/TCP server, unit 1, holding registers 0 to 9999.
class ModbusDevice : public QObject
{
    Q_OBJECT
public:
    explicit ModbusDevice(QObject *parent = nullptr);
    ~ModbusDevice() override;

    // Listens on the given port, or on a free one when port is 0.
    bool start(quint16 port = 0);
    void stop();
    quint16 port() const { return m_port; }
    // address counts from 0, as on the wire (register number 1 is address 0).
    void setRegister(int address, quint16 value);
    QModbusTcpServer *server() const { return m_server; }

private:
    QModbusTcpServer *m_server = nullptr;
    quint16 m_port = 0;
};

// The misbehaving device: a raw TCP listener whose answer to each request is scripted.
class ScriptedDevice : public QTcpServer
{
    Q_OBJECT
public:
    explicit ScriptedDevice(QObject *parent = nullptr);

    bool start();
    quint16 port() const { return serverPort(); }

    // Called with every chunk of bytes a client sends; answer through send().
    std::function<void(const QByteArray &received)> onReceived;

    // Sends bytes to the newest client, at once or one byte every `gapMs` milliseconds.
    void send(const QByteArray &bytes, int gapMs = -1);
    void closeClient();
    QTcpSocket *client() const { return m_client; }

    QByteArray received;      // everything every client sent
    QList<QByteArray> chunks; // the same, as it arrived
    int connections = 0;

    // Answers each Read Holding Registers request by itself with registerValue(address) for
    // every register asked, replyDelayMs after it came, echoing its transaction identifier
    // unless answersTransactionZero. While frozen, replies are held back; thaw() sends them
    // all at once, as a device catching up on its backlog does.
    void answerReads(std::function<quint16(int address)> registerValue);
    int replyDelayMs = 0;
    bool answersTransactionZero = false;
    // Every skipEvery-th request goes unanswered, as a busy device's may; 0 answers all.
    int skipEvery = 0;
    void freeze() { m_frozen = true; }
    void thaw();
    int requestsSeen = 0;
    // For each request that came after a reply: how long after the latest reply it came.
    QList<qint64> msFromReplyToRequest;

private:
    void answer(const QByteArray &request);
    void reply(const QByteArray &frame);

    QPointer<QTcpSocket> m_client;
    std::function<quint16(int)> m_registerValue;
    QByteArray m_requestBytes;
    bool m_frozen = false;
    QByteArray m_backlog;
    QElapsedTimer m_sinceReply;
};

// A Read Holding Registers reply (unit 1) carrying these register values.
QByteArray readReply(const QVector<quint16> &values, quint16 transaction = 0);
// A Modbus exception reply to function 3 with the given exception code.
QByteArray exceptionReply(quint8 code, quint16 transaction = 0);

// The transaction identifier of a frame.
quint16 transactionOf(const QByteArray &frame);

// Connects link `index` of the window straight to 127.0.0.1:port through its socket and
// waits until it is connected. Returns false when it is not within a few seconds.
bool connectLink(OptionIP &window, int index, quint16 port);

// A port on 127.0.0.1 whose listener never completes a handshake: it is never accepted from
// and its backlog is kept full, so a further connection attempt gets no answer and stays
// connecting. The listener lives as long as `owner`. Returns 0 when it cannot be set up.
quint16 silentLoopbackPort(QObject *owner);
