#include "figures/linkfigures.h"

#include "modbus/outstanding.h"

#include <QStringList>
#include <algorithm>

void LinkFigures::requestSent(int link)
{
    if (link < 0 || link >= LinkCount) return;
    ++m_links[size_t(link)].sent;
}

void LinkFigures::rtuDropped(int link, bool crcError)
{
    if (link < 0 || link >= LinkCount) return;
    Counts &c = m_links[size_t(link)];
    ++(crcError ? c.crcErrors : c.unmatched);
}

void LinkFigures::frameJudged(int link, const frames::ReplyVerdict &verdict, qint64 nowMs)
{
    if (link < 0 || link >= LinkCount) return;
    Counts &c = m_links[size_t(link)];
    using Kind = frames::ReplyVerdict::Kind;
    switch (verdict.kind) {
    case Kind::Unmatched:
        ++c.unmatched;
        return;
    case Kind::Malformed:
        ++c.malformed;
        // A reply was owed and cannot be read any more: the window shows it as data loss.
        if (verdict.owed) ++c.dataLoss;
        return;
    case Kind::DataLoss:
        ++c.dataLoss;
        break;
    case Kind::Registers:
        break;
    }
    ++c.taken;
    c.lastReplyMs = nowMs;
    if (verdict.late()) {
        ++c.late;
        return;
    }
    if (!verdict.current || !verdict.request) return;
    const qint64 roundTrip = std::max<qint64>(0, nowMs - verdict.request->sentAtMs);
    if (int(c.roundTrips.size()) < RoundTrips)
        c.roundTrips.push_back(roundTrip);
    else
        c.roundTrips[c.nextRoundTrip] = roundTrip;
    c.nextRoundTrip = (c.nextRoundTrip + 1) % size_t(RoundTrips);
}

LinkFigures::Figures LinkFigures::figures(int link, qint64 nowMs, qint64 unanswered) const
{
    Figures f;
    f.unanswered = unanswered;
    if (link < 0 || link >= LinkCount) return f;
    const Counts &c = m_links[size_t(link)];
    f.sent = c.sent;
    f.taken = c.taken;
    f.late = c.late;
    f.dataLoss = c.dataLoss;
    f.unmatched = c.unmatched;
    f.malformed = c.malformed;
    f.crcErrors = c.crcErrors;
    if (!c.roundTrips.empty()) {
        std::vector<qint64> sorted = c.roundTrips;
        std::sort(sorted.begin(), sorted.end());
        f.medianRoundTripMs = sorted[(sorted.size() - 1) / 2];
        f.worstRoundTripMs = sorted.back();
    }
    if (c.lastReplyMs) f.sinceLastReplyMs = std::max<qint64>(0, nowMs - *c.lastReplyMs);
    return f;
}

namespace figures
{

namespace
{

QString agoText(const std::optional<qint64> &ms)
{
    if (!ms) return QStringLiteral("none yet");
    return QStringLiteral("%1 s ago").arg(double(*ms) / 1000.0, 0, 'f', 1);
}

QString roundTripText(const LinkFigures::Figures &f)
{
    if (!f.medianRoundTripMs) return QStringLiteral("none yet");
    return QStringLiteral("median %1 ms, worst %2 ms")
        .arg(*f.medianRoundTripMs)
        .arg(*f.worstRoundTripMs);
}

} // namespace

QString tooltipText(QChar link, const LinkFigures::Figures &f)
{
    return QStringList{
        QStringLiteral("Device %1 since start:").arg(link),
        QStringLiteral("requests sent: %1").arg(f.sent),
        QStringLiteral("replies taken: %1 (%2 late)").arg(f.taken).arg(f.late),
        QStringLiteral("data loss: %1").arg(f.dataLoss),
        QStringLiteral("frames dropped: %1 unmatched, %2 malformed%3")
            .arg(f.unmatched)
            .arg(f.malformed)
            .arg(f.crcErrors ? QStringLiteral(", %1 CRC errors").arg(f.crcErrors) : QString()),
        QStringLiteral("no answer (forgotten after 10 s, evicted, or lost with the connection): %1")
            .arg(f.unanswered),
        QStringLiteral("round trip, last %1 replies: %2")
            .arg(LinkFigures::RoundTrips)
            .arg(roundTripText(f)),
        QStringLiteral("last reply: %1").arg(agoText(f.sinceLastReplyMs)),
    }
        .join(u'\n');
}

QString summaryText(const LinkFigures::Figures &f)
{
    const QString malformed =
        f.crcErrors ? QStringLiteral("%1 malformed %2 CRC errors").arg(f.malformed).arg(f.crcErrors)
                    : QStringLiteral("%1 malformed").arg(f.malformed);
    return QStringLiteral("figures: sent %1, taken %2 (%3 late), data loss %4, dropped %5 "
                          "unmatched %6, no answer %7, round trip %8, last reply %9")
        .arg(f.sent)
        .arg(f.taken)
        .arg(f.late)
        .arg(f.dataLoss)
        .arg(f.unmatched)
        .arg(malformed)
        .arg(f.unanswered)
        .arg(roundTripText(f), agoText(f.sinceLastReplyMs));
}

} // namespace figures
