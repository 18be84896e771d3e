#include "app/windowfeed.h"

#include "app/commandline.h"
#include "app/optionip.h"
#include "publish/mqttpublisher.h"
#include "publish/payloads.h"
#include "traffic/trafficlog.h"

#include <QDateTime>
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
                       std::optional<QString> discoveryPrefix, bool quiet)
    : QObject(&publisher), m_window(window), m_publisher(publisher), m_traffic(traffic),
      m_quiet(quiet), m_discovery(std::move(discoveryPrefix))
{
    static_assert(OptionIP::LinkCount == 3, "one state per link");
    connect(&window, &OptionIP::slotValuesRead, this, [this](int slot) {
        m_readsSinceRecord.slotRead(slot);
        publishSlot(slot);
    });
    connect(&window, &OptionIP::snapshotTaken, this, &WindowFeed::publishCycle);
    connect(&window, &OptionIP::slotLayoutChanged, this, [this] { announce(false); });
    connect(&window.linkStates, &links::LinkStates::linkChanged, this,
            [this](int link) { publishState(link, false); });
    connect(&publisher, &MqttPublisher::connected, this, &WindowFeed::republish);
    connect(&publisher, &MqttPublisher::event, this, &WindowFeed::report);
}

void WindowFeed::publishSlot(int slot)
{
    if (!m_publisher.isConnected()) return;
    const MqttPublisher::Batch batch(m_publisher);
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

void WindowFeed::publishState(int link, bool again)
{
    if (link < 0 || link >= OptionIP::LinkCount) return;
    const QString state = links::stateName(m_window.linkStates.state(link));
    // Another reason for the same state is news for the journal, not for a program.
    if (!again && state == m_states[size_t(link)]) return;
    m_states[size_t(link)] = state;
    m_publisher.publish(QString(QChar(u'A' + link)) + QStringLiteral("/state"), state.toUtf8(),
                        StatusQos, true);
}

void WindowFeed::announce(bool again)
{
    if (!m_discovery || !m_publisher.isConnected()) return;
    const MqttPublisher::Batch batch(m_publisher);
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
    const MqttPublisher::Batch batch(m_publisher);
    // Before the values, so an entity exists by the time its state comes.
    announce(true);
    // A broker that comes back may have lost what it retained.
    m_sentValues.clear();
    for (int link = 0; link < OptionIP::LinkCount; ++link)
        publishState(link, true);
    for (int slot = 0; slot < OptionIP::SlotCount; ++slot)
        publishSlot(slot);
}

void WindowFeed::report(const QString &text)
{
    if (!m_quiet) {
        std::fprintf(stderr, "quorvel: %s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }
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
    new WindowFeed(window, *publisher, traffic, command.mqttDiscovery, command.quiet);
    if (!publisher->start()) {
        std::fprintf(stderr, "quorvel: %s\n", publisher->errorString().toLocal8Bit().constData());
        *failed = true;
        return nullptr;
    }
    return publisher;
}

} // namespace publish
