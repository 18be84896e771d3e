// The window as an operator meets it: what can be read on screen, and what mouse, wheel and
// keyboard do to it. The real window, offscreen, driven with QTest events.
#include "app/optionip.h"
#include "app/ui.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest>

namespace
{

// A window after start-up, without its connection sequence running.
struct LoadedWindow {
    QTemporaryDir dir;
    OptionIP w{dir.path()};

    LoadedWindow()
    {
        w.Form_Load();
        ui::disableTimer(w.tloading);
    }

    bool showActive()
    {
        w.show();
        w.activateWindow();
        return QTest::qWaitForWindowActive(&w);
    }
};

// Rows 1 to 29 of a label column, trailing empty cells left off.
QStringList labelColumn(const OptionIP &w, int slot)
{
    QStringList cells;
    for (int row = 1; row < 30; ++row)
        cells << w.cellText(row, 2 * slot + 1);
    while (!cells.isEmpty() && cells.last().isEmpty())
        cells.removeLast();
    return cells;
}

// Labels of `count` registers from `start`.
QStringList labelsFrom(int start, int count)
{
    QStringList labels;
    for (int k = 0; k < count; ++k)
        labels << QString::number(start + k) + QStringLiteral(">>");
    return labels;
}

// Width the style leaves for a button's caption.
int captionRoom(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
}

void turnWheel(QWidget *target)
{
    const QPointF at = QRectF(target->rect()).center();
    QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &wheel);
}

} // namespace

class tst_screen : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void framesFontAndRows();
    void captionsFit_data();
    void captionsFit();
    void recordShowsItsStart();
    void wheelNeedsFocus_data();
    void wheelNeedsFocus();
    void tabFollowsTheScreen();
    void disabledFrameStaysReadable_data();
    void disabledFrameStaysReadable();
    void labelsFollowEdits_data();
    void labelsFollowEdits();
};

void tst_screen::framesFontAndRows()
{
    LoadedWindow lw;
    OptionIP &w = lw.w;

    // Top to bottom the frames hold links 0, 2 and 1, titled as the device lists name them.
    QCOMPARE(w.frmDevice[0]->title(), QStringLiteral("Device A"));
    QCOMPARE(w.frmDevice[2]->title(), QStringLiteral("Device C"));
    QCOMPARE(w.frmDevice[1]->title(), QStringLiteral("Device B"));
    QVERIFY(w.frmDevice[0]->y() < w.frmDevice[2]->y());
    QVERIFY(w.frmDevice[2]->y() < w.frmDevice[1]->y());
    QCOMPARE(w.LstIP[0]->itemText(2), QStringLiteral("-C"));

    // A small sans font that the setup installs, not whatever the toolkit picks.
    const QStringList installed = {QStringLiteral("DejaVu Sans"),
                                   QStringLiteral("Liberation Sans")};
    for (QWidget *widget : QList<QWidget *>{w.Label1[0], w.lblStatus[2], w.cmdDisconnect[1],
                                            w.strReg[4], w.LstIP[0], w.tabel, w.txt_print}) {
        const QFontInfo info(widget->font());
        QVERIFY2(installed.contains(info.family()), qPrintable(info.family()));
        QCOMPARE(info.pointSize(), 8);
    }
    const QFontInfo large(w.Label6->font());
    QVERIFY(installed.contains(large.family()));
    QCOMPARE(large.pointSize(), 18);

    // Rows of 300 twips show about eleven registers of a slot.
    QCOMPARE(w.tabel->rowCount(), 30);
    for (int r = 0; r < w.tabel->rowCount(); ++r)
        QCOMPARE(w.tabel->rowHeight(r), 20);
    QCOMPARE(w.tabel->rowAt(w.tabel->viewport()->height() - 1), 11);
}

void tst_screen::captionsFit_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption");

    QTest::newRow("host caption") << "Label1_0"
                                  << "IP Addres :";
    QTest::newRow("port caption") << "Label2_2"
                                  << "Port :";
    for (const char *status :
         {"Label3", "Connected OK", "Tidak bisa Connect ", "Disconnected", "Error disconnect!",
          "Transmit", "Transmit..............", "Not connected", "Received", "Data Loss"})
        QTest::newRow(status) << "lblStatus_1" << status;
    QTest::newRow("Connect") << "cmdConnect_0"
                             << "Connect";
    QTest::newRow("DisConect") << "cmdDisconnect_0"
                               << "DisConect";
    QTest::newRow("DEVICE") << "Label5"
                            << "DEVICE";
    QTest::newRow("Star Register") << "Label3_0"
                                   << "Star Register";
    QTest::newRow("LegRegister") << "Label3_1"
                                 << "LegRegister";
    QTest::newRow("file") << "lb_file"
                          << "/data.txt";
    QTest::newRow("countdown") << "Label4"
                               << "Gagal koneksi...10";
    QTest::newRow("date") << "lbtgl"
                          << "30 / Sep / 2026";
    QTest::newRow("time") << "lbjam"
                          << "23:59:59";
    QTest::newRow("grid label") << "tabel"
                                << "65535>>";
}

void tst_screen::captionsFit()
{
    QFETCH(QString, control);
    QFETCH(QString, caption);

    LoadedWindow lw;
    OptionIP &w = lw.w;
    QWidget *widget = w.findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    const QFontMetrics metrics(widget->font());
    const int width = metrics.horizontalAdvance(caption);

    if (auto *label = qobject_cast<QLabel *>(widget)) {
        label->setText(caption);
        QVERIFY2(width <= label->contentsRect().width(),
                 qPrintable(QStringLiteral("%1 px in %2").arg(width).arg(label->width())));
        // A status caption ends before the Connect button beside it.
        if (label->objectName().startsWith(QStringLiteral("lblStatus")))
            QVERIFY(label->x() + width < w.cmdConnect[1]->x());
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QCOMPARE(button->text(), caption);
        QVERIFY2(width < captionRoom(button),
                 qPrintable(QStringLiteral("%1 px in %2").arg(width).arg(captionRoom(button))));
    } else if (auto *grid = qobject_cast<QTableWidget *>(widget)) {
        // A cell draws its text inside a margin on each side, left of its grid line.
        const int margin =
            grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1;
        for (int column = 1; column <= 9; column += 2)
            QVERIFY2(width + 2 * margin <= grid->columnWidth(column) - 1,
                     qPrintable(
                         QStringLiteral("%1 px in %2").arg(width).arg(grid->columnWidth(column))));
    } else {
        QFAIL("no check for this kind of control");
    }
}

void tst_screen::recordShowsItsStart()
{
    LoadedWindow lw;
    OptionIP &w = lw.w;
    // Ten long fields make a record longer than the box.
    for (int slot = 0; slot < OptionIP::SlotCount; ++slot) {
        w.setCellText(1, 2 * slot + 2, QStringLiteral("6553%1 ???").arg(slot));
        w.setCellText(4, 2 * slot + 2, QStringLiteral("4000%1 ???").arg(slot));
    }
    w.lbtgl->setText(QStringLiteral("30 / Sep / 2026"));
    w.lbjam->setText(QStringLiteral("23:59:59"));
    QVERIFY(lw.showActive());

    for (int round = 0; round < 2; ++round) {
        w.print_click();
        const QString record = w.txt_print->text();
        QVERIFY(record.startsWith(QStringLiteral("#65530 ???#65531 ???")));
        // Longer than the box, so one end or the other is out of sight.
        QVERIFY(w.txt_print->fontMetrics().horizontalAdvance(record) > w.txt_print->width());
        // The text is scrolled to its start: position 0 is drawn at the box's left edge.
        QCOMPARE(w.txt_print->cursorPosition(), 0);
        const int cursorLeft = w.txt_print->inputMethodQuery(Qt::ImCursorRectangle).toRect().left();
        QVERIFY2(cursorLeft < 8, qPrintable(QString::number(cursorLeft)));
    }
}

void tst_screen::wheelNeedsFocus_data()
{
    QTest::addColumn<bool>("focused");
    QTest::addColumn<int>("expected");
    QTest::newRow("wheel passing over") << false << 0;
    QTest::newRow("wheel on the focused list") << true << 1;
}

void tst_screen::wheelNeedsFocus()
{
    QFETCH(bool, focused);
    QFETCH(int, expected);

    LoadedWindow lw;
    OptionIP &w = lw.w;
    QVERIFY(lw.showActive());
    QComboBox *list = w.LstIP[2];
    QCOMPARE(list->currentIndex(), 0);

    // The operator was typing in slot 1's count box, and may have tabbed on to the list.
    QTest::mouseClick(w.LegReg[1], Qt::LeftButton);
    QTRY_VERIFY(w.LegReg[1]->hasFocus());
    if (focused) QTest::keyClick(w.LegReg[1], Qt::Key_Tab);
    QCOMPARE(list->hasFocus(), focused);

    turnWheel(list);
    QCOMPARE(list->currentIndex(), expected);
    // The wheel never takes the focus itself.
    QCOMPARE(list->hasFocus(), focused);
}

void tst_screen::tabFollowsTheScreen()
{
    LoadedWindow lw;
    OptionIP &w = lw.w;
    for (QGroupBox *frame : w.frmDevice)
        frame->setEnabled(true);
    QVERIFY(lw.showActive());

    QList<QWidget *> expected;
    for (const int link : {0, 2, 1}) {
        const auto i = size_t(link);
        expected << w.txtIP[i] << w.txtPort[i] << w.cmdConnect[i] << w.cmdDisconnect[i];
    }
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        expected << w.LstIP[size_t(s)] << w.strReg[size_t(s)] << w.LegReg[size_t(s)];
    expected << w.tabel;

    w.txtIP[0]->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), w.txtIP[0]);
    for (int k = 1; k <= expected.size(); ++k) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        // Past the grid the chain starts over at the top frame.
        QWidget *next = expected[k % expected.size()];
        QVERIFY2(
            QApplication::focusWidget() == next,
            qPrintable(QStringLiteral("step %1: %2 instead of %3")
                           .arg(k)
                           .arg(QApplication::focusWidget()->objectName(), next->objectName())));
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), w.tabel);
}

void tst_screen::disabledFrameStaysReadable_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QColor>("color");
    QTest::newRow("Connected OK") << "Connected OK" << ui::green();
    QTest::newRow("Tidak bisa Connect") << "Tidak bisa Connect " << ui::yellow();
    QTest::newRow("Disconnected") << "Disconnected" << ui::red();
    QTest::newRow("Label3") << "Label3" << ui::lightRed();
}

void tst_screen::disabledFrameStaysReadable()
{
    QFETCH(QString, caption);
    QFETCH(QColor, color);

    LoadedWindow lw;
    OptionIP &w = lw.w;
    QVERIFY(lw.showActive());
    QLabel *status = w.lblStatus[2];
    status->setText(caption);
    ui::setBackColor(status, color);

    QVERIFY(!w.frmDevice[2]->isEnabled());
    const QImage whileDisabled = status->grab().toImage();
    const QImage captionWhileDisabled = w.Label1[2]->grab().toImage();
    // Disabled still means no input.
    QSignalSpy clicks(w.cmdDisconnect[2], &QPushButton::clicked);
    QTest::mouseClick(w.cmdDisconnect[2], Qt::LeftButton);
    QCOMPARE(clicks.count(), 0);

    w.frmDevice[2]->setEnabled(true);
    QVERIFY(status->isEnabled());
    // Drawn exactly as in the enabled frame: same text colour on the same background.
    QCOMPARE(whileDisabled, status->grab().toImage());
    QCOMPARE(captionWhileDisabled, w.Label1[2]->grab().toImage());
    QTest::mouseClick(w.cmdDisconnect[2], Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
}

void tst_screen::labelsFollowEdits_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("field"); // "start" or "count"
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("labels");

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale egypt(QLocale::Arabic, QLocale::Egypt);

    QTest::newRow("start 20 becomes 500") << c << "20"
                                          << "3"
                                          << "start"
                                          << "500" << QStringList{"500>>", "501>>", "502>>"};
    QTest::newRow("count 5 becomes 2") << c << "7"
                                       << "5"
                                       << "count"
                                       << "2" << QStringList{"7>>", "8>>"};
    QTest::newRow("count 2 becomes 40") << c << "100"
                                        << "2"
                                        << "count"
                                        << "40" << labelsFrom(100, 29);
    QTest::newRow("start no longer a number") << c << "20"
                                              << "3"
                                              << "start"
                                              << "x1" << QStringList{};
    QTest::newRow("count emptied") << c << "20"
                                   << "3"
                                   << "count"
                                   << "" << QStringList{};
    QTest::newRow("German decimal comma") << german << "20"
                                          << "2"
                                          << "start"
                                          << "1,5" << QStringList{"1,5>>", "2,5>>"};
    QTest::newRow("Egyptian Arabic, ASCII digits") << egypt << "20"
                                                   << "2"
                                                   << "start"
                                                   << "40" << QStringList{"40>>", "41>>"};
    QTest::newRow("Egyptian Arabic, native digits typed")
        << egypt << "20"
        << "1"
        << "start" << QStringLiteral("\u0663\u0660") << QStringList{"30>>"};
}

void tst_screen::labelsFollowEdits()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, start);
    QFETCH(QString, count);
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QStringList, labels);

    QLocale::setDefault(locale);
    LoadedWindow lw;
    OptionIP &w = lw.w;
    QVERIFY(lw.showActive());
    const int slot = 3;
    w.strReg[slot]->setText(start);
    w.LegReg[slot]->setText(count);

    QLineEdit *edit = field == QStringLiteral("start") ? w.strReg[slot] : w.LegReg[slot];
    QTest::mouseDClick(edit, Qt::LeftButton);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    for (const QChar key : typed)
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(key), Qt::NoModifier);
    QCOMPARE(edit->text(), typed);

    QCOMPARE(labelColumn(w, slot), labels);
    // Only that slot's label column changed.
    QVERIFY(labelColumn(w, 2).isEmpty());
    QVERIFY(labelColumn(w, 4).isEmpty());
    for (int row = 1; row < 30; ++row)
        QVERIFY(w.cellText(row, 2 * slot + 2).isEmpty());
}

QTEST_MAIN(tst_screen)
#include "tst_screen.moc"
