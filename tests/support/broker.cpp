#include "support/broker.h"

#include "support/devices.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

QString Broker::program()
{
    return QStandardPaths::findExecutable(QStringLiteral("mosquitto"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                           QStringLiteral("/usr/local/sbin")});
}

Broker::Broker(const QString &dir) : m_dir(dir) {}

Broker::~Broker()
{
    kill();
}

bool Broker::start()
{
    if (m_port == 0) m_port = freeLoopbackPort();
    QByteArray config = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
    for (const QString &line : settings)
        config += line.toUtf8() + '\n';
    if (!settings.join(u'\n').contains(QLatin1String("password_file")))
        config += "allow_anonymous true\n";
    // Run as root, the broker would otherwise change to a user that cannot read our files.
    if (::geteuid() == 0) config += "user root\n";
    config += "persistence false\nlog_dest stderr\nlog_type error\nlog_type warning\n"
              "log_type notice\nlog_type information\n";
    const QString path = m_dir + QStringLiteral("/mosquitto.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size()) return false;
    file.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir + QStringLiteral("/mosquitto.log"), QIODevice::Append);
    m_process.start(program(), {QStringLiteral("-c"), path});
    if (!m_process.waitForStarted(5000)) return false;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        if (probe.waitForConnected(1000)) return true;
        if (m_process.state() != QProcess::Running) return false;
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

QByteArray Broker::log() const
{
    QFile file(m_dir + QStringLiteral("/mosquitto.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Subscriber::~Subscriber()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool Subscriber::start(quint16 port, const QString &filter, const QStringList &clientArguments)
{
    m_process.start(QStringLiteral("mosquitto_sub"),
                    QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                                QStringLiteral("-p"), QString::number(port), QStringLiteral("-v"),
                                QStringLiteral("-t"), filter} +
                        clientArguments);
    if (!m_process.waitForStarted(5000)) return false;
    // The subscription takes a moment; a message published before it would be missed.
    QTest::qWait(1000);
    return m_process.state() == QProcess::Running;
}

QList<QPair<QString, QByteArray>> Subscriber::messages()
{
    m_pending += m_process.readAllStandardOutput();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        const int space = line.indexOf(' ');
        if (space < 0)
            m_messages.append({QString::fromUtf8(line), QByteArray()});
        else
            m_messages.append({QString::fromUtf8(line.left(space)), line.mid(space + 1)});
    }
    return m_messages;
}

QByteArray Subscriber::last(const QString &topic)
{
    const auto all = messages();
    for (auto it = all.crbegin(); it != all.crend(); ++it)
        if (it->first == topic) return it->second;
    return {};
}

QMap<QString, QByteArray> retainedMessages(quint16 port, const QString &filter,
                                           const QStringList &clientArguments)
{
    QProcess sub;
    // Retained messages come at once on subscribing; -W ends the wait for more.
    sub.start(QStringLiteral("mosquitto_sub"),
              QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                          QString::number(port), QStringLiteral("-v"), QStringLiteral("-t"), filter,
                          QStringLiteral("--retained-only"), QStringLiteral("-W"),
                          QStringLiteral("2")} +
                  clientArguments);
    // With the event loop running: the test's own devices have to keep answering meanwhile.
    QSignalSpy finished(&sub, &QProcess::finished);
    if (sub.state() != QProcess::NotRunning) finished.wait(15000);
    QMap<QString, QByteArray> found;
    for (const QByteArray &line : sub.readAllStandardOutput().split('\n')) {
        if (line.isEmpty()) continue;
        const int space = line.indexOf(' ');
        found.insert(QString::fromUtf8(line.left(space)),
                     space < 0 ? QByteArray() : line.mid(space + 1));
    }
    return found;
}
