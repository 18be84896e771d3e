#include "publish/windowfeed.h"

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
} // namespace

WindowFeed::WindowFeed(OptionIP &window, MqttPublisher &publisher, TrafficLog *traffic, bool quiet)
    : QObject(&publisher), m_window(window), m_publisher(publisher), m_traffic(traffic),
      m_quiet(quiet)
{
    connect(&window, &OptionIP::slotValuesRead, this, &WindowFeed::publishSlot);
    connect(&window, &OptionIP::snapshotTaken, this, &WindowFeed::publishCycle);
    connect(&window.linkStates, &links::LinkStates::linkChanged, this,
            [this](int link) { publishState(link, false); });
    connect(&publisher, &MqttPublisher::connected, this, &WindowFeed::republish);
    connect(&publisher, &MqttPublisher::event, this, &WindowFeed::report);
}

void WindowFeed::publishSlot(int slot)
{
    if (!m_publisher.isConnected()) return;
    for (const snapshot::ShownValue &value : m_window.shownValues()) {
        if (value.slot != slot || !value.current) continue;
        if (const std::optional<QString> topic = registerTopic(value))
            m_publisher.publish(*topic, value.text.toUtf8(), ValueQos, true);
    }
}

void WindowFeed::publishCycle()
{
    if (!m_publisher.isConnected()) return;
    m_publisher.publish(QStringLiteral("values"),
                        valuesJson(QDateTime::currentDateTime(), m_window.shownValues()), ValueQos,
                        false);
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

void WindowFeed::republish()
{
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
    new WindowFeed(window, *publisher, traffic, command.quiet);
    if (!publisher->start()) {
        std::fprintf(stderr, "quorvel: %s\n", publisher->errorString().toLocal8Bit().constData());
        *failed = true;
        return nullptr;
    }
    return publisher;
}

} // namespace publish
