#include "app/windowfeed.h"

#include "app/commandline.h"
#include "app/optionip.h"
#include "publish/mqttpublisher.h"
#include "publish/payloads.h"
#include "traffic/trafficlog.h"

#include <QDateTime>
#include <QLabel>
#include <cstdio>

namespace publish
{

namespace
{
constexpr int ValueQos = 0;
constexpr int StatusQos = 1;
constexpr int DiscoveryQos = 1;
} // namespace

WindowFeed::WindowFeed(OptionIP &window, MqttPublisher &publisher, TrafficLog *traffic,
                       std::optional<QString> discoveryPrefix)
    : QObject(&publisher), m_window(window), m_publisher(publisher), m_traffic(traffic),
      m_discovery(std::move(discoveryPrefix))
{
    static_assert(OptionIP::LinkCount == 3, "one caption per link");
    connect(&window, &OptionIP::slotValuesRead, this, [this](int slot) {
        m_readsSinceRecord.slotRead(slot);
        publishSlot(slot);
        publishCaptions(false);
    });
    connect(&window, &OptionIP::snapshotTaken, this, [this] {
        publishCycle();
        publishCaptions(false);
    });
    connect(&window, &OptionIP::slotLayoutChanged, this, [this] { announce(false); });
    connect(&publisher, &MqttPublisher::connected, this, &WindowFeed::republish);
    connect(&publisher, &MqttPublisher::event, this, &WindowFeed::report);
    connect(&m_captionTimer, &QTimer::timeout, this, [this] { publishCaptions(false); });
    m_captionTimer.start(CaptionCheckMs);
}

void WindowFeed::publishSlot(int slot)
{
    if (!m_publisher.isConnected()) return;
    for (const snapshot::ShownValue &value : m_window.shownValues()) {
        if (value.slot != slot || !value.current) continue;
        const std::optional<QString> topic = registerTopic(value);
        if (!topic) continue;
        // Retained, so the broker holds it: only a change is news.
        const QByteArray payload = value.text.toUtf8();
        auto sent = m_sentValues.find(*topic);
        if (sent != m_sentValues.end() && *sent == payload) continue;
        m_sentValues.insert(*topic, payload);
        m_publisher.publish(*topic, payload, ValueQos, true);
    }
}

void WindowFeed::publishCycle()
{
    // Counted while the broker is away too: a record after its return holds only fresh reads.
    const std::vector<snapshot::ShownValue> fresh = m_readsSinceRecord.take(m_window.shownValues());
    if (!m_publisher.isConnected()) return;
    m_publisher.publish(QStringLiteral("values"), valuesJson(QDateTime::currentDateTime(), fresh),
                        ValueQos, false);
}

void WindowFeed::publishCaptions(bool all)
{
    for (int link = 0; link < OptionIP::LinkCount; ++link) {
        const QLabel *label = m_window.lblStatus[size_t(link)];
        if (!label) continue;
        QString caption = label->text();
        // Shown for the moment a request is out, between every two replies: no state of the
        // link, which keeps its last one. "Transmit.............." (the previous request went
        // unanswered) is one.
        if (caption == QLatin1String("Transmit")) caption = m_captions[size_t(link)];
        if (caption.isEmpty() || (!all && caption == m_captions[size_t(link)])) continue;
        m_captions[size_t(link)] = caption;
        m_publisher.publish(QString(QChar(u'A' + link)) + QStringLiteral("/status"),
                            caption.toUtf8(), StatusQos, true);
    }
}

void WindowFeed::announce(bool again)
{
    if (!m_discovery || !m_publisher.isConnected()) return;
    QHash<QString, QByteArray> wanted;
    for (const snapshot::ShownValue &value : m_window.shownValues())
        if (const auto config =
                discoveryConfig(value, *m_discovery, m_publisher.target().prefix, programVersion()))
            wanted.insert(config->topic, config->payload);
    // An empty retained config removes the entity.
    for (auto it = m_configs.cbegin(); it != m_configs.cend(); ++it)
        if (!wanted.contains(it.key()))
            m_publisher.publishTo(it.key(), QByteArray(), DiscoveryQos, true);
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
        if (again || m_configs.value(it.key()) != it.value())
            m_publisher.publishTo(it.key(), it.value(), DiscoveryQos, true);
    m_configs = wanted;
}

void WindowFeed::republish()
{
    // Before the values, so an entity exists by the time its state comes.
    announce(true);
    // A broker that comes back may have lost what it retained.
    m_sentValues.clear();
    publishCaptions(true);
    for (int slot = 0; slot < OptionIP::SlotCount; ++slot)
        publishSlot(slot);
}

void WindowFeed::report(const QString &text)
{
    std::fprintf(stderr, "quorvel: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    // The log's line already says MQTT.
    if (m_traffic)
        m_traffic->brokerEvent(
            text.startsWith(QLatin1String("MQTT broker")) ? text.mid(int(qstrlen("MQTT "))) : text);
}

} // namespace publish

namespace publish
{

std::unique_ptr<MqttPublisher> publishWindow(CommandLine &command, OptionIP &window,
                                             TrafficLog *traffic, bool *failed)
{
    *failed = false;
    if (!command.mqtt) return nullptr;
    MqttPublisher::Options options{*command.mqtt, std::move(command.mqttPassword),
                                   command.mqttCaFile};
    command.mqttPassword.reset();
    auto publisher = std::make_unique<MqttPublisher>(std::move(options));
    new WindowFeed(window, *publisher, traffic, command.mqttDiscovery);
    if (!publisher->start()) {
        std::fprintf(stderr, "quorvel: %s\n", publisher->errorString().toLocal8Bit().constData());
        *failed = true;
        return nullptr;
    }
    return publisher;
}

} // namespace publish
