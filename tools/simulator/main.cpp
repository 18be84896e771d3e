// quorvel-sim: a Modbus/TCP device on 127.0.0.1 whose registers keep moving, with values
// held still where asked, for trying the monitor and its tests without field hardware.

#include "simulator.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QEvent>
#include <QHash>
#include <QHostAddress>
#include <QModbusDataUnit>
#include <QModbusDataUnitMap>
#include <QModbusTcpServer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const QString ListenAddress = QStringLiteral("127.0.0.1");

void printLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    // Flushed per line: whoever reads a pipe from us waits for these lines.
    std::fflush(stream);
}

int signalWriteFd = -1;
int signalReadFd = -1;

extern "C" void onStopSignal(int signalNumber)
{
    // Only async-signal-safe work here: hand the signal to the event loop.
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalWriteFd, &byte, 1);
}

QString signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

// SIGINT (Ctrl+C), SIGTERM and SIGHUP end the event loop, so main() returns 0 as usual.
bool quitOnStopSignals(QCoreApplication &app)
{
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
    signalWriteFd = fds[0];
    signalReadFd = fds[1];
    ::fcntl(signalWriteFd, F_SETFL, O_NONBLOCK);
    ::fcntl(signalReadFd, F_SETFL, O_NONBLOCK);

    auto *notifier = new QSocketNotifier(signalReadFd, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        int signalNumber = 0;
        while (::read(signalReadFd, &byte, 1) == 1)
            signalNumber = byte;
        printLine(stdout, QStringLiteral("stopping on %1").arg(signalName(signalNumber)));
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
    return true;
}

QString peerText(const QTcpSocket *socket)
{
    return QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
}

// One line per client that connects or leaves. The peer is remembered at connect time
// because a socket that has gone may no longer know it.
class ClientLog
{
public:
    void connected(const QTcpSocket *socket)
    {
        const QString peer = peerText(socket);
        m_peers.insert(socket, peer);
        printLine(
            stdout,
            QStringLiteral("client %1 connected (%2 connected)").arg(peer).arg(m_peers.size()));
    }

    void left(const QTcpSocket *socket)
    {
        const QString peer = m_peers.contains(socket) ? m_peers.take(socket) : peerText(socket);
        printLine(stdout,
                  QStringLiteral("client %1 left (%2 connected)").arg(peer).arg(m_peers.size()));
    }

private:
    QHash<const QTcpSocket *, QString> m_peers;
};

// Answers every whole request among the bytes waiting, whatever its unit, and leaves the start
// of one that is not whole yet. A length field too short for a request drops what is waiting.
void answerWholeRequests(QByteArray &waiting, QTcpSocket *client, const sim::Device &device)
{
    while (waiting.size() >= 8) {
        const int length = (quint8(waiting[4]) << 8) | quint8(waiting[5]);
        if (length < 2) {
            waiting.clear();
            return;
        }
        if (waiting.size() < 6 + length) return;
        const QByteArray adu = waiting.left(6 + length);
        waiting.remove(0, 6 + length);

        const QByteArray response = device.answer(quint8(adu[6]), adu.mid(7));
        QByteArray reply;
        QDataStream out(&reply, QIODevice::WriteOnly);
        // The transaction and protocol identifiers and the unit come back as they were sent.
        out.writeRawData(adu.constData(), 4);
        out << quint16(response.size() + 1) << quint8(adu[6]);
        out.writeRawData(response.constData(), int(response.size()));
        client->write(reply);
    }
}

class AcceptAndLog : public QModbusTcpConnectionObserver
{
public:
    AcceptAndLog(ClientLog &log, QModbusTcpServer &server, const sim::Device &device)
        : m_log(log), m_server(server), m_device(device)
    {
    }

    bool acceptNewConnection(QTcpSocket *newClient) override
    {
        m_log.connected(newClient);
        // Connected before the server's own reader, this takes every request first, so that
        // one packet holding requests for several units has each of them answered.
        auto waiting = std::make_shared<QByteArray>();
        QObject::connect(newClient, &QTcpSocket::readyRead, &m_server, [this, newClient, waiting] {
            *waiting += newClient->readAll();
            answerWholeRequests(*waiting, newClient, m_device);
        });
        return true;
    }

private:
    ClientLog &m_log;
    QModbusTcpServer &m_server;
    const sim::Device &m_device;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    const std::optional<sim::Options> options = sim::optionsFromArguments(app.arguments().mid(1));
    if (!options) {
        printLine(stderr,
                  QStringLiteral(
                      "usage: quorvel-sim [port] [--hold SPEC]...  (port 1..65535, default %1)\n"
                      "  SPEC: [UNIT/][i|c|d]NUMBER=TYPE=VALUE for registers, e.g. "
                      "7/i100=f32:cdab=230.5 or 20=s16=-2;\n"
                      "        [UNIT/](c|d)NUMBER=0|1 for a coil or discrete input")
                      .arg(sim::DefaultPort));
        return 2;
    }
    const std::optional<quint16> port = options->port;
    if (!quitOnStopSignals(app)) {
        printLine(stderr, QStringLiteral("quorvel-sim: cannot set up signal handling"));
        return 1;
    }

    // Declared before the server, which calls into it until it is gone.
    ClientLog clients;
    sim::Device device;
    for (const sim::Hold &held : options->holds)
        device.hold(held);

    // Qt's server listens and keeps the clients; the requests are answered by the device.
    QModbusTcpServer server;
    server.setServerAddress(sim::UnitId);
    // The server owns the observer.
    server.installConnectionObserver(new AcceptAndLog(clients, server, device));
    QObject::connect(&server, &QModbusTcpServer::modbusClientDisconnected, &app,
                     [&clients](QTcpSocket *socket) { clients.left(socket); });
    server.setConnectionParameter(QModbusDevice::NetworkAddressParameter, ListenAddress);
    server.setConnectionParameter(QModbusDevice::NetworkPortParameter, *port);
    if (!server.connectDevice()) {
        printLine(stderr, QStringLiteral("quorvel-sim: cannot listen on %1:%2: %3")
                              .arg(ListenAddress)
                              .arg(*port)
                              .arg(server.errorString()));
        return 1;
    }
    printLine(stdout, QStringLiteral("listening on %1:%2, any unit, holding and input registers, "
                                     "coils and discrete inputs 1-%3 "
                                     "(addresses 0-%4), updated every %5 ms")
                          .arg(ListenAddress)
                          .arg(*port)
                          .arg(sim::RegisterCount)
                          .arg(sim::RegisterCount - 1)
                          .arg(sim::UpdateIntervalMs));

    // Errors while serving, such as a reply that cannot be written, go to stderr.
    QObject::connect(
        &server, &QModbusDevice::errorOccurred, &app, [&server](QModbusDevice::Error error) {
            if (error != QModbusDevice::NoError)
                printLine(stderr, QStringLiteral("quorvel-sim: %1").arg(server.errorString()));
        });

    QTimer updates;
    updates.setInterval(sim::UpdateIntervalMs);
    QObject::connect(&updates, &QTimer::timeout, &server, [&device] { device.advance(); });
    updates.start();

    const int result = app.exec();
    updates.stop();
    // Closing here, not in the destructor, logs the clients that are still connected.
    server.disconnectDevice();
    // The server releases a closed client's socket with deleteLater(); let that happen.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
