#pragma once

#include "app/closelatch.h"
#include "links/linkmarks.h"
#include "links/linkstates.h"
#include "modbus/outstanding.h"
#include "modbus/slotreads.h"
#include "modbus/valueformat.h"
#include "snapshot/shownvalues.h"
#include "snapshot/snapshot.h"

#include <QString>
#include <QWidget>
#include <array>
#include <optional>
#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;
class InputHold;
class WheelNeedsFocus;
class TrafficLog;
class Winsock;

// The one window of the program. It owns every control, timer, socket and piece of
// run-time state; all behaviour lives in its handlers, which are spread over one file
// per subsystem (app, links, modbus, settings, snapshot).
class OptionIP : public QWidget
{
    Q_OBJECT

public:
    static constexpr int LinkCount = 3;
    static constexpr int SlotCount = 5;
    static_assert(LinkCount == links::LinkMarks::LinkCount);

    // appDir is where setting.ini and data.txt live: the executable's directory in the
    // program, a temporary directory in tests.
    explicit OptionIP(const QString &appDir, QWidget *parent = nullptr);
    ~OptionIP() override;

    QString appDir() const { return m_appDir; }

    // Frames and connection events of every link go to this log from now on; null for none.
    void setTrafficLog(TrafficLog *log);
    TrafficLog *trafficLog() const { return m_traffic; }

    // Window life cycle.
    void Form_Load();
    void Form_Unload(int &cancel);
    // A slot's start or count text changed: its register labels follow.
    void strReg_Change(int index);
    void LegReg_Change(int index);

    // Device links.
    void cmdConnect_Click(int index);
    void cmdDisconnect_Click(int index);
    void tloading_Timer();
    void Timer2_Timer();

    // Polling.
    void cmdRead_Click();
    void Winsock1_DataArrival(int index, qint64 bytesTotal);
    void cmdConnectDev_Click();
    void Timer3_Timer();
    void Timer4_Timer();

    // Clock.
    void Timer1_Timer();

    // Private procedures of the window, public so the tests can call them as handlers do.
    void print_click();
    void save();

    // Controls of the three device links, by link index.
    std::array<QGroupBox *, LinkCount> frmDevice{};
    std::array<QLabel *, LinkCount> Label1{};
    std::array<QLineEdit *, LinkCount> txtIP{};
    std::array<QLabel *, LinkCount> Label2{};
    std::array<QLineEdit *, LinkCount> txtPort{};
    std::array<QLabel *, LinkCount> lblStatus{};
    std::array<QPushButton *, LinkCount> cmdConnect{};
    std::array<QPushButton *, LinkCount> cmdDisconnect{};
    std::array<Winsock *, LinkCount> Winsock1{};

    // Controls of the five poll slots, by slot index.
    std::array<QComboBox *, SlotCount> LstIP{};
    std::array<QLineEdit *, SlotCount> strReg{};
    std::array<QLineEdit *, SlotCount> LegReg{};
    // What each slot reads and how it shows it: unit, object kind, value type and word order.
    std::array<QSpinBox *, SlotCount> txtUnit{};
    std::array<QComboBox *, SlotCount> LstObject{};
    std::array<QComboBox *, SlotCount> LstType{};

    QLabel *Label5 = nullptr;
    std::array<QLabel *, 2> Label3{};
    QLabel *lblUnit = nullptr;
    QLabel *lblObject = nullptr;
    QLabel *lblType = nullptr;
    QPushButton *cmdConnectDev = nullptr;
    QPushButton *cmdRead = nullptr;
    QTableWidget *tabel = nullptr;
    std::array<QProgressBar *, 1> bar{};
    QLineEdit *txt_print = nullptr;
    QLabel *lb_file = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *lbtgl = nullptr;
    QLabel *lbjam = nullptr;
    QLabel *Label6 = nullptr;

    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *Timer3 = nullptr;
    QTimer *Timer4 = nullptr;
    QTimer *tloading = nullptr;

    // Window-level state.
    qint16 slotIdx = 0;
    quint8 devIdx = 0;
    std::array<quint8, 12> txFrame{};
    std::array<quint8, 256> rxFrame{};
    bool requestSent = false;
    // The current slot's request went out on link devIdx and no reply has been taken since.
    bool awaitingReply = false;
    // Its transaction identifier.
    quint16 awaitedTransaction = 0;
    // Each link's requests still owed a reply; a reply is shown only in the slot it answers.
    std::array<frames::OutstandingRequests, LinkCount> outstanding{};
    // What each slot's reads came to: which requests fill its cells, whether it failed.
    frames::SlotReads slotReads;
    // Which links ought to be connected, as last saved or asked for by the operator.
    links::LinkMarks linkMarks;
    // Each link's connection and each slot's health as changes with a reason, for the
    // journal and the broker.
    links::LinkStates linkStates;
    qint16 loadTick = 0;
    qint16 failTick = 0;

    // Grid cell (row, column) as the behaviour addresses it: row 0 and column 0 are the
    // fixed header row and column. Writing outside the grid fails and changes nothing.
    QString cellText(int row, int col) const;
    bool setCellText(int row, int col, const QString &text);

    // The slot's unit, object, type and word order as its controls show them.
    valueformat::SlotFormat slotFormat(int slot) const;

    // True while the slot's last read failed: its values are old, shown on yellow.
    bool slotFailed(int slot) const;
    // Every labelled value cell of the slots as an operator reads it, for those who keep or
    // pass on what the window shows.
    std::vector<snapshot::ShownValue> shownValues() const;

signals:
    // A slot's device, start or count text changed: its cells name other registers now.
    void slotLayoutChanged(int slot);
    // A reply brought a slot's registers into its value cells.
    void slotValuesRead(int slot);
    // data.txt was rewritten from the grid: one poll cycle.
    void snapshotTaken();
    // A request went out on a link.
    void requestWentOut(int link);
    // What a frame taken from a link amounts to, as the reply path decided.
    void replyJudged(int link, const frames::ReplyVerdict &verdict);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void slotTextsChanged(int slot);
    void slotFormatChanged(int slot);
    void buildControls();
    void chainTabOrder();
    void wireEvents();
    void writeRegisterLabels(int slot);
    void loadSettings();
    void endOfSlot();
    void showReply(int index, const frames::ReplyVerdict &verdict);
    void showValues(int slot, int quantity);
    void showDataLoss(int index);
    // `why` says what failed, when the slot's read has just failed.
    void showSlotHealth(int slot, const QString &why = QString());
    void emptySlotValues(int slot);
    void forgetUnanswered(int index);
    bool waitForState(int index, int wanted);

    QString m_appDir;
    snapshot::RecordFile m_recordFile;
    // The last shownValues() and the slot views it was made for; the grid's model drops it
    // whenever a cell, row or column changes, since every listener of a reply asks for it.
    mutable std::optional<std::vector<snapshot::ShownValue>> m_shown;
    mutable std::array<snapshot::SlotView, SlotCount> m_shownViews{};
    WheelNeedsFocus *m_wheelGuard = nullptr;
    InputHold *m_slotInput = nullptr;
    CloseLatch m_closed;
    TrafficLog *m_traffic = nullptr;
    // A step waiting for a link that is read one request at a time to owe nothing.
    QTimer *m_stepWait = nullptr;
    int m_waitingLink = -1;
};
