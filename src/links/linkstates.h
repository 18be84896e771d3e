#pragma once

#include <QObject>
#include <QString>
#include <array>

namespace links
{

// A link's connection as those outside the window are told it: not the window's caption,
// which flips with every request, but what changed and why.
enum class LinkState {
    Disconnected, // not in use, or closed on request
    Connecting,   // a first attempt is under way
    Connected,
    Refused, // could not be connected (refused, unreachable, timed out, bad port)
    Lost,    // was connected and went away; retries change nothing until it is back
};

// "disconnected", "connecting", "connected", "refused", "lost".
QString stateName(LinkState state);

// Turns what the links' sockets and the slots' reads do into changes of state, each with one
// line that says why. A device that stays down changes nothing on its retries, so whoever
// listens (the journal, the broker) hears of it once. No widgets, no sockets.
class LinkStates : public QObject
{
    Q_OBJECT

public:
    static constexpr int LinkCount = 3;
    static constexpr int SlotCount = 5;

    explicit LinkStates(QObject *parent = nullptr);

    // What a link's socket did. `endpoint` is "host:port".
    void connecting(int link, const QString &endpoint);
    void connected(int link);
    void cannotConnect(int link, const QString &why);
    void lost(int link, const QString &why);
    // The operator's DisConect.
    void closedOnRequest(int link);

    // A slot's read on `link` failed (`why`) or brought its registers.
    void slotRead(int slot, int link, bool failed, const QString &why);
    // The slot names other registers now: what it failed at is forgotten, without a line.
    void slotEdited(int slot);

    LinkState state(int link) const;
    bool slotFailing(int slot) const;

signals:
    // `line` says what happened, for a person: "device A (10.0.0.5:502): connected".
    void linkChanged(int link, links::LinkState state, const QString &line);
    void slotChanged(int slot, bool failing, const QString &line);

private:
    struct Link {
        LinkState state = LinkState::Disconnected;
        QString endpoint;
        QString why;         // the last reason it could not be connected, told once
        bool everUp = false; // connected since start: coming up again is "back"
    };
    Link *at(int link);
    void change(int link, LinkState state, const QString &text);
    QString name(int link) const;

    std::array<Link, LinkCount> m_links{};
    std::array<bool, SlotCount> m_slotFailing{};
};

} // namespace links
