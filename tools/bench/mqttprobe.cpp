#include "mqttprobe.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <mosquitto.h>

#include <ctime>
#include <unistd.h>

MqttProbe::~MqttProbe()
{
    if (m_sub) {
        mosquitto_disconnect(m_sub);
        mosquitto_loop_stop(m_sub, false);
        mosquitto_destroy(m_sub);
    }
    if (m_broker.state() != QProcess::NotRunning) {
        m_broker.terminate();
        if (!m_broker.waitForFinished(5000)) m_broker.kill();
    }
}

bool MqttProbe::start(QString &error)
{
    {
        QTcpServer free;
        if (!free.listen(QHostAddress::LocalHost, 0)) {
            error = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        m_port = free.serverPort();
    }
    QByteArray config = "listener " + QByteArray::number(m_port) +
                        " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                        "log_type error\nlog_type warning\n";
    if (::geteuid() == 0) config += "user root\n";
    QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!m_dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(config) < 0) {
        error = QStringLiteral("cannot write the broker's configuration");
        return false;
    }
    file.close();
    m_broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_broker.setStandardOutputFile(QProcess::nullDevice());
    m_broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), file.fileName()});
    if (!m_broker.waitForStarted(5000)) {
        error = QStringLiteral("cannot start mosquitto: ") + m_broker.errorString();
        return false;
    }
    bool listening = false;
    for (int k = 0; k < 100 && !listening; ++k) {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        listening = socket.waitForConnected(1000);
        if (!listening) QThread::msleep(50);
    }
    mosquitto_lib_init();
    m_sub = mosquitto_new(nullptr, true, this);
    if (!listening || !m_sub ||
        mosquitto_connect(m_sub, "127.0.0.1", m_port, 60) != MOSQ_ERR_SUCCESS) {
        error = QStringLiteral("the broker on 127.0.0.1:%1 does not answer").arg(m_port);
        return false;
    }
    mosquitto_message_callback_set(m_sub, &MqttProbe::onMessage);
    if (mosquitto_subscribe(m_sub, nullptr, "quorvel/#", 0) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_sub) != MOSQ_ERR_SUCCESS) {
        error = QStringLiteral("cannot subscribe to quorvel/#");
        return false;
    }
    return true;
}

void MqttProbe::shown(const QString &topic)
{
    const double now = m_clock();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_recording) return;
    // A value shown again before the last one arrived: that one counts as lost.
    if (m_pending.contains(topic)) ++m_unmatched;
    m_pending.insert(topic, now);
}

void MqttProbe::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
    if (!on) {
        m_unmatched += m_pending.size();
        m_pending.clear();
    }
}

std::vector<double> MqttProbe::delays()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delays;
}

long MqttProbe::received()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

long MqttProbe::unmatched()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unmatched;
}

double MqttProbe::subscriberCpuBetween(double fromMs, double toMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<double> from, to;
    for (const auto &[at, cpu] : m_cpu) {
        if (at <= fromMs) from = cpu;
        if (at <= toMs) to = cpu;
    }
    return from && to ? *to - *from : to.value_or(0.0);
}

double MqttProbe::subscriberCpu()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastCpu;
}

void MqttProbe::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *probe = static_cast<MqttProbe *>(self);
    const double now = probe->m_clock();
    timespec cpu{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    const QString topic = QString::fromUtf8(message->topic);
    std::lock_guard<std::mutex> lock(probe->m_mutex);
    probe->m_lastCpu = double(cpu.tv_sec) + double(cpu.tv_nsec) / 1e9;
    if (!probe->m_recording) return;
    probe->m_cpu.emplace_back(now, probe->m_lastCpu);
    ++probe->m_received;
    const auto pending = probe->m_pending.find(topic);
    if (pending == probe->m_pending.end()) return;
    probe->m_delays.push_back(now - pending.value());
    probe->m_pending.erase(pending);
}
