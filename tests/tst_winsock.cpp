#include "links/winsock.h"
#include "support/devices.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

class tst_winsock : public QObject
{
    Q_OBJECT

private slots:
    void connectsAndRefusesChangesWhileOpen();
    void refusedPortIsAnErrorUntilClosed();
    void emptyHostFailsWithoutLookup();
    void peerCloseLeavesClosing();
    void dataArrivalAndTakingBytes();
    void socketOptionsOnceConnected();

private:
    static bool waitState(Winsock &socket, int state)
    {
        return QTest::qWaitFor([&] { return socket.state() == state; }, 10000);
    }

    // Connects the socket to a listening server and returns the server's side of it.
    static QTcpSocket *connectTo(Winsock &socket, QTcpServer &server)
    {
        if (!server.listen(QHostAddress::LocalHost, 0)) return nullptr;
        socket.setRemoteHost(QStringLiteral("127.0.0.1"));
        socket.setRemotePort(server.serverPort());
        socket.connectToRemote();
        if (!server.waitForNewConnection(10000) || !waitState(socket, Winsock::Connected))
            return nullptr;
        return server.nextPendingConnection();
    }
};

void tst_winsock::connectsAndRefusesChangesWhileOpen()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Winsock socket(1);
    QCOMPARE(socket.index(), 1);
    QCOMPARE(socket.state(), int(Winsock::Closed));
    QVERIFY(socket.setRemoteHost(QStringLiteral("127.0.0.1")));
    QVERIFY(socket.setRemotePort(server.serverPort()));
    QVERIFY(!socket.setRemotePort(70000));
    QVERIFY(!socket.setRemotePort(-1));
    QCOMPARE(socket.remotePort(), int(server.serverPort()));
    QVERIFY(!socket.sendData("x"));

    QVERIFY(socket.connectToRemote());
    QVERIFY(socket.state() == Winsock::Connecting || socket.state() == Winsock::Connected);
    QVERIFY(waitState(socket, Winsock::Connected));

    // Host, port and connect are refused unless the socket is closed.
    QVERIFY(!socket.setRemoteHost(QStringLiteral("localhost")));
    QVERIFY(!socket.setRemotePort(1));
    QVERIFY(!socket.connectToRemote());
    QCOMPARE(socket.remoteHost(), QStringLiteral("127.0.0.1"));

    socket.close();
    QCOMPARE(socket.state(), int(Winsock::Closed));
    QVERIFY(socket.setRemoteHost(QStringLiteral("127.0.0.1")));
}

void tst_winsock::refusedPortIsAnErrorUntilClosed()
{
    Winsock socket(0);
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(freeLoopbackPort());
    QVERIFY(socket.connectToRemote());
    QVERIFY(waitState(socket, Winsock::Error));
    QTest::qWait(50);
    QCOMPARE(socket.state(), int(Winsock::Error)); // it stays there
    QVERIFY(!socket.connectToRemote());
    socket.close();
    QCOMPARE(socket.state(), int(Winsock::Closed));
}

void tst_winsock::emptyHostFailsWithoutLookup()
{
    Winsock socket(0);
    QVERIFY(socket.setRemoteHost(QString()));
    socket.setRemotePort(502);
    QVERIFY(socket.connectToRemote());
    QVERIFY(waitState(socket, Winsock::Error));
    socket.close();
    QCOMPARE(socket.state(), int(Winsock::Closed));
}

void tst_winsock::peerCloseLeavesClosing()
{
    QTcpServer server;
    Winsock socket(2);
    QTcpSocket *peer = connectTo(socket, server);
    QVERIFY(peer);
    peer->disconnectFromHost();
    QVERIFY(waitState(socket, Winsock::Closing));
    QVERIFY(!socket.sendData("x"));
    socket.close();
    QCOMPARE(socket.state(), int(Winsock::Closed));
}

void tst_winsock::dataArrivalAndTakingBytes()
{
    QTcpServer server;
    Winsock socket(2);
    QSignalSpy arrivals(&socket, &Winsock::dataArrival);
    QTcpSocket *peer = connectTo(socket, server);
    QVERIFY(peer);

    QVERIFY(socket.sendData(QByteArray::fromHex("000102")));
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), qint64(3), 10000);
    QCOMPARE(peer->readAll(), QByteArray::fromHex("000102"));

    peer->write(QByteArray::fromHex("0A0BFF8001"));
    QTRY_VERIFY_WITH_TIMEOUT(!arrivals.isEmpty(), 10000);
    QCOMPARE(arrivals.first().at(0).toInt(), 2);
    QCOMPARE(arrivals.first().at(1).toLongLong(), qint64(5));
    QCOMPARE(socket.peek(2), QByteArray::fromHex("0A0B"));

    quint8 byte = 0;
    QVERIFY(socket.takeByte(byte));
    QCOMPARE(byte, quint8(0x0A));
    QCOMPARE(socket.bytesAvailable(), qint64(4));
    QCOMPARE(socket.take(2), QByteArray::fromHex("0BFF"));
    QVERIFY(socket.takeByte(byte));
    QCOMPARE(byte, quint8(0x80)); // unsigned, never a negative char
    QVERIFY(socket.takeByte(byte));
    QCOMPARE(byte, quint8(0x01));
    QVERIFY(!socket.takeByte(byte));
    QCOMPARE(byte, quint8(0x01));

    arrivals.clear();
    peer->write("late");
    QTRY_VERIFY_WITH_TIMEOUT(!arrivals.isEmpty(), 10000);
    socket.discardWaiting();
    QCOMPARE(socket.bytesAvailable(), qint64(0));
}

void tst_winsock::socketOptionsOnceConnected()
{
    QTcpServer server;
    Winsock socket(0);
    QVERIFY(connectTo(socket, server));
    const int fd = int(socket.socketDescriptor());
    QVERIFY(fd >= 0);

    auto option = [fd](int level, int name) {
        int value = -1;
        socklen_t size = sizeof value;
        return ::getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
    };
    QCOMPARE(option(IPPROTO_TCP, TCP_NODELAY), 1);
    QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), Winsock::KeepAliveIdleSeconds);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPINTVL), Winsock::KeepAliveIntervalSeconds);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPCNT), Winsock::KeepAliveProbes);
    QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), Winsock::UserTimeoutMs);
}

QTEST_GUILESS_MAIN(tst_winsock)
#include "tst_winsock.moc"
