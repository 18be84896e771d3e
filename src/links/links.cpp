#include "app/optionip.h"

#include "app/ui.h"
#include "links/winsock.h"
#include "numbers/numbers.h"
#include "traffic/trafficlog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace
{

// Longest wait of the connect and disconnect handlers for their socket.
constexpr qint64 SocketWaitMs = 2000;

constexpr int LastLoadTick = 1000;
constexpr int EndTick = 990;
// More Timer2 ticks than this end the countdown and start a new run.
constexpr int LastFailTick = 9;

bool validLink(int index)
{
    return index >= 0 && index < OptionIP::LinkCount;
}

void showStatus(QLabel *label, const QString &caption, const QColor &color)
{
    label->setText(caption);
    ui::setBackColor(label, color);
}

// Test of the disconnect steps: the link is not connected.
bool notConnected(const OptionIP &w, int index)
{
    return w.Winsock1[size_t(index)]->state() != Winsock::Connected;
}

// Test of the connect steps: the link is closed and marked. Both halves are always evaluated;
// an unreadable mark fails the test, and a failed test runs the guarded action.
bool closedAndMarked(const OptionIP &w, int index)
{
    const bool closed = w.Winsock1[size_t(index)]->state() == Winsock::Closed;
    const std::optional<bool> marked = w.linkMarks.marked(index);
    if (!marked) return true;
    return closed && *marked;
}

// Final check of a run: some marked link is not connected. All three states and marks are
// read, in link order, before the result is used; an unreadable mark fails the check, which
// then starts the countdown.
bool someMarkedLinkDown(const OptionIP &w)
{
    bool failed = false, holds = false;
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        const bool down = notConnected(w, i);
        const std::optional<bool> marked = w.linkMarks.marked(i);
        if (!marked)
            failed = true;
        else if (down && *marked)
            holds = true;
    }
    return failed || holds;
}

// A port as the operator typed it: a number in the locale's format, rounded as every number
// the operator types is, that names a port from 1 to 65535.
std::optional<int> portNumber(const QString &text)
{
    const std::optional<double> number = numbers::readLocaleNumber(text);
    const std::optional<qint32> port = number ? numbers::roundHalfEven(*number) : std::nullopt;
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    return *port;
}

// The sequence's reset of a link that is not connected: DisConect's steps, logged as its own.
void resetLink(OptionIP &w, int index)
{
    Winsock *socket = w.Winsock1[size_t(index)];
    socket->setCloseEvent(QStringLiteral("closed by the connection sequence"));
    w.cmdDisconnect_Click(index);
    socket->setCloseEvent(QString());
}

} // namespace

void OptionIP::cmdConnect_Click(int index)
{
    if (!validLink(index)) return;
    const auto i = size_t(index);
    Winsock *socket = Winsock1[i];

    setCursor(Qt::WaitCursor);
    // A port text that is no port (or line settings that do not read) opens nothing: the
    // attempt fails as an unreachable device does, rather than quietly reusing the settings
    // of an earlier attempt.
    const rtu::LinkTarget target = rtu::targetOf(txtIP[i]->text());
    const bool serialLine = target.kind == rtu::LinkTarget::Kind::Serial;
    const std::optional<rtu::LineSettings> line =
        serialLine ? rtu::parseLineSettings(txtPort[i]->text()) : std::nullopt;
    const std::optional<int> port = serialLine ? std::nullopt : portNumber(txtPort[i]->text());
    if (line || port) {
        // Each of the socket steps fails by itself (socket not closed) and is skipped.
        socket->setTarget(target.kind, line.value_or(rtu::LineSettings()));
        socket->setRemoteHost(target.host);
        if (port) socket->setRemotePort(*port);
        socket->connectToRemote();
        const int before = socket->state();
        waitForState(index, Winsock::Connected);
        // A device that neither answers nor refuses within the wait cannot be connected.
        const int after = socket->state();
        if (!m_closed.isSet() && before != Winsock::Connected &&
            (after == Winsock::Connecting || after == Winsock::Resolving))
            linkStates.cannotConnect(index, QStringLiteral("timed out: no answer within 2 s"));
    } else {
        const QString why = (serialLine ? QStringLiteral("line settings \"%1\" do not read")
                                        : QStringLiteral("port \"%1\" is no port"))
                                .arg(txtPort[i]->text());
        if (m_traffic)
            m_traffic->connectionEvent(index, (serialLine ? QStringLiteral("not opening: ")
                                                          : QStringLiteral("not connecting: ")) +
                                                  why);
        linkStates.cannotConnect(index, why);
    }

    if (socket->state() == Winsock::Connected)
        showStatus(lblStatus[i], QStringLiteral("Connected OK"), ui::green());
    else
        showStatus(lblStatus[i], QStringLiteral("Tidak bisa Connect "), ui::yellow());
    cmdConnect[i]->setEnabled(false);
    unsetCursor();
}

void OptionIP::cmdDisconnect_Click(int index)
{
    if (!validLink(index)) return;
    const auto i = size_t(index);
    Winsock *socket = Winsock1[i];

    setCursor(Qt::WaitCursor);
    if (socket->state() != Winsock::Closed) socket->close();

    waitForState(index, Winsock::Closed);

    if (socket->state() == Winsock::Closed) {
        showStatus(lblStatus[i], QStringLiteral("Disconnected"), ui::red());
        cmdConnect[i]->setEnabled(true);
    } else {
        showStatus(lblStatus[i], QStringLiteral("Error disconnect!"), ui::yellow());
    }
    unsetCursor();
}

bool OptionIP::waitForState(int index, int wanted)
{
    if (!validLink(index)) return false;
    const Winsock *socket = Winsock1[size_t(index)];

    QElapsedTimer clock;
    clock.start();
    // Its only job is to end the blocking pass below at the deadline.
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    wakeUp.setTimerType(Qt::PreciseTimer);

    while (socket->state() != wanted) {
        // A close during the wait ends it, so the program can leave at once.
        if (m_closed.isSet()) break;
        const qint64 left = SocketWaitMs - clock.elapsed();
        if (left <= 0) break;
        // Re-armed when it fired a moment before the clock reached the deadline.
        if (!wakeUp.isActive()) wakeUp.start(int(left));
        // Blocks until at least one event (socket, timer, click, the wake-up) has been handled.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return socket->state() == wanted;
}

void OptionIP::tloading_Timer()
{
    Label4->hide();
    bar[0]->show();
    if (loadTick < LastLoadTick) ++loadTick;
    bar[0]->setValue(loadTick);

    switch (loadTick) {
    case 50:
        if (notConnected(*this, 0)) resetLink(*this, 0);
        break;
    case 100:
        if (notConnected(*this, 1)) resetLink(*this, 1);
        break;
    case 150:
        if (notConnected(*this, 2)) resetLink(*this, 2);
        break;
    case 300:
        if (closedAndMarked(*this, 0)) cmdConnect_Click(0);
        break;
    case 500:
        if (closedAndMarked(*this, 1)) cmdConnect_Click(1);
        break;
    case 700:
        if (closedAndMarked(*this, 2)) cmdConnect_Click(2);
        break;
    case 950:
        for (QGroupBox *frame : frmDevice)
            frame->setEnabled(true);
        // Unless the operator has put the focus somewhere, it goes to the first stop.
        if (!focusWidget() || focusWidget() == this) txtIP[0]->setFocus(Qt::TabFocusReason);
        ui::enableTimer(Timer3);
        break;
    case EndTick:
        ui::disableTimer(tloading);
        bar[0]->setValue(0);
        bar[0]->hide();
        loadTick = 0;
        if (someMarkedLinkDown(*this)) ui::enableTimer(Timer2);
        break;
    default:
        break;
    }
}

void OptionIP::Timer2_Timer()
{
    if (failTick > LastFailTick) {
        failTick = 0;
        ui::disableTimer(Timer2);
        ui::enableTimer(tloading);
    } else {
        ++failTick;
    }
    Label4->show();
    Label4->setText(QStringLiteral("Gagal koneksi...") + QString::number(failTick));
}
