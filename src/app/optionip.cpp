#include "app/optionip.h"

#include "app/inputhold.h"
#include "app/ui.h"
#include "app/wheelguard.h"
#include "links/winsock.h"
#include "snapshot/snapshot.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

namespace
{

// Client area of the window, in twips.
constexpr int ClientWidth = 15270;
constexpr int ClientHeight = 9915;

// Frames stack in the order link 0, link 2, link 1 from top to bottom.
constexpr std::array<int, OptionIP::LinkCount> FrameTop = {1080, 4440, 2760};
// Each frame is titled after its link, as the slots' device lists name it.
const std::array<QString, OptionIP::LinkCount> FrameTitle = {
    QStringLiteral("Device A"), QStringLiteral("Device B"), QStringLiteral("Device C")};

// Each slot's unit, object and type sit in three rows below the large label, under the
// slot's two grid columns: what they choose is how those columns read.
constexpr std::array<int, 3> FormatRowTop = {7920, 8310, 8700};
constexpr int FormatLeft = 4620;
constexpr int FormatStep = 1600;
constexpr int FormatWidth = 1560;

// Initial grid shape; start-up makes it 30 by 30.
constexpr int InitialGridRows = 2;
constexpr int InitialGridCols = 2;

template <typename T> T *named(T *widget, const QString &name)
{
    widget->setObjectName(name);
    return widget;
}

QString indexed(const char *name, int index)
{
    return QStringLiteral("%1_%2").arg(name).arg(index);
}

QLabel *label(QWidget *parent, const QString &name, const QString &caption, const QRect &rect)
{
    auto *l = named(new QLabel(caption, parent), name);
    l->setGeometry(rect);
    return l;
}

QLineEdit *textBox(QWidget *parent, const QString &name, const QString &text, const QRect &rect)
{
    auto *t = named(new QLineEdit(text, parent), name);
    t->setGeometry(rect);
    return t;
}

QComboBox *list(QWidget *parent, const QString &name, const QStringList &items, const QRect &rect)
{
    auto *l = named(new QComboBox(parent), name);
    l->addItems(items);
    l->setGeometry(rect);
    return l;
}

QPushButton *button(QWidget *parent, const QString &name, const QString &caption, const QRect &rect)
{
    auto *b = named(new QPushButton(caption, parent), name);
    b->setGeometry(rect);
    return b;
}

QTimer *timer(QObject *parent, const QString &name, int intervalMs, Qt::TimerType type)
{
    auto *t = named(new QTimer(parent), name);
    t->setInterval(intervalMs);
    t->setTimerType(type);
    return t;
}

} // namespace

OptionIP::OptionIP(const QString &appDir, QWidget *parent) : QWidget(parent), m_appDir(appDir)
{
    setObjectName(QStringLiteral("OptionIP"));
    setWindowTitle(QStringLiteral("Quorvel"));
    setFixedSize(ui::twipsToPixels(ClientWidth), ui::twipsToPixels(ClientHeight));
    setFont(ui::windowFont());
    buildControls();
    chainTabOrder();
    // The slots take input when the frames do; held after the tab order is made, which
    // only takes controls that accept the focus.
    m_slotInput = new InputHold(frmDevice[0], this);
    for (int s = 0; s < SlotCount; ++s)
        for (QWidget *control :
             {static_cast<QWidget *>(LstIP[size_t(s)]), static_cast<QWidget *>(strReg[size_t(s)]),
              static_cast<QWidget *>(LegReg[size_t(s)]), static_cast<QWidget *>(txtUnit[size_t(s)]),
              static_cast<QWidget *>(LstObject[size_t(s)]),
              static_cast<QWidget *>(LstType[size_t(s)])})
            m_slotInput->hold(control);
    // The first stop of the tab order, link A's host, is in a frame that takes no input until
    // the connection sequence has run. Until then the window keeps the focus itself, so
    // nothing (a slot's device list least of all) takes keys or the wheel by accident.
    setFocus(Qt::OtherFocusReason);
    wireEvents();
    Timer1->start();
}

OptionIP::~OptionIP() = default;

void OptionIP::setTrafficLog(TrafficLog *log)
{
    m_traffic = log;
    for (Winsock *socket : Winsock1)
        socket->setTrafficLog(log);
}

void OptionIP::buildControls()
{
    for (int i = 0; i < LinkCount; ++i) {
        auto *frame = named(new QGroupBox(FrameTitle[size_t(i)], this), indexed("frmDevice", i));
        frame->setGeometry(ui::twips(240, FrameTop[size_t(i)], 3855, 1575));
        frame->setEnabled(false);
        ui::keepTextWhenDisabled(frame);
        frmDevice[size_t(i)] = frame;

        Label1[size_t(i)] = label(frame, indexed("Label1", i), QStringLiteral("IP Addres :"),
                                  ui::twips(120, 360, 975, 255));
        txtIP[size_t(i)] = textBox(frame, indexed("txtIP", i), QStringLiteral("device.example.net"),
                                   ui::twips(120, 600, 2535, 375));
        Label2[size_t(i)] = label(frame, indexed("Label2", i), QStringLiteral("Port :"),
                                  ui::twips(2760, 360, 735, 255));
        txtPort[size_t(i)] = textBox(frame, indexed("txtPort", i), QStringLiteral("502"),
                                     ui::twips(2760, 600, 975, 375));
        txtIP[size_t(i)]->setToolTip(QStringLiteral(
            "A host name or address: Modbus/TCP.\n"
            "rtu:HOST: RTU frames over TCP to HOST and the port.\n"
            "A serial port (/dev/ttyUSB0, COM3): Modbus RTU, line settings in the port box."));
        txtPort[size_t(i)]->setToolTip(
            QStringLiteral("The TCP port, 1 to 65535.\n"
                           "For a serial port: BAUD or BAUD DPS, e.g. 19200, 9600 8N1, 19200 8E1\n"
                           "(a baud alone means 8 data bits, even parity, 1 stop bit)."));
        lblStatus[size_t(i)] = label(frame, indexed("lblStatus", i), QStringLiteral("Label3"),
                                     ui::twips(120, 1080, 1695, 375));
        ui::setBackColor(lblStatus[size_t(i)], ui::lightRed());
        cmdConnect[size_t(i)] = button(frame, indexed("cmdConnect", i), QStringLiteral("Connect"),
                                       ui::twips(1800, 1080, 975, 375));
        cmdDisconnect[size_t(i)] =
            button(frame, indexed("cmdDisconnect", i), QStringLiteral("DisConect"),
                   ui::twips(2760, 1080, 975, 375));
        Winsock1[size_t(i)] = named(new Winsock(i, this), indexed("Winsock1", i));
        Winsock1[size_t(i)]->setLinkStates(&linkStates);
    }

    m_wheelGuard = new WheelNeedsFocus(this);
    for (int s = 0; s < SlotCount; ++s) {
        const int left = 5640 + 960 * s;
        LstIP[size_t(s)] = list(this, indexed("LstIP", s),
                                {QStringLiteral("-A"), QStringLiteral("-B"), QStringLiteral("-C")},
                                ui::twips(left, 840, 855, 315));
        LstIP[size_t(s)]->setCurrentIndex(-1);
        strReg[size_t(s)] = textBox(this, indexed("strReg", s), QStringLiteral("Text1"),
                                    ui::twips(left, 1320, 855, 285));
        LegReg[size_t(s)] = textBox(this, indexed("LegReg", s), QStringLiteral("Text2"),
                                    ui::twips(left, 1800, 855, 285));

        auto *unit = named(new QSpinBox(this), indexed("txtUnit", s));
        unit->setRange(0, 255);
        unit->setValue(valueformat::SlotFormat().unit);
        const int formatLeft = FormatLeft + FormatStep * s;
        unit->setGeometry(ui::twips(formatLeft, FormatRowTop[0], FormatWidth, 315));
        txtUnit[size_t(s)] = unit;
        LstObject[size_t(s)] = list(this, indexed("LstObject", s), valueformat::objectChoices(),
                                    ui::twips(formatLeft, FormatRowTop[1], FormatWidth, 315));
        LstType[size_t(s)] = list(this, indexed("LstType", s), valueformat::typeChoices(),
                                  ui::twips(formatLeft, FormatRowTop[2], FormatWidth, 315));
        for (QWidget *control :
             {static_cast<QWidget *>(LstIP[size_t(s)]), static_cast<QWidget *>(unit),
              static_cast<QWidget *>(LstObject[size_t(s)]),
              static_cast<QWidget *>(LstType[size_t(s)])})
            m_wheelGuard->guard(control);
    }

    Label5 = label(this, QStringLiteral("Label5"), QStringLiteral("DEVICE"),
                   ui::twips(4320, 960, 975, 255));
    Label3[0] = label(this, indexed("Label3", 0), QStringLiteral("Star Register"),
                      ui::twips(4320, 1440, 1215, 255));
    Label3[1] = label(this, indexed("Label3", 1), QStringLiteral("LegRegister"),
                      ui::twips(4320, 1920, 1215, 255));
    lblUnit = label(this, QStringLiteral("lblUnit"), QStringLiteral("Unit"),
                    ui::twips(3720, FormatRowTop[0] + 30, 855, 255));
    lblObject = label(this, QStringLiteral("lblObject"), QStringLiteral("Object"),
                      ui::twips(3720, FormatRowTop[1] + 30, 855, 255));
    lblType = label(this, QStringLiteral("lblType"), QStringLiteral("Type"),
                    ui::twips(3720, FormatRowTop[2] + 30, 855, 255));

    cmdConnectDev = button(this, QStringLiteral("cmdConnectDev"), QStringLiteral("Connect"),
                           ui::twips(12600, 1200, 975, 495));
    cmdConnectDev->hide();
    cmdRead = button(this, QStringLiteral("cmdRead"), QStringLiteral("ReadData"),
                     ui::twips(12600, 1800, 975, 375));
    cmdRead->hide();

    tabel =
        named(new QTableWidget(InitialGridRows, InitialGridCols, this), QStringLiteral("tabel"));
    tabel->setGeometry(ui::twips(4200, 2400, 9615, 3615));
    // Row 0 and column 0 are the grid's own fixed cells, so Qt's header views stay hidden.
    tabel->horizontalHeader()->hide();
    tabel->verticalHeader()->hide();
    tabel->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tabel->setSelectionMode(QAbstractItemView::NoSelection);
    // Tab leaves the grid instead of walking its 900 cells.
    tabel->setTabKeyNavigation(false);

    auto *progress = named(new QProgressBar(this), indexed("bar", 0));
    progress->setGeometry(ui::twips(240, 840, 3855, 255));
    progress->setRange(0, 1000);
    progress->setValue(0);
    progress->setTextVisible(false);
    progress->hide();
    bar[0] = progress;

    txt_print = textBox(this, QStringLiteral("txt_print"), QStringLiteral("Text1"),
                        ui::twips(3000, 120, 7815, 525));
    // An output: it can be clicked into and copied from, but Tab passes it by and typing
    // would only be overwritten by the next cycle.
    txt_print->setFocusPolicy(Qt::ClickFocus);
    txt_print->setReadOnly(true);
    lb_file = label(this, QStringLiteral("lb_file"), QStringLiteral("Label6"),
                    ui::twips(240, 120, 2175, 255));
    // The caption names the file only; hovering tells which folder the program writes in.
    lb_file->setToolTip(QDir::toNativeSeparators(appDir() + snapshot::fileCaption()));
    Label4 = label(this, QStringLiteral("Label4"), QStringLiteral("Label4"),
                   ui::twips(240, 480, 2655, 255));
    lbtgl = label(this, QStringLiteral("lbtgl"), QStringLiteral("Label6"),
                  ui::twips(11880, 240, 3015, 375));
    lbjam = label(this, QStringLiteral("lbjam"), QStringLiteral("Label6"),
                  ui::twips(11880, 600, 2655, 255));
    Label6 = label(this, QStringLiteral("Label6"), QStringLiteral("www.example.com"),
                   ui::twips(3720, 6960, 5775, 855));
    Label6->setFont(ui::largeFont());

    Timer1 = timer(this, QStringLiteral("Timer1"), 1000, Qt::CoarseTimer);
    Timer2 = timer(this, QStringLiteral("Timer2"), 1000, Qt::CoarseTimer);
    Timer3 = timer(this, QStringLiteral("Timer3"), 1000, Qt::CoarseTimer);
    Timer4 = timer(this, QStringLiteral("Timer4"), 10, Qt::PreciseTimer);
    tloading = timer(this, QStringLiteral("tloading"), 5, Qt::PreciseTimer);
    m_stepWait = timer(this, QStringLiteral("stepWait"), 0, Qt::PreciseTimer);
    m_stepWait->setSingleShot(true);
}

void OptionIP::chainTabOrder()
{
    // The screen's order: frames from top to bottom, the slots from left to right (device,
    // start, count), then their formats from left to right (unit, object, type), the grid.
    QList<QWidget *> chain;
    for (const int link : {0, 2, 1}) {
        const auto i = size_t(link);
        chain << txtIP[i] << txtPort[i] << cmdConnect[i] << cmdDisconnect[i];
    }
    for (int s = 0; s < SlotCount; ++s)
        chain << LstIP[size_t(s)] << strReg[size_t(s)] << LegReg[size_t(s)];
    for (int s = 0; s < SlotCount; ++s)
        chain << txtUnit[size_t(s)] << LstObject[size_t(s)] << LstType[size_t(s)];
    chain << tabel;
    for (int k = 1; k < chain.size(); ++k)
        setTabOrder(chain[k - 1], chain[k]);
}

void OptionIP::wireEvents()
{
    for (int i = 0; i < LinkCount; ++i) {
        // Only the operator's clicks move the link's mark; the sequence calls the handlers
        // directly and leaves it alone.
        connect(cmdConnect[size_t(i)], &QPushButton::clicked, this, [this, i] {
            linkMarks.setByOperator(i, true);
            cmdConnect_Click(i);
        });
        connect(cmdDisconnect[size_t(i)], &QPushButton::clicked, this, [this, i] {
            linkMarks.setByOperator(i, false);
            cmdDisconnect_Click(i);
            linkStates.closedOnRequest(i);
        });
        connect(Winsock1[size_t(i)], &Winsock::dataArrival, this, &OptionIP::Winsock1_DataArrival);
        connect(Winsock1[size_t(i)], &Winsock::connectionEnded, this, [this, i] {
            outstanding[size_t(i)].clear();
            slotReads.linkClosed(i);
        });
    }
    for (int s = 0; s < SlotCount; ++s) {
        connect(strReg[size_t(s)], &QLineEdit::textChanged, this, [this, s] { strReg_Change(s); });
        connect(LegReg[size_t(s)], &QLineEdit::textChanged, this, [this, s] { LegReg_Change(s); });
        connect(LstIP[size_t(s)], qOverload<int>(&QComboBox::currentIndexChanged), this,
                [this, s] { slotTextsChanged(s); });
        connect(txtUnit[size_t(s)], qOverload<int>(&QSpinBox::valueChanged), this,
                [this, s] { slotFormatChanged(s); });
        for (QComboBox *choice : {LstObject[size_t(s)], LstType[size_t(s)]})
            connect(choice, qOverload<int>(&QComboBox::currentIndexChanged), this,
                    [this, s] { slotFormatChanged(s); });
    }
    const QAbstractItemModel *grid = tabel->model();
    const auto forgetShown = [this] { m_shown.reset(); };
    connect(grid, &QAbstractItemModel::dataChanged, this, forgetShown);
    connect(grid, &QAbstractItemModel::rowsInserted, this, forgetShown);
    connect(grid, &QAbstractItemModel::rowsRemoved, this, forgetShown);
    connect(grid, &QAbstractItemModel::rowsMoved, this, forgetShown);
    connect(grid, &QAbstractItemModel::columnsInserted, this, forgetShown);
    connect(grid, &QAbstractItemModel::columnsRemoved, this, forgetShown);
    connect(grid, &QAbstractItemModel::columnsMoved, this, forgetShown);
    connect(grid, &QAbstractItemModel::layoutChanged, this, forgetShown);
    connect(grid, &QAbstractItemModel::modelReset, this, forgetShown);
    connect(cmdRead, &QPushButton::clicked, this, &OptionIP::cmdRead_Click);
    connect(cmdConnectDev, &QPushButton::clicked, this, &OptionIP::cmdConnectDev_Click);
    connect(Timer1, &QTimer::timeout, this, &OptionIP::Timer1_Timer);
    connect(Timer2, &QTimer::timeout, this, &OptionIP::Timer2_Timer);
    connect(Timer3, &QTimer::timeout, this, &OptionIP::Timer3_Timer);
    connect(Timer4, &QTimer::timeout, this, &OptionIP::Timer4_Timer);
    connect(tloading, &QTimer::timeout, this, &OptionIP::tloading_Timer);
    connect(m_stepWait, &QTimer::timeout, this, &OptionIP::cmdRead_Click);
}

QString OptionIP::cellText(int row, int col) const
{
    if (row < 0 || col < 0 || row >= tabel->rowCount() || col >= tabel->columnCount())
        return QString();
    const QTableWidgetItem *item = tabel->item(row, col);
    return item ? item->text() : QString();
}

bool OptionIP::setCellText(int row, int col, const QString &text)
{
    if (row < 0 || col < 0 || row >= tabel->rowCount() || col >= tabel->columnCount()) return false;
    if (QTableWidgetItem *item = tabel->item(row, col)) {
        item->setText(text);
    } else {
        item = new QTableWidgetItem(text);
        if (row == 0 || col == 0) item->setBackground(palette().color(QPalette::Button));
        tabel->setItem(row, col, item);
    }
    return true;
}

valueformat::SlotFormat OptionIP::slotFormat(int slot) const
{
    valueformat::SlotFormat format;
    if (slot < 0 || slot >= SlotCount) return format;
    const auto k = size_t(slot);
    format.unit = quint8(txtUnit[k]->value());
    // The lists never change: a choice is read once, then found by its index every cycle.
    static const std::vector<std::optional<valueformat::ObjectKind>> objects = [] {
        std::vector<std::optional<valueformat::ObjectKind>> parsed;
        for (const QString &text : valueformat::objectChoices())
            parsed.push_back(valueformat::parseObject(text));
        return parsed;
    }();
    static const std::vector<std::optional<valueformat::TypeChoice>> types = [] {
        std::vector<std::optional<valueformat::TypeChoice>> parsed;
        for (const QString &text : valueformat::typeChoices())
            parsed.push_back(valueformat::parseType(text));
        return parsed;
    }();
    const int object = LstObject[k]->currentIndex();
    if (object >= 0 && size_t(object) < objects.size())
        format.object = objects[size_t(object)].value_or(format.object);
    const int type = LstType[k]->currentIndex();
    if (type >= 0 && size_t(type) < types.size()) {
        if (const std::optional<valueformat::TypeChoice> &choice = types[size_t(type)]) {
            format.type = choice->type;
            format.order = choice->order;
        }
    }
    return format;
}

bool OptionIP::slotFailed(int slot) const
{
    return slotReads.failed(slot);
}

std::vector<snapshot::ShownValue> OptionIP::shownValues() const
{
    std::array<snapshot::SlotView, SlotCount> views{};
    for (int s = 0; s < SlotCount; ++s) {
        snapshot::SlotView &view = views[size_t(s)];
        const int link = LstIP[size_t(s)]->currentIndex();
        if (link >= 0 && link < LinkCount) view.link = QChar(u'A' + link);
        view.failed = slotFailed(s);
        const valueformat::SlotFormat format = slotFormat(s);
        view.unit = format.unit;
        view.object = format.object;
    }
    if (m_shown && views == m_shownViews) return *m_shown;
    m_shown = snapshot::shownValues(
        [this](int row, int column) -> std::optional<QString> { return cellText(row, column); },
        views);
    m_shownViews = views;
    return *m_shown;
}

bool OptionIP::focusNextPrevChild(bool next)
{
    // Until the frames take input the window keeps the focus: Tab has nowhere to go.
    if (!frmDevice[0]->isEnabled()) return true;
    return QWidget::focusNextPrevChild(next);
}

void OptionIP::closeEvent(QCloseEvent *event)
{
    int cancel = 0;
    Form_Unload(cancel);
    // The program is on its way out: a wait this close interrupted ends, and no timer runs
    // again, so data.txt is not rewritten after the window has gone.
    m_closed.set();
    for (QTimer *t : {Timer1, Timer2, Timer3, Timer4, tloading, m_stepWait})
        ui::disableTimer(t);
    event->accept();
}
