#pragma once

#include "publish/mqtturl.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

struct mosquitto;

namespace publish
{

// Publishes to an MQTT broker through libmosquitto. The network (connecting, TLS, sending,
// reconnecting with a back-off of 1 s doubling up to 30 s) runs on a thread of its own, so the
// caller's thread never waits on the broker; what happens there comes back as queued signals.
// While the broker is away, whatever is published is dropped, never queued.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    struct Options {
        MqttTarget target;
        std::optional<QByteArray> password;
        QString caFile; // empty: the system's CAs
    };

    explicit MqttPublisher(Options options, QObject *parent = nullptr);
    // Publishes "offline" when connected, disconnects and ends the network thread, waiting
    // at most about two seconds for the broker.
    ~MqttPublisher() override;

    // Sets up the client and starts the network thread; false when the library refuses the
    // options (errorString() says why).
    bool start();
    QString errorString() const { return m_error; }

    const MqttTarget &target() const { return m_options.target; }
    // PREFIX/suffix.
    QString topic(const QString &suffix) const;
    bool isConnected() const { return m_connected; }
    // Messages dropped because the broker was away.
    quint64 dropped() const { return m_dropped; }

    // Publishes PREFIX/suffix now, or drops it when the broker is away.
    void publish(const QString &suffix, const QByteArray &payload, int qos, bool retain);
    // The same for a topic outside the prefix (Home Assistant's discovery configs).
    void publishTo(const QString &fullTopic, const QByteArray &payload, int qos, bool retain);

    static constexpr int KeepAliveSeconds = 15;
    static constexpr int FirstRetrySeconds = 1;
    static constexpr int LongestRetrySeconds = 30;
    static constexpr int CloseWaitMs = 2000;

signals:
    // The broker took the connection and "online" went out: publish the retained state again.
    void connected();
    // The broker is away; everything published from now on is dropped until connected().
    void disconnected();
    // One line for the operator: connected, lost with the reason, not reached, back.
    void event(const QString &text);

private:
    void run();
    void onConnect(int code);
    void onLog(int level, const char *text);
    QString failureText(int rc, int savedErrno);
    void reportUp();
    void reportDown(const QString &reason, int kind);

    Options m_options;
    mosquitto *m_mosq = nullptr;
    QString m_error;
    bool m_connected = false; // as the caller's thread knows it
    quint64 m_dropped = 0;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false};

    // Network thread only, apart from m_firstError, which m_mutex guards.
    int m_refusal = 0;
    bool m_up = false;
    bool m_everUp = false;
    int m_lastReportedKind = 0;
    QString m_firstError;

    friend struct MqttCallbacks;
};

// Seconds to wait before the next attempt to reach the broker, after waiting `lastWait`
// (0 before the first): the first wait again once a connection was made, else twice the
// last, up to the longest.
int nextRetrySeconds(int lastWait, bool wasConnected);

} // namespace publish
