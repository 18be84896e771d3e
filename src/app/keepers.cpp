#include "app/keepers.h"

#include "app/optionip.h"
#include "links/winsock.h"
#include "traffic/trafficlog.h"
#include "trend/trendwindow.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QTableWidget>

namespace
{

// The clock of the reply path's send times, so round trips compare like with like.
qint64 monotonicMs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadline();
}

// The slot whose values grid column `column` holds; -1 for any other column.
int slotOfValueColumn(int column)
{
    if (column < 2 || column % 2 != 0) return -1;
    const int slot = column / 2 - 1;
    return slot < OptionIP::SlotCount ? slot : -1;
}

} // namespace

Keepers::Keepers(OptionIP &window, const QString &historyDir, HistoryFile::Clock clock)
    : QObject(&window), m_w(window)
{
    if (!historyDir.isEmpty()) m_history = std::make_unique<HistoryFile>(historyDir, clock);

    connect(&m_w, &OptionIP::snapshotTaken, this, [this] {
        const std::vector<snapshot::ShownValue> shown = m_w.shownValues();
        if (m_history) m_history->write(m_readsSinceRow.take(shown));
        m_memory.markGaps(shown, QDateTime::currentMSecsSinceEpoch());
    });
    connect(&m_w, &OptionIP::slotValuesRead, this, [this](int slot) {
        m_readsSinceRow.slotRead(slot);
        m_memory.take(slot, m_w.shownValues(), QDateTime::currentMSecsSinceEpoch());
    });
    connect(&m_w, &OptionIP::slotLayoutChanged, this,
            [this](int slot) { m_memory.startAfresh(slot, m_w.shownValues()); });

    connect(&m_w, &OptionIP::requestWentOut, this,
            [this](int link) { m_figures.requestSent(link); });
    connect(&m_w, &OptionIP::replyJudged, this,
            [this](int link, const frames::ReplyVerdict &verdict) {
                m_figures.frameJudged(link, verdict, monotonicMs());
            });

    for (Winsock *link : m_w.Winsock1)
        connect(link, &Winsock::rtuDropped, this,
                [this](int index, bool crcError, int) { m_figures.rtuDropped(index, crcError); });

    connect(m_w.tabel, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int column) { openTrend(row, column); });
    static_assert(std::tuple_size_v<decltype(m_statuses)> == OptionIP::LinkCount);
    m_table = m_w.tabel;
    m_table->installEventFilter(this);
    for (int link = 0; link < OptionIP::LinkCount; ++link) {
        m_statuses[size_t(link)] = m_w.lblStatus[size_t(link)];
        m_statuses[size_t(link)]->installEventFilter(this);
    }
    m_w.installEventFilter(this);

    m_summaryTimer.setInterval(SummaryIntervalMs);
    m_summaryTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_summaryTimer, &QTimer::timeout, this, &Keepers::writeSummaries);
    m_summaryTimer.start();
}

Keepers::~Keepers()
{
    // The trends read this object's memory: they go first.
    for (const QPointer<TrendWindow> &trend : m_trends)
        delete trend.data();
}

LinkFigures::Figures Keepers::figures(int link) const
{
    const qint64 now = monotonicMs();
    const qint64 unanswered =
        link >= 0 && link < OptionIP::LinkCount ? m_w.outstanding[size_t(link)].unanswered(now) : 0;
    return m_figures.figures(link, now, unanswered);
}

TrendWindow *Keepers::openTrend(int row, int column)
{
    const int slot = slotOfValueColumn(column);
    if (slot < 0) return nullptr;
    for (TrendWindow *open : trends()) {
        if (open->slot() == slot && open->row() == row) {
            open->show();
            open->raise();
            return open;
        }
    }
    QString name;
    for (const snapshot::ShownValue &value : m_w.shownValues())
        if (value.slot == slot && value.row == row) name = value.name();
    if (name.isEmpty()) return nullptr;

    auto *trend = new TrendWindow(m_memory, slot, row, name, &m_w);
    placeTrend(trend);
    m_trends.append(trend);
    trend->show();
    return trend;
}

void Keepers::placeTrend(TrendWindow *trend) const
{
    // Beside the main window, clear of its device frames; each further one a step down and
    // to the right of the last, back beside the window when that would leave the screen.
    constexpr int Gap = 8;
    constexpr int Step = 28;
    const QRect main = m_w.frameGeometry();
    QPoint at(main.right() + 1 + Gap, main.top());
    const QList<TrendWindow *> open = trends();
    if (!open.isEmpty()) at = open.constLast()->frameGeometry().topLeft() + QPoint(Step, Step);
    if (const QScreen *screen = m_w.screen()) {
        const QRect room = screen->availableGeometry();
        const QSize size = trend->frameGeometry().size();
        if (at.y() + size.height() > room.bottom()) at.setY(main.top());
        if (at.x() + size.width() > room.right())
            at.setX(std::max(room.right() - size.width(), main.left() + m_w.tabel->x()));
    }
    trend->move(at);
}

QList<TrendWindow *> Keepers::trends() const
{
    QList<TrendWindow *> open;
    for (const QPointer<TrendWindow> &trend : m_trends)
        if (trend) open.append(trend.data());
    return open;
}

void Keepers::closeTrends()
{
    for (TrendWindow *trend : trends())
        trend->close();
}

void Keepers::writeSummaries()
{
    TrafficLog *log = m_w.trafficLog();
    if (!log) return;
    for (int link = 0; link < OptionIP::LinkCount; ++link)
        log->connectionEvent(link, figures::summaryText(figures(link)));
}

bool Keepers::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == &m_w && event->type() == QEvent::Close) {
        closeTrends();
        writeSummaries();
        m_summaryTimer.stop();
        return false;
    }
    if (watched == m_table && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            return openTrend(m_w.tabel->currentRow(), m_w.tabel->currentColumn()) != nullptr;
        return false;
    }
    if (event->type() == QEvent::ToolTip) {
        for (int link = 0; link < OptionIP::LinkCount; ++link) {
            // Worked out when asked, so "last reply ... ago" is true at that moment.
            if (watched == m_statuses[size_t(link)])
                m_w.lblStatus[size_t(link)]->setToolTip(
                    figures::tooltipText(QChar(u'A' + link), figures(link)));
        }
    }
    return false;
}
