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
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
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
    // A step that was waiting for its link is over: this one takes its place.
    m_stepWait->stop();
    m_waitingLink = -1;

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
    const frames::Request request = frames::buildReadRequest(
        strReg[slot]->text(), LegReg[slot]->text(), slotFormat(slotIdx), QLocale());
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
        bool unanswered = false;
        if ((owed.ignoresTransaction() || link->speaksRtu()) && owed.size() > 0) {
            // Its replies carry no identifier (RTU frames have none), so they can only be told
            // apart while it owes one request: wait for that reply, or until the request
            // counts as unanswered.
            const qint64 waited = nowMs() - owed.oldest()->sentAtMs;
            if (waited < frames::OutstandingRequests::OneAtATimeWaitMs) {
                m_waitingLink = devIdx;
                m_stepWait->start(int(frames::OutstandingRequests::OneAtATimeWaitMs - waited));
                return;
            }
            forgetUnanswered(devIdx);
            unanswered = true;
        }
        txFrame = frames::withTransaction(request, owed.nextTransaction());
        requestSent = true;
        const QByteArray bytes(reinterpret_cast<const char *>(txFrame.data()), int(txFrame.size()));
        awaitingReply = link->sendData(bytes);
        if (awaitingReply && m_traffic) m_traffic->sent(devIdx, slotIdx, bytes);
        status->setText(status->text() == TransmitCaption ? TransmitAgainCaption : TransmitCaption);
        if (awaitingReply) {
            awaitedTransaction = quint16((txFrame[0] << 8) | txFrame[1]);
            owed.add({awaitedTransaction, slotIdx, frames::requestedQuantity(txFrame), nowMs(),
                      slotReads.layout(slotIdx), frames::requestedFunction(txFrame)});
            // The slot's request of the cycle before never came back.
            if (slotReads.sent(slotIdx, devIdx, awaitedTransaction)) unanswered = true;
            showSlotHealth(slotIdx);
            emit requestWentOut(devIdx);
        }
        // Shown after the send's own caption, so it stays until the link's next request.
        if (unanswered) showDataLoss(devIdx);
        return;
    }

    if (status) status->setText(NotConnectedCaption);
    if (m_traffic) m_traffic->slotSkipped(devIdx, slotIdx);

    const bool notConnected = !link || link->state() != Winsock::Connected;
    const bool oughtToBeConnected = link && linkMarks.oughtToConnect(devIdx);
    if (notConnected && oughtToBeConnected) ui::enableTimer(tloading);

    const int rows = markedRowCount(LegReg[slot]->text());
    for (int row = 1; row <= rows; ++row)
        setCellText(row, valueColumn(slotIdx), UnreadMark);
    showSlotHealth(slotIdx);

    endOfSlot();
}

void OptionIP::forgetUnanswered(int index)
{
    for (const frames::OutstandingRequest &r : outstanding[size_t(index)].takeAll()) {
        slotReads.unanswered(r.slot, r.layout, index, r.transaction);
        showSlotHealth(r.slot);
    }
}

void OptionIP::Winsock1_DataArrival(int index, qint64 bytesTotal)
{
    // What is waiting is looked at directly; the count may already be out of date.
    Q_UNUSED(bytesTotal);
    if (!isLink(index)) return;
    Winsock *link = Winsock1[size_t(index)];
    frames::OutstandingRequests &owed = outstanding[size_t(index)];

    // A device answering its backlog sends several replies at once; each is taken whole.
    for (;;) {
        const frames::FrameCheck check = frames::checkFrame(link->peek(LongestFrame));
        if (check.status == frames::FrameStatus::Incomplete) break;

        const bool whole = check.status == frames::FrameStatus::Whole;
        const QByteArray frame = link->take(whole ? check.length : link->bytesAvailable());
        if (frame.isEmpty()) break;
        const int stored = std::min(int(frame.size()), StoredReplyBytes);
        for (int k = 0; k < stored; ++k)
            rxFrame[size_t(k + 1)] = quint8(frame.at(k));

        const bool currentHere = awaitingReply && index == int(devIdx);
        const bool echoed = !owed.ignoresTransaction();
        frames::ReplyVerdict verdict =
            owed.judge(frame, nowMs(),
                       currentHere ? std::optional<quint16>(awaitedTransaction) : std::nullopt);
        verdict.slotEdited =
            verdict.request && verdict.request->layout != slotReads.layout(verdict.request->slot);
        if (m_traffic) {
            m_traffic->received(index, frame, traffic::verdictText(verdict));
            if (echoed && owed.ignoresTransaction()) {
                m_traffic->connectionEvent(
                    index, QStringLiteral("answers with transaction identifier 0: "
                                          "read one request at a time until it closes"));
            }
        }
        emit replyJudged(index, verdict);
        showReply(index, verdict);
        if (!whole) break;
    }

    // A step waiting for this link to owe nothing goes on now.
    if (m_waitingLink == index && owed.size() == 0) m_stepWait->start(0);
}

void OptionIP::showReply(int index, const frames::ReplyVerdict &verdict)
{
    using Kind = frames::ReplyVerdict::Kind;
    QLabel *status = lblStatus[size_t(index)];
    const int slot = verdict.request ? verdict.request->slot : -1;

    if (verdict.kind == Kind::Registers && isSlot(slot)) {
        // A reply to a request built from texts the operator has since changed belongs to
        // other registers than the slot's labels name now: the link answered, nothing more.
        if (slotReads.answered(slot, verdict.request->layout, index, verdict.request->transaction,
                               true)) {
            Label6->setText(frames::frameLengthText(rxFrame[9]));
            showValues(slot, verdict.registers);
            showSlotHealth(slot);
            emit slotValuesRead(slot);
        }
        status->setText(ReceivedCaption);
        ui::setBackColor(status, ui::green());
    } else if (verdict.kind == Kind::DataLoss ||
               (verdict.kind == Kind::Malformed && verdict.owed)) {
        if (verdict.kind == Kind::DataLoss && isSlot(slot)) {
            slotReads.answered(slot, verdict.request->layout, index, verdict.request->transaction,
                               false);
            showSlotHealth(slot, traffic::lossText(verdict));
        } else if (verdict.current) {
            // The current request's reply went down with the bytes dropped around it.
            if (const auto r = outstanding[size_t(index)].find(awaitedTransaction)) {
                slotReads.unanswered(r->slot, r->layout, index, r->transaction);
                showSlotHealth(r->slot, QStringLiteral("malformed reply"));
            }
        }
        showDataLoss(index);
    }
    if (verdict.retired) {
        slotReads.unanswered(verdict.retired->slot, verdict.retired->layout, index,
                             verdict.retired->transaction);
        showSlotHealth(verdict.retired->slot);
    }

    if (verdict.current) {
        awaitingReply = false;
        endOfSlot();
    }
}

void OptionIP::showValues(int slot, int quantity)
{
    // The reply is one of the slot's present layout, so its controls describe it.
    const valueformat::SlotFormat format = slotFormat(slot);
    const bool bits = valueformat::readsBits(format.object);
    const int perValue = valueformat::wordsPerValue(format);
    const int rows = decodedRowCount(LegReg[size_t(slot)]->text(), quantity / perValue);
    // The data bytes follow the byte count, which rxFrame holds at index 9.
    constexpr int DataStart = 10;
    const quint8 *data = rxFrame.data() + DataStart;
    const int size = std::min(int(rxFrame[9]), int(rxFrame.size()) - DataStart);
    for (int row = 1; row <= rows; ++row) {
        const int offset = 2 * perValue * (row - 1);
        if (!bits && offset + 2 * perValue > size) break;
        const QString text = bits ? valueformat::bitText(data, size, row - 1)
                                  : valueformat::registerValueText(data + offset, size - offset,
                                                                   format);
        if (text.isEmpty()) break;
        setCellText(row, valueColumn(slot), text);
    }
}

void OptionIP::showDataLoss(int index)
{
    if (!isLink(index)) return;
    QLabel *status = lblStatus[size_t(index)];
    status->setText(DataLossCaption);
    ui::setBackColor(status, ui::yellow());
}

void OptionIP::showSlotHealth(int slot, const QString &why)
{
    if (!isSlot(slot)) return;
    linkStates.slotRead(slot, LstIP[size_t(slot)]->currentIndex(), slotReads.failed(slot),
                        why.isEmpty() ? QStringLiteral("no answer") : why);
    // Old values stay, but on the failure colour, until a reply brings the slot's registers.
    const QVariant background =
        slotReads.failed(slot) ? QVariant(QBrush(ui::yellow())) : QVariant();
    for (int row = 1; row <= frames::LastRow && row < tabel->rowCount(); ++row) {
        if (QTableWidgetItem *item = tabel->item(row, valueColumn(slot)))
            item->setData(Qt::BackgroundRole, background);
    }
}

void OptionIP::emptySlotValues(int slot)
{
    if (!isSlot(slot)) return;
    for (int row = 1; row <= frames::LastRow && row < tabel->rowCount(); ++row) {
        if (!cellText(row, valueColumn(slot)).isEmpty())
            setCellText(row, valueColumn(slot), QString());
    }
}

void OptionIP::slotTextsChanged(int slot)
{
    // What the cells hold was read from the registers the slot named before.
    slotReads.layoutChanged(slot);
    linkStates.slotEdited(slot);
    emptySlotValues(slot);
    showSlotHealth(slot);
    emit slotLayoutChanged(slot);
}

void OptionIP::slotFormatChanged(int slot)
{
    if (!isSlot(slot)) return;
    // Bits have no type: the list stays as set, for when the slot reads registers again.
    LstType[size_t(slot)]->setEnabled(!valueformat::readsBits(slotFormat(slot).object));
    writeRegisterLabels(slot);
    slotTextsChanged(slot);
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
