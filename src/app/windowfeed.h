#pragma once

#include "snapshot/shownvalues.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
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
// when data.txt is rewritten, each link's status caption when it changes, and all retained
// state again whenever the broker connection is made; with discovery, a Home Assistant config
// for every value cell shown, removed when the cell goes. The broker's comings and goings go
// to standard error and the traffic log.
class WindowFeed : public QObject
{
public:
    // Lives as long as the publisher; the window and the log must outlive it.
    // `discoveryPrefix`: announce every value cell to Home Assistant under it; none: not.
    WindowFeed(OptionIP &window, MqttPublisher &publisher, TrafficLog *traffic,
               std::optional<QString> discoveryPrefix = std::nullopt);

    // The link captions signal no change: they are compared on every read and every cycle,
    // and this often besides, for the changes between (connecting, closing, polling stopped).
    static constexpr int CaptionCheckMs = 1000;

private:
    void publishSlot(int slot);
    void publishCycle();
    void publishCaptions(bool all);
    void republish();
    void announce(bool again);
    void report(const QString &text);

    OptionIP &m_window;
    MqttPublisher &m_publisher;
    TrafficLog *m_traffic;
    std::array<QString, 3> m_captions;
    snapshot::ReadsSince m_readsSinceRecord;
    // Each register topic's payload as last published since the broker connection was made.
    QHash<QString, QByteArray> m_sentValues;
    std::optional<QString> m_discovery;
    // Each discovery config on the broker, topic to payload.
    QHash<QString, QByteArray> m_configs;
    QTimer m_captionTimer;
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
