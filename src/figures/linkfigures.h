#pragma once

#include <QString>
#include <QtGlobal>
#include <array>
#include <optional>
#include <vector>

namespace frames
{
struct ReplyVerdict;
}

// How each link has done since the program started: requests sent, replies taken, losses,
// drops and round trips. Widget-free; fed by the reply path, read by the status label's
// tooltip and the traffic log. Times are milliseconds of one monotonic clock.
class LinkFigures
{
public:
    static constexpr int LinkCount = 3;
    // Round trips kept per link for the median and the worst.
    static constexpr int RoundTrips = 100;

    struct Figures {
        qint64 sent = 0;
        qint64 taken = 0; // replies that answered a request, with or without its registers
        qint64 late = 0;  // of those, replies to a slot the cycle had moved on from
        qint64 dataLoss = 0;
        qint64 unmatched = 0;
        qint64 malformed = 0;
        qint64 crcErrors = 0; // RTU frames dropped for a wrong CRC
        qint64 unanswered = 0; // given by the caller: the link's table of owed requests keeps it
        std::optional<qint64> medianRoundTripMs;
        std::optional<qint64> worstRoundTripMs;
        std::optional<qint64> sinceLastReplyMs;
    };

    void requestSent(int link);
    void frameJudged(int link, const frames::ReplyVerdict &verdict, qint64 nowMs);
    // An RTU link dropped bytes: a frame with a wrong CRC, or bytes no request asked for
    // (counted as unmatched).
    void rtuDropped(int link, bool crcError);

    Figures figures(int link, qint64 nowMs, qint64 unanswered) const;

private:
    struct Counts {
        qint64 sent = 0, taken = 0, late = 0, dataLoss = 0, unmatched = 0, malformed = 0,
               crcErrors = 0;
        std::vector<qint64> roundTrips; // a ring of the last RoundTrips
        size_t nextRoundTrip = 0;
        std::optional<qint64> lastReplyMs;
    };
    std::array<Counts, LinkCount> m_links;
};

namespace figures
{

// The tooltip of a link's status label, several lines.
QString tooltipText(QChar link, const LinkFigures::Figures &f);
// One traffic log line's text: "figures: sent 120, taken 118 (3 late), ...".
QString summaryText(const LinkFigures::Figures &f);

} // namespace figures
