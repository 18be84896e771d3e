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
#include <vector>

struct mosquitto;

namespace publish
{

// Publishes to an MQTT broker through libmosquitto. The network (connecting, TLS, sending,
// reconnecting with a back-off of 1 s doubling up to 30 s) runs on a thread of its own, so the
// caller's thread never waits on the broker; what happens there comes back as queued signals.
// The thread serves the library's socket itself rather than through mosquitto_loop, which
// wakes once per message published: here the values of one reply go out in one wake.
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

    // While one lives, what is published waits for its end to wake the network thread, so
    // the values of a reply go out together.
    class Batch
    {
    public:
        explicit Batch(MqttPublisher &publisher) : m_publisher(publisher)
        {
            ++m_publisher.m_batchDepth;
        }
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        MqttPublisher &m_publisher;
    };

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
    // A message on its way from the caller's thread to the network thread.
    struct Outgoing {
        QByteArray topic;
        QByteArray payload;
        int qos = 0;
        bool retain = false;
    };

    void run();
    // Network thread: waits on the broker's socket and the wake pipe, then reads, hands the
    // library what publish() queued and writes; what the library reports.
    int serve(int timeoutMs);
    // Hands the library what publish() queued and writes it; what the library reports.
    int sendQueued();
    // What publish() queued goes nowhere: the broker is away.
    void dropQueued();
    void wake();
    void onConnect(int code);
    void onLog(int level, const char *text);
    QString failureText(int rc, int savedErrno);
    void reportUp();
    void reportDown(const QString &reason, int kind);

    Options m_options;
    mosquitto *m_mosq = nullptr;
    QString m_error;
    bool m_connected = false; // as the caller's thread knows it
    // Batches open on the caller's thread, and whether one of them owes the thread a wake.
    int m_batchDepth = 0;
    bool m_wakeOwed = false;
    std::atomic<quint64> m_dropped{0};

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false};
    // publish() queues here, under m_mutex, and writes a byte to the pipe when the queue was
    // empty: one wake of the network thread for all the values of a reply.
    std::vector<Outgoing> m_queue;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;

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
