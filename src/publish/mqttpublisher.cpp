#include "publish/mqttpublisher.h"

#include <QMetaObject>
#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace publish
{

namespace
{

const QString StatusTopic = QStringLiteral("status");
const QByteArray Online = QByteArrayLiteral("online");
const QByteArray Offline = QByteArrayLiteral("offline");
// Where Debian keeps the system's CA certificates, hashed for OpenSSL.
const char *const SystemCaPath = "/etc/ssl/certs";

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// The words of a CONNACK refusal (MQTT 3.1.1 return codes).
QString refusalText(int code)
{
    switch (code) {
    case 1:
        return QStringLiteral("unacceptable protocol version");
    case 2:
        return QStringLiteral("client identifier rejected");
    case 3:
        return QStringLiteral("broker unavailable");
    case 4:
        return QStringLiteral("bad user name or password");
    case 5:
        return QStringLiteral("not authorised");
    default:
        return QStringLiteral("refusal code %1").arg(code);
    }
}

bool isTlsFailure(int rc)
{
    return rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE;
}

} // namespace

// libmosquitto calls plain functions; these hand the calls on to the publisher.
struct MqttCallbacks {
    static void connect(mosquitto *, void *self, int code)
    {
        static_cast<MqttPublisher *>(self)->onConnect(code);
    }
    static void log(mosquitto *, void *self, int level, const char *text)
    {
        static_cast<MqttPublisher *>(self)->onLog(level, text);
    }
};

MqttPublisher::MqttPublisher(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
}

MqttPublisher::~MqttPublisher()
{
    if (m_thread.joinable()) {
        // A normal close says so; the Last Will is for a death.
        if (m_connected) publish(StatusTopic, Offline, 1, true);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        wake();
        m_thread.join();
    }
    if (m_mosq) mosquitto_destroy(m_mosq);
    for (const int fd : {m_wakeRead, m_wakeWrite})
        if (fd >= 0) ::close(fd);
}

QString MqttPublisher::topic(const QString &suffix) const
{
    return m_options.target.prefix + u'/' + suffix;
}

bool MqttPublisher::start()
{
    initLibrary();
    const MqttTarget &target = m_options.target;
    m_mosq = mosquitto_new(nullptr, true, this);
    if (!m_mosq) {
        m_error = QStringLiteral("cannot create an MQTT client: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Only the network thread touches the socket; publish() just queues for it.
    mosquitto_threaded_set(m_mosq, true);
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) {
        m_error = QStringLiteral("cannot create an MQTT client: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_wakeRead = pipeEnds[0];
    m_wakeWrite = pipeEnds[1];
    mosquitto_connect_callback_set(m_mosq, &MqttCallbacks::connect);

    const QByteArray will = topic(StatusTopic).toUtf8();
    int rc = mosquitto_will_set(m_mosq, will.constData(), int(Offline.size()), Offline.constData(),
                                1, true);
    if (rc == MOSQ_ERR_SUCCESS && (!target.user.isEmpty() || m_options.password)) {
        const QByteArray user = target.user.toUtf8();
        rc = mosquitto_username_pw_set(m_mosq, user.isEmpty() ? nullptr : user.constData(),
                                       m_options.password ? m_options.password->constData()
                                                          : nullptr);
    }
    if (m_options.password) {
        // The library keeps its own copy; ours is not needed any more.
        m_options.password->fill('\0');
        m_options.password.reset();
    }
    if (rc == MOSQ_ERR_SUCCESS && target.tls) {
        const QByteArray caFile = m_options.caFile.toLocal8Bit();
        rc =
            mosquitto_tls_set(m_mosq, caFile.isEmpty() ? nullptr : caFile.constData(),
                              caFile.isEmpty() ? SystemCaPath : nullptr, nullptr, nullptr, nullptr);
        // Certificate and host name are always checked; there is no way around that.
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m_mosq, 1, nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m_mosq, false);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        m_error = QStringLiteral("MQTT client setup failed: %1")
                      .arg(QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

void MqttPublisher::publish(const QString &suffix, const QByteArray &payload, int qos, bool retain)
{
    publishTo(topic(suffix), payload, qos, retain);
}

void MqttPublisher::publishTo(const QString &fullTopic, const QByteArray &payload, int qos,
                              bool retain)
{
    if (!m_connected || !m_mosq) {
        ++m_dropped;
        return;
    }
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = m_queue.empty();
        m_queue.push_back({fullTopic.toUtf8(), payload, qos, retain});
    }
    // A thread already woken takes this message with the others.
    if (!first) return;
    if (m_batchDepth > 0)
        m_wakeOwed = true;
    else
        wake();
}

MqttPublisher::Batch::~Batch()
{
    if (--m_publisher.m_batchDepth > 0 || !m_publisher.m_wakeOwed) return;
    m_publisher.m_wakeOwed = false;
    m_publisher.wake();
}

void MqttPublisher::wake()
{
    const char byte = 0;
    // A full pipe already holds a wake.
    while (::write(m_wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
}

int MqttPublisher::sendQueued()
{
    std::vector<Outgoing> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        batch.swap(m_queue);
    }
    if (batch.empty()) return MOSQ_ERR_SUCCESS;
    const int sock = mosquitto_socket(m_mosq);
#ifdef TCP_CORK
    // The batch leaves in as few segments as it fits, not one per message.
    const int on = 1;
    if (sock >= 0) ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
#endif
    for (const Outgoing &message : batch) {
        if (mosquitto_publish(m_mosq, nullptr, message.topic.constData(),
                              int(message.payload.size()), message.payload.constData(), message.qos,
                              message.retain) != MOSQ_ERR_SUCCESS)
            ++m_dropped;
    }
    const int rc = mosquitto_loop_write(m_mosq, 1);
#ifdef TCP_CORK
    const int off = 0;
    const int still = mosquitto_socket(m_mosq);
    if (still >= 0) ::setsockopt(still, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
#endif
    return rc;
}

void MqttPublisher::dropQueued()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropped += m_queue.size();
    m_queue.clear();
}

int MqttPublisher::serve(int timeoutMs)
{
    // What mosquitto_loop does, with a wake of ours in place of the library's, which takes one
    // loop per message published.
    const int sock = mosquitto_socket(m_mosq);
    if (sock < 0) return MOSQ_ERR_NO_CONN;
    pollfd fds[2] = {
        {sock, short(POLLIN | (mosquitto_want_write(m_mosq) ? POLLOUT : 0)), 0},
        {m_wakeRead, POLLIN, 0},
    };
    if (::poll(fds, 2, timeoutMs) < 0) return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
        const int rc = mosquitto_loop_read(m_mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) return rc;
    }
    if (fds[1].revents & POLLIN) {
        char bytes[64];
        while (::read(m_wakeRead, bytes, sizeof bytes) > 0) {
        }
        const int rc = sendQueued();
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) return rc;
    }
    if (fds[0].revents & POLLOUT) {
        const int rc = mosquitto_loop_write(m_mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) return rc;
    }
    return mosquitto_loop_misc(m_mosq);
}

void MqttPublisher::run()
{
    const QByteArray host = m_options.target.host.toUtf8();
    const int port = m_options.target.port;
    int retrySeconds = 0;
    while (!m_stop) {
        bool wasConnected = false;
        m_refusal = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_firstError.clear();
        }
        // The library's log says why TLS failed; it is read only until the broker takes us,
        // since with a reader set the library words a line for every message sent.
        mosquitto_log_callback_set(m_mosq, &MqttCallbacks::log);
        int rc = mosquitto_connect_async(m_mosq, host.constData(), port, KeepAliveSeconds);
        int savedErrno = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            using Clock = std::chrono::steady_clock;
            std::optional<Clock::time_point> closeBy;
            for (;;) {
                // After a stop, the queued "offline" and DISCONNECT still go out, briefly; a
                // connection not yet taken has nothing to say.
                if (m_stop && !m_up) break;
                if (m_stop && !closeBy) {
                    closeBy = Clock::now() + std::chrono::milliseconds(CloseWaitMs);
                    sendQueued();
                    mosquitto_disconnect(m_mosq);
                }
                if (closeBy && Clock::now() > *closeBy) break;
                rc = serve(closeBy ? 100 : 1000);
                savedErrno = errno;
                if (rc == MOSQ_ERR_SUCCESS) {
                    wasConnected = wasConnected || m_up;
                    continue;
                }
                break;
            }
        }
        // Whatever was published for the connection that has gone is old news by the next.
        dropQueued();
        if (m_stop) break;
        // Refused, TLS or the network: a new kind of fault is news, another attempt failing
        // the same way is not.
        const int kind = m_refusal ? 1 : isTlsFailure(rc) ? 2 : 3;
        reportDown(failureText(rc, savedErrno), kind);

        retrySeconds = nextRetrySeconds(retrySeconds, wasConnected);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::seconds(retrySeconds), [this] { return bool(m_stop); });
    }
}

int nextRetrySeconds(int lastWait, bool wasConnected)
{
    if (wasConnected || lastWait <= 0) return MqttPublisher::FirstRetrySeconds;
    return std::min(lastWait * 2, MqttPublisher::LongestRetrySeconds);
}

void MqttPublisher::onConnect(int code)
{
    if (code != 0) {
        m_refusal = code;
        return;
    }
    mosquitto_log_callback_set(m_mosq, nullptr);
    // Consumers learn first that Quorvel is there; the retained state follows from the
    // caller's thread.
    const QByteArray name = topic(StatusTopic).toUtf8();
    mosquitto_publish(m_mosq, nullptr, name.constData(), int(Online.size()), Online.constData(), 1,
                      true);
    reportUp();
}

void MqttPublisher::onLog(int level, const char *text)
{
    if (!(level & MOSQ_LOG_ERR) || !text) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_firstError.isEmpty()) m_firstError = QString::fromUtf8(text);
}

QString MqttPublisher::failureText(int rc, int savedErrno)
{
    if (m_refusal == 4 || m_refusal == 5)
        return QStringLiteral("bad login (%1)").arg(refusalText(m_refusal));
    if (m_refusal != 0) return QStringLiteral("refused (%1)").arg(refusalText(m_refusal));
    QString logged;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        logged = m_firstError;
    }
    if (isTlsFailure(rc)) {
        // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed"
        if (logged.startsWith(QLatin1String("OpenSSL Error")))
            logged = logged.section(u':', -1).trimmed();
        return QStringLiteral("TLS failure: %1")
            .arg(logged.isEmpty() ? QStringLiteral("handshake failed") : logged);
    }
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return savedErrno ? QString::fromLocal8Bit(std::strerror(savedErrno))
                          : QStringLiteral("network error");
    case MOSQ_ERR_EAI:
        return QStringLiteral("host not found");
    case MOSQ_ERR_CONN_LOST:
        return QStringLiteral("connection lost");
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("no answer within the keep-alive time");
    case MOSQ_ERR_CONN_REFUSED:
        return QStringLiteral("refused");
    default:
        return QString::fromUtf8(mosquitto_strerror(rc)).toLower().remove(u'.');
    }
}

void MqttPublisher::reportUp()
{
    const QString text = QStringLiteral("MQTT broker %1 %2, publishing under %3/")
                             .arg(m_options.target.address(),
                                  m_everUp ? QStringLiteral("back") : QStringLiteral("connected"),
                                  m_options.target.prefix);
    m_up = true;
    m_everUp = true;
    m_lastReportedKind = 0;
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            m_connected = true;
            emit event(text);
            emit connected();
        },
        Qt::QueuedConnection);
}

void MqttPublisher::reportDown(const QString &reason, int kind)
{
    const bool wasUp = m_up;
    m_up = false;
    if (!wasUp && kind == m_lastReportedKind) return;
    m_lastReportedKind = kind;
    const QString text =
        QStringLiteral("MQTT broker %1 %2: %3; values are dropped until it is back")
            .arg(m_options.target.address(),
                 wasUp ? QStringLiteral("lost") : QStringLiteral("not reached"), reason);
    QMetaObject::invokeMethod(
        this,
        [this, text, wasUp] {
            m_connected = false;
            emit event(text);
            if (wasUp) emit disconnected();
        },
        Qt::QueuedConnection);
}

} // namespace publish
