#pragma once

#include <QHash>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

// For quorvel-bench --mqtt: a mosquitto broker on 127.0.0.1 and, in this process, a subscriber
// to quorvel/# that times each value from the moment the window showed it to the moment it
// arrived. The subscriber runs on libmosquitto's own thread, whose CPU time it keeps so that
// the bench can leave it out of the program's share.
class MqttProbe
{
public:
    using Clock = double (*)();
    explicit MqttProbe(Clock clock) : m_clock(clock) {}
    ~MqttProbe();

    // Starts the broker and subscribes; false with the reason in `error`.
    bool start(QString &error);
    quint16 port() const { return m_port; }

    // The window has just shown a value that goes out on topic.
    void shown(const QString &topic);
    void setRecording(bool on);

    // Delays shown -> received, in ms.
    std::vector<double> delays();
    // Messages received while recording, and shown values never received.
    long received();
    long unmatched();
    // CPU seconds of the subscriber's thread between two moments of the clock.
    double subscriberCpuBetween(double fromMs, double toMs);
    // CPU seconds of the subscriber's thread up to its last message, recorded or not.
    double subscriberCpu();

private:
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    Clock m_clock;
    QTemporaryDir m_dir;
    QProcess m_broker;
    quint16 m_port = 0;
    mosquitto *m_sub = nullptr;

    std::mutex m_mutex;
    bool m_recording = false;
    QHash<QString, double> m_pending; // topic -> shown at
    std::vector<double> m_delays;
    long m_received = 0;
    long m_unmatched = 0;
    std::vector<std::pair<double, double>> m_cpu; // (clock ms, thread CPU s) at each message
    double m_lastCpu = 0;
};
