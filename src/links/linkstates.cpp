#include "links/linkstates.h"

namespace links
{

QString stateName(LinkState state)
{
    switch (state) {
    case LinkState::Disconnected:
        return QStringLiteral("disconnected");
    case LinkState::Connecting:
        return QStringLiteral("connecting");
    case LinkState::Connected:
        return QStringLiteral("connected");
    case LinkState::Refused:
        return QStringLiteral("refused");
    case LinkState::Lost:
        return QStringLiteral("lost");
    }
    return QString();
}

LinkStates::LinkStates(QObject *parent) : QObject(parent) {}

LinkStates::Link *LinkStates::at(int link)
{
    return link >= 0 && link < LinkCount ? &m_links[size_t(link)] : nullptr;
}

QString LinkStates::name(int link) const
{
    const Link &l = m_links[size_t(link)];
    const QString device = QStringLiteral("device ") + QChar(u'A' + link);
    return l.endpoint.isEmpty() ? device : device + QStringLiteral(" (") + l.endpoint + u')';
}

void LinkStates::change(int link, LinkState state, const QString &text)
{
    m_links[size_t(link)].state = state;
    emit linkChanged(link, state, name(link) + QStringLiteral(": ") + text);
}

void LinkStates::connecting(int link, const QString &endpoint)
{
    Link *l = at(link);
    if (!l) return;
    // Another address is another device: what was said of the old one no longer holds.
    if (l->endpoint != endpoint) l->why.clear();
    l->endpoint = endpoint;
    // A retry of a link that is down is no news; only a first attempt is.
    if (l->state == LinkState::Disconnected)
        change(link, LinkState::Connecting, QStringLiteral("connecting"));
}

void LinkStates::connected(int link)
{
    Link *l = at(link);
    if (!l || l->state == LinkState::Connected) return;
    const bool back = l->everUp && (l->state == LinkState::Lost || l->state == LinkState::Refused);
    l->everUp = true;
    l->why.clear();
    change(link, LinkState::Connected, back ? QStringLiteral("back") : QStringLiteral("connected"));
}

void LinkStates::cannotConnect(int link, const QString &why)
{
    Link *l = at(link);
    if (!l || l->state == LinkState::Lost) return;
    // The same fault on every retry is told once; another fault is told, the state stays.
    if (l->state == LinkState::Refused && l->why == why) return;
    l->why = why;
    change(link, LinkState::Refused, QStringLiteral("cannot connect: ") + why);
}

void LinkStates::lost(int link, const QString &why)
{
    Link *l = at(link);
    if (!l || l->state != LinkState::Connected) return;
    l->why.clear();
    change(link, LinkState::Lost, QStringLiteral("lost: ") + why);
}

void LinkStates::closedOnRequest(int link)
{
    Link *l = at(link);
    if (!l || l->state == LinkState::Disconnected) return;
    l->why.clear();
    change(link, LinkState::Disconnected, QStringLiteral("disconnected on request"));
}

void LinkStates::slotRead(int slot, int link, bool failed, const QString &why)
{
    // Told when it starts failing and when it recovers, not on every failed read between.
    if (slot < 0 || slot >= SlotCount || failed == m_slotFailing[size_t(slot)]) return;
    m_slotFailing[size_t(slot)] = failed;
    // Counted from 1, as an administrator names slots.
    QString text = QStringLiteral("slot %1").arg(slot + 1);
    if (link >= 0 && link < LinkCount)
        text += QStringLiteral(" (device ") + QChar(u'A' + link) + u')';
    text += failed ? QStringLiteral(": failing: ") + why : QStringLiteral(": recovered");
    emit slotChanged(slot, failed, text);
}

void LinkStates::slotEdited(int slot)
{
    if (slot < 0 || slot >= SlotCount) return;
    m_slotFailing[size_t(slot)] = false;
}

LinkState LinkStates::state(int link) const
{
    return link >= 0 && link < LinkCount ? m_links[size_t(link)].state : LinkState::Disconnected;
}

bool LinkStates::slotFailing(int slot) const
{
    return slot >= 0 && slot < SlotCount && m_slotFailing[size_t(slot)];
}

} // namespace links
