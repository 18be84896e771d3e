#pragma once

#include "snapshot/shownvalues.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <array>
#include <memory>
#include <optional>

class OptionIP;
class TrafficLog;

namespace publish
{

class MqttPublisher;

// Hands the publisher what the window shows: each value a reply brings that differs from the
// one last published (retained, one topic per register), the whole grid once a cycle as JSON
// when data.txt is rewritten, each link's state when it changes, and all retained state again
// whenever the broker connection is made; with discovery, a Home Assistant config for every
// value cell shown, removed when the cell goes. The broker's comings and goings go to standard
// error and the traffic log.
class WindowFeed : public QObject
{
public:
    // Lives as long as the publisher; the window and the log must outlive it.
    // `discoveryPrefix`: announce every value cell to Home Assistant under it; none: not.
    // `quiet`: the broker's comings and goings go to the log only, not to standard error.
    WindowFeed(OptionIP &window, MqttPublisher &publisher, TrafficLog *traffic,
               std::optional<QString> discoveryPrefix = std::nullopt, bool quiet = false);

private:
    void publishSlot(int slot);
    void publishCycle();
    // `again`: also when it was published before (the broker is back).
    void publishState(int link, bool again);
    void republish();
    void announce(bool again);
    void report(const QString &text);

    OptionIP &m_window;
    MqttPublisher &m_publisher;
    TrafficLog *m_traffic;
    bool m_quiet;
    std::array<QString, 3> m_states;
    snapshot::ReadsSince m_readsSinceRecord;
    // Each register topic's payload as last published since the broker connection was made.
    QHash<QString, QByteArray> m_sentValues;
    std::optional<QString> m_discovery;
    // Each discovery config on the broker, topic to payload.
    QHash<QString, QByteArray> m_configs;
};

} // namespace publish

struct CommandLine;

namespace publish
{

// The publisher the command line asks for (--mqtt), fed from the window and started; none
// without --mqtt. Without one when it cannot start: the reason is then on standard error.
std::unique_ptr<MqttPublisher> publishWindow(CommandLine &command, OptionIP &window,
                                             TrafficLog *traffic, bool *failed);

} // namespace publish
