#pragma once

#include "figures/linkfigures.h"
#include "history/historyfile.h"
#include "history/valuememory.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <array>
#include <memory>

class OptionIP;
class TrendWindow;

// What keeps and shows the past of a window: the history file (when a folder is given), the
// value memory with its trend windows, and each link's figures (the status labels' tooltips,
// and a summary line per link in the traffic log every minute and at close). The window only
// hands them what it shows; they live as long as this object.
class Keepers : public QObject
{
    Q_OBJECT

public:
    static constexpr int SummaryIntervalMs = 60 * 1000;

    // `historyDir` empty: no history file. `clock` is the history's, for tests.
    Keepers(OptionIP &window, const QString &historyDir, HistoryFile::Clock clock = {});
    ~Keepers() override;

    HistoryFile *history() const { return m_history.get(); }
    ValueMemory &memory() { return m_memory; }
    LinkFigures::Figures figures(int link) const;

    // Opens (or brings forward) the trend of the value cell at grid row `row`, column
    // `column`; null when that cell names no register.
    TrendWindow *openTrend(int row, int column);
    QList<TrendWindow *> trends() const;

    // One figures line per link to the window's traffic log, if it has one.
    void writeSummaries();

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeTrends();
    void placeTrend(TrendWindow *trend) const;

    OptionIP &m_w;
    // The watched controls, kept apart from the window: while the window is being destroyed
    // its children still send events here, and the window may no longer be read then.
    QObject *m_table = nullptr;
    std::array<QObject *, 3> m_statuses{};
    std::unique_ptr<HistoryFile> m_history;
    snapshot::ReadsSince m_readsSinceRow;
    ValueMemory m_memory;
    LinkFigures m_figures;
    QList<QPointer<TrendWindow>> m_trends;
    QTimer m_summaryTimer;
};
