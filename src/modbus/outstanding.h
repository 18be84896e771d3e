#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>
#include <vector>

// The requests a link has sent and not yet had answered, and what each frame taken from
// that link amounts to. No widgets, no sockets: the window asks, then shows the answer.
namespace frames
{

struct OutstandingRequest {
    quint16 transaction = 0;
    int slot = -1;
    int quantity = 0; // registers (or bits) asked for
    qint64 sentAtMs = 0;
    quint32 layout = 0; // which texts of its slot the request was built from
    quint8 function = 0x03;
};

// The decision on one frame taken from a link (or, when malformed, on everything that was
// waiting there). A value, so it can be shown, logged and tested alike.
struct ReplyVerdict {
    enum class Kind {
        Registers, // answers a request with exactly the registers it asked for
        DataLoss,  // answers a request, but without its registers (see `loss`)
        Unmatched, // answers no outstanding request of the link: dropped
        Malformed, // length field out of range: every waiting byte dropped to resynchronise
    };
    enum class Loss {
        None,
        Exception, // the request's function + 0x80, with an exception code
        ByteCount, // the request's function, but a byte count other than the quantity asks
        Function,  // some other function code
        Truncated, // the byte count says more data than the frame holds
    };

    Kind kind = Kind::Unmatched;
    Loss loss = Loss::None;
    quint16 transaction = 0; // as the frame carries it
    // The request the frame answers (Registers and DataLoss only).
    std::optional<OutstandingRequest> request;
    // It answers the current slot's request, so it finishes that slot. A reply that answers
    // a request but not the current one is late: it fills its own slot and nothing else.
    bool current = false;
    int registers = 0;     // Registers: how many registers, or bits
    int function = 0;      // function code of the frame
    int exceptionCode = 0; // Exception
    int byteCount = 0;     // the frame's byte count (DataLoss)
    int lengthField = 0;   // MBAP length field (Malformed: out of range)
    int droppedBytes = 0;  // Malformed: bytes dropped
    bool owed = false;     // Malformed: the link had outstanding requests, so a reply was lost
    // Unmatched identifier 0 with several requests owed: the oldest, taken as answered.
    std::optional<OutstandingRequest> retired;

    bool late() const { return request.has_value() && !current; }
};

// One link's outstanding requests: at most Capacity of them, none older than MaxAgeMs.
class OutstandingRequests
{
public:
    static constexpr int Capacity = 16;
    static constexpr qint64 MaxAgeMs = 10000;

    // Identifier for the next request: 1 to 65535, then 1 again; 0 is never used.
    quint16 nextTransaction();

    // Notes a request just sent; when the table is full the oldest entry makes room.
    void add(const OutstandingRequest &request);

    // Forgets every request, as when the link closes. The identifier counter runs on, and
    // the link is trusted to echo identifiers again.
    void clear();

    int size() const { return int(m_requests.size()); }
    // Requests given up without an answer: forgotten after MaxAgeMs (counted as soon as they
    // are that old), evicted from a full table, taken as unanswered, or dropped when the link
    // closed.
    qint64 unanswered(qint64 nowMs) const;
    bool contains(quint16 transaction) const;
    std::optional<OutstandingRequest> find(quint16 transaction) const;
    // The request owed longest, if any.
    std::optional<OutstandingRequest> oldest() const;
    // Forgets every request and hands them back: they are taken as unanswered.
    std::vector<OutstandingRequest> takeAll();

    // The link has answered a request with identifier 0: its replies can only be told apart
    // while it owes one request at a time.
    bool ignoresTransaction() const { return m_ignoresTransaction; }
    // How long such a link is given to answer before its request counts as unanswered.
    static constexpr qint64 OneAtATimeWaitMs = 1000;

    // Decides what `bytes` (one whole frame as checkFrame delimits it, or every waiting byte
    // when that was malformed) amount to, and takes the request they answer out of the table.
    // `currentTransaction` is the current slot's request when it went out on this link.
    ReplyVerdict judge(const QByteArray &bytes, qint64 nowMs,
                       std::optional<quint16> currentTransaction);

private:
    void forgetOlderThan(qint64 oldestMs);

    std::vector<OutstandingRequest> m_requests; // oldest first
    quint16 m_lastTransaction = 0;
    bool m_ignoresTransaction = false;
    qint64 m_givenUp = 0;
};

// What the bytes of a whole reply say about the request they answer.
ReplyVerdict classifyReply(const QByteArray &frame, const OutstandingRequest &request);

} // namespace frames
