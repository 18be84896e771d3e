#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// A real mosquitto broker on 127.0.0.1, on a port the test chose, with a configuration file
// the test writes. Killed and started again on the same port, it keeps nothing (no
// persistence), so anything retained after a restart was published again.
class Broker
{
public:
    // The broker's executable, empty when it is not installed.
    static QString program();

    // Its configuration and log live in dir; settings are added to the listener's lines
    // (password_file, certfile, ...).
    explicit Broker(const QString &dir) : m_dir(dir) {}
    ~Broker() { kill(); }
    QStringList settings;

    // Starts it (on a free port the first time, on the same port after) and waits until it
    // listens; false when it does not within seconds.
    bool start();
    // Ends it at once, as a crash or a power cut would.
    void kill();
    quint16 port() const { return m_port; }

private:
    QString m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// Runs mosquitto_sub -v on filter with `arguments` (-W 2 --retained-only for what a late
// subscriber finds, -C 1 for the next message, -u/-P, --cafile, ...) until it ends, keeping
// the test's event loop running, and returns what it received, topic to last payload.
QMap<QString, QByteArray> subscribe(quint16 port, const QString &filter,
                                    const QStringList &arguments);
// The same, every "topic payload" line in the order received.
QList<QByteArray> subscriberLines(quint16 port, const QString &filter,
                                  const QStringList &arguments);
// What a subscriber that comes late finds retained.
QMap<QString, QByteArray> retainedMessages(quint16 port, const QString &filter,
                                           const QStringList &arguments = {});
