#include "modbus/outstanding.h"

#include "modbus/frames.h"

#include <algorithm>

namespace frames
{

namespace
{

quint16 transactionOf(const QByteArray &frame)
{
    if (frame.size() < 2) return 0;
    return quint16((quint8(frame[0]) << 8) | quint8(frame[1]));
}

} // namespace

quint16 OutstandingRequests::nextTransaction()
{
    m_lastTransaction = m_lastTransaction == 0xFFFF ? 1 : quint16(m_lastTransaction + 1);
    return m_lastTransaction;
}

void OutstandingRequests::add(const OutstandingRequest &request)
{
    // An identifier comes round again only after 65535 requests; by then its entry is long
    // gone, but an answer must never be able to match two entries.
    m_requests.erase(std::remove_if(m_requests.begin(), m_requests.end(),
                                    [&](const OutstandingRequest &r) {
                                        return r.transaction == request.transaction;
                                    }),
                     m_requests.end());
    if (int(m_requests.size()) >= Capacity) {
        m_requests.erase(m_requests.begin());
        ++m_givenUp;
    }
    m_requests.push_back(request);
}

void OutstandingRequests::clear()
{
    m_givenUp += qint64(m_requests.size());
    m_requests.clear();
    m_ignoresTransaction = false;
}

std::optional<OutstandingRequest> OutstandingRequests::find(quint16 transaction) const
{
    const auto it =
        std::find_if(m_requests.begin(), m_requests.end(),
                     [&](const OutstandingRequest &r) { return r.transaction == transaction; });
    if (it == m_requests.end()) return std::nullopt;
    return *it;
}

std::optional<OutstandingRequest> OutstandingRequests::oldest() const
{
    if (m_requests.empty()) return std::nullopt;
    return m_requests.front();
}

std::vector<OutstandingRequest> OutstandingRequests::takeAll()
{
    std::vector<OutstandingRequest> taken;
    taken.swap(m_requests);
    m_givenUp += qint64(taken.size());
    return taken;
}

bool OutstandingRequests::contains(quint16 transaction) const
{
    return find(transaction).has_value();
}

qint64 OutstandingRequests::unanswered(qint64 nowMs) const
{
    return m_givenUp +
           std::count_if(m_requests.begin(), m_requests.end(), [&](const OutstandingRequest &r) {
               return r.sentAtMs < nowMs - MaxAgeMs;
           });
}

void OutstandingRequests::forgetOlderThan(qint64 oldestMs)
{
    const size_t before = m_requests.size();
    m_requests.erase(
        std::remove_if(m_requests.begin(), m_requests.end(),
                       [&](const OutstandingRequest &r) { return r.sentAtMs < oldestMs; }),
        m_requests.end());
    m_givenUp += qint64(before - m_requests.size());
}

ReplyVerdict OutstandingRequests::judge(const QByteArray &bytes, qint64 nowMs,
                                        std::optional<quint16> currentTransaction)
{
    forgetOlderThan(nowMs - MaxAgeMs);

    ReplyVerdict verdict;
    verdict.transaction = transactionOf(bytes);
    if (bytes.size() >= 6) verdict.lengthField = (quint8(bytes[4]) << 8) | quint8(bytes[5]);

    const FrameCheck check = checkFrame(bytes);
    if (check.status != FrameStatus::Whole) {
        verdict.kind = ReplyVerdict::Kind::Malformed;
        verdict.droppedBytes = int(bytes.size());
        verdict.owed = !m_requests.empty();
        // The current request's reply can no longer be read: its slot is over.
        verdict.current = currentTransaction && contains(*currentTransaction);
        return verdict;
    }

    auto match = m_requests.end();
    if (verdict.transaction == 0 && !m_requests.empty()) m_ignoresTransaction = true;
    if (verdict.transaction != 0) {
        match = std::find_if(m_requests.begin(), m_requests.end(),
                             [&](const auto &r) { return r.transaction == verdict.transaction; });
    } else if (m_requests.size() == 1) {
        // A device that does not echo the identifier can only be trusted with one request.
        match = m_requests.begin();
    } else if (!m_requests.empty()) {
        // Such a device answers in order, so the oldest request has had its answer now,
        // though it cannot be shown. Forgetting it lets the table drain back to one request
        // once the device is quick again, instead of staying full of requests it answered.
        verdict.retired = m_requests.front();
        m_requests.erase(m_requests.begin());
        return verdict;
    }
    if (match == m_requests.end()) return verdict;

    const OutstandingRequest request = *match;
    m_requests.erase(match);
    ReplyVerdict answered = classifyReply(bytes, request);
    answered.transaction = verdict.transaction;
    answered.lengthField = verdict.lengthField;
    answered.current = currentTransaction && *currentTransaction == request.transaction;
    return answered;
}

ReplyVerdict classifyReply(const QByteArray &frame, const OutstandingRequest &request)
{
    ReplyVerdict verdict;
    verdict.request = request;
    verdict.kind = ReplyVerdict::Kind::DataLoss;
    verdict.function = frame.size() > 7 ? quint8(frame[7]) : 0;
    verdict.byteCount = frame.size() > 8 ? quint8(frame[8]) : 0;

    if (carriesRegisters(frame, request.quantity, request.function)) {
        verdict.kind = ReplyVerdict::Kind::Registers;
        verdict.registers = request.quantity;
    } else if (verdict.function == (request.function | 0x80)) {
        verdict.loss = ReplyVerdict::Loss::Exception;
        verdict.exceptionCode = verdict.byteCount;
        verdict.byteCount = 0;
    } else if (verdict.function != request.function) {
        verdict.loss = ReplyVerdict::Loss::Function;
    } else if (verdict.byteCount != valueformat::dataBytes(request.function, request.quantity)) {
        verdict.loss = ReplyVerdict::Loss::ByteCount;
    } else {
        verdict.loss = ReplyVerdict::Loss::Truncated;
    }
    return verdict;
}

} // namespace frames
