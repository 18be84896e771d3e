#pragma once

#include <QByteArray>
#include <QString>

namespace links
{
class LinkStates;
}

// Each change of a link's state and of a slot's health as one line with the time on
// standard error, which a service manager keeps in its journal.
void journalLinkStates(links::LinkStates &states);

// The service manager's notification socket (NOTIFY_SOCKET): readiness, a one-line status and
// the watchdog's pings. Without the variable every call does nothing.
class ServiceNotifier
{
public:
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier &) = delete;
    ServiceNotifier &operator=(const ServiceNotifier &) = delete;

    bool active() const { return m_fd >= 0; }
    // The settings are read and the first connection sequence has started.
    void ready(const QString &status);
    // A poll cycle ran: the watchdog's ping (when the manager wants one) and the status.
    void cycle(const QString &status);

    // One datagram to the socket; false when there is none or it was not taken.
    bool send(const QByteArray &message);

private:
    int m_fd = -1;
    QByteArray m_address;
    bool m_watchdog = false;
};
