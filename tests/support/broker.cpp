#include "support/broker.h"

#include "support/devices.h"
#include "support/files.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

QString Broker::program()
{
    return QStandardPaths::findExecutable(
        QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
}

bool Broker::start()
{
    if (m_port == 0) m_port = freeLoopbackPort();
    const QString settingLines = settings.join(u'\n');
    QByteArray config = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n" +
                        settingLines.toUtf8() + "\npersistence false\n";
    if (!settingLines.contains(QLatin1String("password_file"))) config += "allow_anonymous true\n";
    // Run as root, the broker would otherwise change to a user that cannot read our files.
    if (::geteuid() == 0) config += "user root\n";
    const QString path = m_dir + QStringLiteral("/mosquitto.conf");
    writeBytes(path, config);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir + QStringLiteral("/mosquitto.log"), QIODevice::Append);
    m_process.start(program(), {QStringLiteral("-c"), path});
    const QDeadlineTimer deadline(10000);
    while (m_process.waitForStarted(5000) && !deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        if (probe.waitForConnected(1000)) return true;
        QTest::qWait(50);
    }
    return false;
}

void Broker::kill()
{
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

QList<QByteArray> subscriberLines(quint16 port, const QString &filter, const QStringList &arguments)
{
    QProcess sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                          QString::number(port), QStringLiteral("-v"), QStringLiteral("-t"),
                          filter} +
                  arguments);
    // The test's own devices have to keep answering meanwhile.
    QSignalSpy finished(&sub, &QProcess::finished);
    if (sub.waitForStarted(5000)) finished.wait(30000);
    QList<QByteArray> lines = sub.readAllStandardOutput().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

QMap<QString, QByteArray> subscribe(quint16 port, const QString &filter,
                                    const QStringList &arguments)
{
    QMap<QString, QByteArray> found;
    for (const QByteArray &line : subscriberLines(port, filter, arguments)) {
        const int space = line.indexOf(' ');
        if (space > 0) found.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1));
    }
    return found;
}

QMap<QString, QByteArray> retainedMessages(quint16 port, const QString &filter,
                                           const QStringList &arguments)
{
    return subscribe(
        port, filter,
        QStringList{QStringLiteral("--retained-only"), QStringLiteral("-W"), QStringLiteral("2")} +
            arguments);
}
