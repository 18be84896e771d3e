#include "app/optionip.h"

#include "app/ui.h"
#include "links/winsock.h"
#include "modbus/frames.h"

#include <QComboBox>
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
    if (const std::optional<double> count = frames::readLocaleNumber(countText)) {
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
    const std::optional<double> count = frames::readLocaleNumber(countText);
    // A count that is no number shows every register the request asked for.
    return frames::decodedRowCount(count ? *count : double(quantityAsked), quantityAsked);
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

    // A link index that names no link reads as a link that is not connected.
    Winsock *link = isLink(devIdx) ? Winsock1[devIdx] : nullptr;
    QLabel *status = isLink(devIdx) ? lblStatus[devIdx] : nullptr;

    if (link && link->state() == Winsock::Connected) {
        txFrame = frames::buildReadRequest(strReg[slot]->text(), LegReg[slot]->text());
        requestSent = true;
        // Whatever still waits on this link (a late or partial earlier reply) answers
        // nothing we are about to ask, so the reply is read from its first byte.
        link->discardWaiting();
        const QByteArray request(reinterpret_cast<const char *>(txFrame.data()),
                                 int(txFrame.size()));
        awaitingReply = link->sendData(request);
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

    // Only the link of the slot being read is answered; bytes on another link stay
    // waiting until that link's next request discards them.
    if (!isLink(devIdx) || index != int(devIdx)) return;
    Winsock *link = Winsock1[devIdx];

    const frames::FrameCheck check = frames::checkFrame(link->peek(LongestFrame));
    if (check.status == frames::FrameStatus::Incomplete) return;

    const bool whole = check.status == frames::FrameStatus::Whole;
    const QByteArray frame = link->take(whole ? check.length : link->bytesAvailable());
    const int stored = std::min(int(frame.size()), StoredReplyBytes);
    for (int k = 0; k < stored; ++k)
        rxFrame[size_t(k + 1)] = quint8(frame.at(k));

    const bool answersRequest = awaitingReply;
    awaitingReply = false;

    const int quantityAsked = frames::requestedQuantity(txFrame);
    const bool carries = whole && frames::carriesRegisters(frame, quantityAsked);
    QLabel *status = lblStatus[devIdx];

    if (link->state() == Winsock::Connected && requestSent && answersRequest && carries &&
        isSlot(slotIdx)) {
        Label6->setText(frames::frameLengthText(rxFrame[9]));
        const int rows = decodedRowCount(LegReg[size_t(slotIdx)]->text(), quantityAsked);
        for (int row = 1; row <= rows; ++row) {
            const auto high = size_t(10 + 2 * (row - 1));
            if (high + 1 >= rxFrame.size()) break;
            setCellText(row, valueColumn(slotIdx),
                        frames::registerText(rxFrame[high], rxFrame[high + 1]));
        }
        status->setText(ReceivedCaption);
        ui::setBackColor(status, ui::green());
    } else {
        status->setText(DataLossCaption);
        ui::setBackColor(status, ui::yellow());
    }

    endOfSlot();
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
