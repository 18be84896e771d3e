#include "app/optionip.h"

#include "app/ui.h"
#include "links/winsock.h"
#include "modbus/frames.h"
#include "numbers/numbers.h"
#include "traffic/trafficlog.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <optional>

namespace
{

const QString TransmitCaption = QStringLiteral("Transmit");
const QString TransmitAgainCaption = QStringLiteral("Transmit..............");
const QString NotConnectedCaption = QStringLiteral("Not connected");
const QString ReceivedCaption = QStringLiteral("Received");
const QString DataLossCaption = QStringLiteral("Data Loss");
const QString UnreadMark = QStringLiteral("???");

// Bytes of a reply kept in rxFrame, from index 1.
constexpr int StoredReplyBytes = 250;
// Longest frame a valid length field allows: the MBAP header up to the length, then the rest.
constexpr int LongestFrame = 6 + frames::MaxLengthField;

bool isSlot(int index)
{
    return index >= 0 && index < OptionIP::SlotCount;
}

bool isLink(int index)
{
    return index >= 0 && index < OptionIP::LinkCount;
}

int valueColumn(int slot)
{
    return (slot + 1) * 2;
}

// Rows marked "???" for a slot whose link is not connected: rows 1 to the count.
int markedRowCount(const QString &countText)
{
    if (const std::optional<double> count = numbers::readLocaleNumber(countText)) {
        if (!(*count >= 1)) return 0;
        return int(std::min(std::floor(*count), double(frames::LastRow)));
    }
    // A count that is no number marks as many rows as a request would ask for.
    const std::array<quint8, 2> quantity = frames::quantityBytes(countText);
    return std::min((quantity[0] << 8) | quantity[1], frames::LastRow);
}

// Rows a carrying reply fills, by the count text as it reads now.
int decodedRowCount(const QString &countText, int quantityAsked)
{
    const std::optional<double> count = numbers::readLocaleNumber(countText);
    // A count that is no number shows every register the request asked for.
    return frames::decodedRowCount(count ? *count : double(quantityAsked), quantityAsked);
}

// Monotonic milliseconds, for the age of outstanding requests.
qint64 nowMs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadline();
}

} // namespace

void OptionIP::cmdRead_Click()
{
    if (!isSlot(slotIdx)) {
        // No slot to read; the cycle still has to move on.
        endOfSlot();
        return;
    }
    const auto slot = size_t(slotIdx);

    const int selected = LstIP[slot]->currentIndex();
    if (isLink(selected)) devIdx = quint8(selected);
    awaitingReply = false;

    // An unused slot (count 0) is not read: a device would only answer it with an exception.
    const frames::Request request =
        frames::buildReadRequest(strReg[slot]->text(), LegReg[slot]->text());
    if (frames::requestedQuantity(request) == 0) {
        endOfSlot();
        return;
    }

    // A link index that names no link reads as a link that is not connected.
    Winsock *link = isLink(devIdx) ? Winsock1[devIdx] : nullptr;
    QLabel *status = isLink(devIdx) ? lblStatus[devIdx] : nullptr;

    if (link && link->state() == Winsock::Connected) {
        // Whatever still waits on the link stays: it may be a late reply that is owed.
        frames::OutstandingRequests &owed = outstanding[devIdx];
        txFrame = frames::withTransaction(request, owed.nextTransaction());
        requestSent = true;
        const QByteArray bytes(reinterpret_cast<const char *>(txFrame.data()), int(txFrame.size()));
        awaitingReply = link->sendData(bytes);
        if (awaitingReply) {
            awaitedTransaction = quint16((txFrame[0] << 8) | txFrame[1]);
            owed.add({awaitedTransaction, slotIdx, frames::requestedQuantity(txFrame), nowMs()});
            emit requestWentOut(devIdx);
        }
        status->setText(status->text() == TransmitCaption ? TransmitAgainCaption : TransmitCaption);
        return;
    }

    if (status) status->setText(NotConnectedCaption);

    const bool notConnected = !link || link->state() != Winsock::Connected;
    const bool oughtToBeConnected = link && linkMarks.oughtToConnect(devIdx);
    if (notConnected && oughtToBeConnected) ui::enableTimer(tloading);

    const int rows = markedRowCount(LegReg[slot]->text());
    for (int row = 1; row <= rows; ++row)
        setCellText(row, valueColumn(slotIdx), UnreadMark);

    endOfSlot();
}

void OptionIP::Winsock1_DataArrival(int index, qint64 bytesTotal)
{
    // What is waiting is looked at directly; the count may already be out of date.
    Q_UNUSED(bytesTotal);
    if (!isLink(index)) return;
    Winsock *link = Winsock1[size_t(index)];

    // A device answering its backlog sends several replies at once; each is taken whole.
    for (;;) {
        const frames::FrameCheck check = frames::checkFrame(link->peek(LongestFrame));
        if (check.status == frames::FrameStatus::Incomplete) return;

        const bool whole = check.status == frames::FrameStatus::Whole;
        const QByteArray frame = link->take(whole ? check.length : link->bytesAvailable());
        if (frame.isEmpty()) return;
        const int stored = std::min(int(frame.size()), StoredReplyBytes);
        for (int k = 0; k < stored; ++k)
            rxFrame[size_t(k + 1)] = quint8(frame.at(k));

        const bool currentHere = awaitingReply && index == int(devIdx);
        const frames::ReplyVerdict verdict = outstanding[size_t(index)].judge(
            frame, nowMs(),
            currentHere ? std::optional<quint16>(awaitedTransaction) : std::nullopt);
        if (m_traffic) m_traffic->received(index, frame, traffic::verdictText(verdict));
        emit replyJudged(index, verdict);
        showReply(index, verdict);
        if (!whole) return;
    }
}

void OptionIP::showReply(int index, const frames::ReplyVerdict &verdict)
{
    using Kind = frames::ReplyVerdict::Kind;
    QLabel *status = lblStatus[size_t(index)];
    const int slot = verdict.request ? verdict.request->slot : -1;

    if (verdict.kind == Kind::Registers && isSlot(slot)) {
        Label6->setText(frames::frameLengthText(rxFrame[9]));
        const int rows = decodedRowCount(LegReg[size_t(slot)]->text(), verdict.registers);
        for (int row = 1; row <= rows; ++row) {
            const auto high = size_t(10 + 2 * (row - 1));
            if (high + 1 >= rxFrame.size()) break;
            setCellText(row, valueColumn(slot),
                        frames::registerText(rxFrame[high], rxFrame[high + 1]));
        }
        status->setText(ReceivedCaption);
        ui::setBackColor(status, ui::green());
        emit slotValuesRead(slot);
    } else if (verdict.kind == Kind::DataLoss ||
               (verdict.kind == Kind::Malformed && verdict.owed)) {
        status->setText(DataLossCaption);
        ui::setBackColor(status, ui::yellow());
    }

    if (verdict.current) {
        awaitingReply = false;
        endOfSlot();
    }
}

void OptionIP::cmdConnectDev_Click()
{
    ui::disableTimer(Timer4);
    bar[0]->setVisible(true);

    const int lastSlot = SlotCount - 1;
    slotIdx = (slotIdx >= lastSlot || slotIdx < 0) ? qint16(0) : qint16(slotIdx + 1);
    for (int k = 0; k < SlotCount; ++k)
        ui::setBackColor(strReg[size_t(k)], k == slotIdx ? ui::green() : ui::windowBackground());

    cmdRead_Click();
}

void OptionIP::Timer3_Timer()
{
    cmdConnectDev_Click();
    // The step only sent the request, so this snapshot holds the grid from before its reply.
    print_click();
}

void OptionIP::Timer4_Timer()
{
    cmdConnectDev_Click();
}

void OptionIP::endOfSlot()
{
    const int lastSlot = SlotCount - 1;
    if (slotIdx < lastSlot) {
        ui::enableTimer(Timer4);
        return;
    }
    ui::setBackColor(strReg[size_t(lastSlot)], ui::windowBackground());
}
