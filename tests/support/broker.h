#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

// A real mosquitto broker on 127.0.0.1, on a port the test chose, with a configuration file
// the test writes. Stopped and started again on the same port, it keeps nothing (no
// persistence), so anything retained after a restart was published again.
class Broker
{
public:
    // The broker's executable, empty when it is not installed.
    static QString program();

    // Configuration and log live in dir.
    explicit Broker(const QString &dir);
    ~Broker();

    // Lines added to the listener's configuration: password_file, certfile, ...
    QStringList settings;

    // Starts it (on a free port the first time, on the same port after) and waits until it
    // listens. False when it does not within a few seconds.
    bool start();
    // Ends it at once, as a crash or a power cut would.
    void kill();
    quint16 port() const { return m_port; }
    QByteArray log() const;

private:
    QString m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// A subscriber that runs along (mosquitto_sub -v) and collects every message it receives.
class Subscriber
{
public:
    ~Subscriber();
    // clientArguments: -u, -P, --cafile, ... Waits until it is subscribed (its first retained
    // message, or a second); false when mosquitto_sub does not start.
    bool start(quint16 port, const QString &filter, const QStringList &clientArguments = {});
    // Everything received so far as (topic, payload).
    QList<QPair<QString, QByteArray>> messages();
    // The last payload received on topic, empty when none.
    QByteArray last(const QString &topic);

private:
    QProcess m_process;
    QByteArray m_pending;
    QList<QPair<QString, QByteArray>> m_messages;
};

// What a subscriber that comes late finds retained under filter, topic to payload.
QMap<QString, QByteArray> retainedMessages(quint16 port, const QString &filter,
                                           const QStringList &clientArguments = {});
