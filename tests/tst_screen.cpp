// The window as an operator meets it: the real window, offscreen, driven with QTest events.
#include "app/optionip.h"
#include "app/ui.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QSpinBox>
#include <QtTest>

namespace
{

// A shown, active window after start-up, its connection sequence held.
struct Window {
    QTemporaryDir dir;
    OptionIP w{dir.path()};
    Window()
    {
        w.Form_Load();
        ui::disableTimer(w.tloading);
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
    }
};

QStringList labelColumn(const OptionIP &w, int slot)
{
    QStringList cells;
    for (int row = 1; row < 30; ++row)
        cells << w.cellText(row, 2 * slot + 1);
    while (!cells.isEmpty() && cells.last().isEmpty())
        cells.removeLast();
    return cells;
}

// Width a control leaves for its caption: a button's contents, a label's contents, a grid
// cell less its text margins and grid line.
int captionRoom(QWidget *widget)
{
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        return button->style()
            ->subElementRect(QStyle::SE_PushButtonContents, &option, button)
            .width();
    }
    if (auto *grid = qobject_cast<QTableWidget *>(widget))
        return grid->columnWidth(1) - 1 -
               2 * (grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1);
    return widget->contentsRect().width();
}

} // namespace

class tst_screen : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }
    void titlesFontAndRows();
    void captionsFit_data();
    void captionsFit();
    void wheelAndTab();
    void focusStartsOnTheFirstHost();
    void disabledFrameStaysReadable();
    void recordShowsItsStart();
    void labelsFollowEdits_data();
    void labelsFollowEdits();
};

void tst_screen::titlesFontAndRows()
{
    Window win;
    OptionIP &w = win.w;
    // Top to bottom the frames hold links 0, 2 and 1; geometry as before.
    QCOMPARE(w.frmDevice[0]->title(), QStringLiteral("Device A"));
    QCOMPARE(w.frmDevice[2]->title(), QStringLiteral("Device C"));
    QCOMPARE(w.frmDevice[1]->title(), QStringLiteral("Device B"));
    QCOMPARE(w.frmDevice[2]->geometry(), ui::twips(240, 2760, 3855, 1575));

    const QStringList installed = {QStringLiteral("Liberation Sans"),
                                   QStringLiteral("DejaVu Sans")};
    for (QWidget *widget :
         QList<QWidget *>{w.lblStatus[2], w.cmdDisconnect[1], w.tabel, w.Label6}) {
        const QFontInfo info(widget->font());
        QVERIFY2(installed.contains(info.family()), qPrintable(info.family()));
        QCOMPARE(info.pointSize(), widget == w.Label6 ? 18 : 8);
    }

    for (int r = 0; r < 30; ++r)
        QCOMPARE(w.tabel->rowHeight(r), 20);
    QCOMPARE(w.tabel->rowAt(w.tabel->viewport()->height() - 1), 11);
}

void tst_screen::captionsFit_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("status") << "lblStatus_1"
                            << QStringList{
                                   "Label3",        "Connected OK",      "Tidak bisa Connect ",
                                   "Disconnected",  "Error disconnect!", "Transmit..............",
                                   "Not connected", "Received",          "Data Loss"};
    QTest::newRow("buttons") << "cmdDisconnect_0" << QStringList{"Connect", "DisConect"};
    QTest::newRow("host") << "Label1_0" << QStringList{"IP Addres :"};
    QTest::newRow("port") << "Label2_0" << QStringList{"Port :"};
    QTest::newRow("rows") << "Label3_0" << QStringList{"Star Register", "LegRegister"};
    QTest::newRow("device") << "Label5" << QStringList{"DEVICE"};
    QTest::newRow("countdown") << "Label4" << QStringList{"Gagal koneksi...10"};
    QTest::newRow("file") << "lb_file" << QStringList{"/data.txt"};
    QTest::newRow("date") << "lbtgl" << QStringList{"30 / Sep / 2026"};
    QTest::newRow("grid label") << "tabel" << QStringList{"65535>>"};
}

void tst_screen::captionsFit()
{
    QFETCH(QString, control);
    QFETCH(QStringList, captions);
    Window win;
    QWidget *widget = win.w.findChild<QWidget *>(control);
    QVERIFY(widget);
    for (const QString &caption : captions) {
        const int width = widget->fontMetrics().horizontalAdvance(caption);
        QVERIFY2(width < captionRoom(widget), qPrintable(caption));
    }
    // A status caption ends before the Connect button beside it.
    if (control.startsWith(QStringLiteral("lblStatus")))
        QVERIFY(widget->x() + widget->fontMetrics().horizontalAdvance(captions[2]) <
                win.w.cmdConnect[1]->x());
}

void tst_screen::wheelAndTab()
{
    Window win;
    OptionIP &w = win.w;
    for (QGroupBox *frame : w.frmDevice)
        frame->setEnabled(true);
    const auto wheel = [](QWidget *target) {
        const QPointF at(10, 10);
        QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
    };

    // A wheel turned over a list in passing neither takes the focus nor changes the slot.
    QTest::mouseClick(w.LegReg[1], Qt::LeftButton);
    wheel(w.LstIP[2]);
    QCOMPARE(w.LstIP[2]->currentIndex(), 0);
    // So do the format controls.
    wheel(w.txtUnit[2]);
    wheel(w.LstObject[2]);
    wheel(w.LstType[2]);
    QCOMPARE(w.slotFormat(2), valueformat::SlotFormat());
    QVERIFY(w.LegReg[1]->hasFocus());
    // Tabbed to, the list takes the wheel.
    QTest::keyClick(w.LegReg[1], Qt::Key_Tab);
    QVERIFY(w.LstIP[2]->hasFocus());
    wheel(w.LstIP[2]);
    QCOMPARE(w.LstIP[2]->currentIndex(), 1);

    // Tab follows the screen: frames top to bottom, slots left to right, the grid, round.
    QList<QWidget *> chain;
    for (const size_t i : {0, 2, 1})
        chain << w.txtIP[i] << w.txtPort[i] << w.cmdConnect[i] << w.cmdDisconnect[i];
    for (size_t s = 0; s < OptionIP::SlotCount; ++s)
        chain << w.LstIP[s] << w.strReg[s] << w.LegReg[s];
    for (size_t s = 0; s < OptionIP::SlotCount; ++s)
        chain << w.txtUnit[s] << w.LstObject[s] << w.LstType[s];
    chain << w.tabel << w.txtIP[0];
    QTest::mouseClick(w.txtIP[0], Qt::LeftButton);
    for (int k = 1; k < chain.size(); ++k) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        // A spin box hands the focus to its own text box: hasFocus() sees through that.
        QVERIFY2(chain[k]->hasFocus(), qPrintable(chain[k]->objectName()));
    }
}

void tst_screen::focusStartsOnTheFirstHost()
{
    Window win;
    OptionIP &w = win.w;
    // Before the sequence has run, no slot's device list has the focus: neither the wheel
    // nor a key re-points slot 0.
    for (QComboBox *list : w.LstIP)
        QVERIFY(!list->hasFocus());
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w, Qt::Key_Up);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w, Qt::Key_Down);
    QCOMPARE(w.LstIP[0]->currentIndex(), 0);

    // When the frames open, the focus goes to the first stop of the tab order.
    w.loadTick = 949;
    w.tloading_Timer();
    QVERIFY(w.frmDevice[0]->isEnabled());
    QTRY_VERIFY(w.txtIP[0]->hasFocus());

    // A device list that has the focus shows it.
    const QImage unfocused = w.LstIP[1]->grab().toImage();
    w.LstIP[1]->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(w.LstIP[1]->hasFocus());
    QVERIFY(w.LstIP[1]->grab().toImage() != unfocused);
    w.strReg[1]->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(!w.LstIP[1]->hasFocus());
    QCOMPARE(w.LstIP[1]->grab().toImage(), unfocused);
}

void tst_screen::disabledFrameStaysReadable()
{
    Window win;
    OptionIP &w = win.w;
    w.lblStatus[2]->setText(QStringLiteral("Connected OK"));
    ui::setBackColor(w.lblStatus[2], ui::green());
    QVERIFY(!w.frmDevice[2]->isEnabled());
    const QImage status = w.lblStatus[2]->grab().toImage();
    const QImage caption = w.Label1[2]->grab().toImage();
    QSignalSpy clicks(w.cmdDisconnect[2], &QPushButton::clicked);
    QTest::mouseClick(w.cmdDisconnect[2], Qt::LeftButton);
    QCOMPARE(clicks.count(), 0); // disabled still takes no input

    // Drawn as in an enabled frame: the same text colour on the same background.
    w.frmDevice[2]->setEnabled(true);
    QCOMPARE(w.lblStatus[2]->grab().toImage(), status);
    QCOMPARE(w.Label1[2]->grab().toImage(), caption);
}

void tst_screen::recordShowsItsStart()
{
    Window win;
    OptionIP &w = win.w;
    for (int slot = 0; slot < OptionIP::SlotCount; ++slot) {
        w.setCellText(1, 2 * slot + 2, QStringLiteral("6553%1 ???").arg(slot));
        w.setCellText(4, 2 * slot + 2, QStringLiteral("4000%1 ???").arg(slot));
    }
    for (int round = 0; round < 2; ++round) {
        w.print_click();
        QVERIFY(w.txt_print->fontMetrics().horizontalAdvance(w.txt_print->text()) >
                w.txt_print->width());
        // Scrolled to its start: position 0 is drawn at the left edge of the box.
        QCOMPARE(w.txt_print->cursorPosition(), 0);
        QVERIFY(w.txt_print->inputMethodQuery(Qt::ImCursorRectangle).toRect().left() < 8);
    }
}

void tst_screen::labelsFollowEdits_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("start"); // the start box is edited, else the count box
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("labels");
    const QLocale c = QLocale::c();
    const QLocale egypt(QLocale::Arabic, QLocale::Egypt);
    // The slot starts at 20 with a count of 3.
    QTest::newRow("start 500") << c << true << "500" << QStringList{"500>>", "501>>", "502>>"};
    QTest::newRow("count 1") << c << false << "1" << QStringList{"20>>"};
    QTest::newRow("start no number") << c << true << "x" << QStringList{};
    QTest::newRow("German comma") << QLocale(QLocale::German, QLocale::Germany) << true << "1,5"
                                  << QStringList{"1,5>>", "2,5>>", "3,5>>"};
    QTest::newRow("Arabic, ASCII digits")
        << egypt << true << "40" << QStringList{"40>>", "41>>", "42>>"};
    QTest::newRow("Arabic, native digits")
        << egypt << false << QStringLiteral("\u0662") << QStringList{"20>>", "21>>"};
}

void tst_screen::labelsFollowEdits()
{
    QFETCH(QLocale, locale);
    QFETCH(bool, start);
    QFETCH(QString, typed);
    QFETCH(QStringList, labels);
    QLocale::setDefault(locale);
    Window win;
    OptionIP &w = win.w;
    w.strReg[3]->setText(QStringLiteral("20"));
    w.LegReg[3]->setText(QStringLiteral("3"));

    QLineEdit *edit = start ? w.strReg[3] : w.LegReg[3];
    QTest::mouseClick(edit, Qt::LeftButton);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    for (const QChar key : typed)
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(key), Qt::NoModifier);
    QCOMPARE(edit->text(), typed);
    QCOMPARE(labelColumn(w, 3), labels);
    QVERIFY(labelColumn(w, 2).isEmpty() && labelColumn(w, 4).isEmpty());
}

QTEST_MAIN(tst_screen)
#include "tst_screen.moc"
