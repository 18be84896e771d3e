#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <memory>

class OptionIP;
class TrafficLog;

namespace publish
{

class MqttPublisher;

// Hands the publisher what the window shows: each value a reply brings (retained, one topic
// per register), the whole grid once a cycle as JSON when data.txt is rewritten, each link's
// state when it changes, and all retained state again whenever the broker is back.
// The broker's comings and goings go to standard error and the traffic log.
class WindowFeed : public QObject
{
public:
    // Lives as long as the publisher; the window and the log must outlive it.
    // `quiet`: the broker's comings and goings go to the log only, not to standard error.
    WindowFeed(OptionIP &window, MqttPublisher &publisher, TrafficLog *traffic, bool quiet);

private:
    void publishSlot(int slot);
    void publishCycle();
    // `again`: also when it was published before (the broker is back).
    void publishState(int link, bool again);
    void republish();
    void report(const QString &text);

    OptionIP &m_window;
    MqttPublisher &m_publisher;
    TrafficLog *m_traffic;
    bool m_quiet;
    std::array<QString, 3> m_states;
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
