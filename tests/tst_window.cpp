#include "app/optionip.h"
#include "app/ui.h"
#include "links/winsock.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void deviceLinksBeforeStartUp();
    void pollSlotsAndCaptions();
    void layoutFromTwips();
    void timersAndState();

private:
    QTemporaryDir m_dir;
};

void tst_window::deviceLinksBeforeStartUp()
{
    OptionIP w(m_dir.path());
    QCOMPARE(w.windowTitle(), QStringLiteral("Quorvel"));
    QCOMPARE(w.appDir(), m_dir.path());
    const QStringList titles = {QStringLiteral("Device A"), QStringLiteral("Device B"),
                                QStringLiteral("Device C")};
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        const auto k = size_t(i);
        // Titled after the link, as the slots' device lists name it.
        QCOMPARE(w.frmDevice[k]->title(), titles[i]);
        QVERIFY(!w.frmDevice[k]->isEnabled());
        QCOMPARE(w.Label1[k]->text(), QStringLiteral("IP Addres :"));
        QCOMPARE(w.Label2[k]->text(), QStringLiteral("Port :"));
        QCOMPARE(w.txtPort[k]->text(), QStringLiteral("502"));
        QVERIFY(w.txtIP[k]->text().endsWith(QStringLiteral(".example.net")));
        QCOMPARE(w.lblStatus[k]->text(), QStringLiteral("Label3"));
        QCOMPARE(ui::backColor(w.lblStatus[k]), QColor(0xFF, 0x80, 0x80));
        QCOMPARE(w.cmdConnect[k]->text(), QStringLiteral("Connect"));
        QCOMPARE(w.cmdDisconnect[k]->text(), QStringLiteral("DisConect"));
        QVERIFY(ui::ownEnabled(w.cmdConnect[k]));
        QVERIFY(!w.cmdConnect[k]->isEnabled()); // its frame is disabled
        QCOMPARE(w.Winsock1[k]->index(), i);
        QCOMPARE(w.Winsock1[k]->state(), int(Winsock::Closed));
        // Controls live inside their frame, and each is reachable by its indexed name.
        QCOMPARE(w.txtIP[k]->parentWidget(), w.frmDevice[k]);
        QCOMPARE(w.findChild<QPushButton *>(QStringLiteral("cmdConnect_%1").arg(i)),
                 w.cmdConnect[k]);
    }
    QVERIFY(w.bar[0]->isHidden());
    QCOMPARE(w.bar[0]->minimum(), 0);
    QCOMPARE(w.bar[0]->maximum(), 1000);
}

void tst_window::pollSlotsAndCaptions()
{
    OptionIP w(m_dir.path());
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        const auto k = size_t(s);
        QCOMPARE(w.LstIP[k]->count(), 3);
        QCOMPARE(w.LstIP[k]->itemText(0), QStringLiteral("-A"));
        QCOMPARE(w.LstIP[k]->itemText(1), QStringLiteral("-B"));
        QCOMPARE(w.LstIP[k]->itemText(2), QStringLiteral("-C"));
        QCOMPARE(w.strReg[k]->text(), QStringLiteral("Text1"));
        QCOMPARE(w.LegReg[k]->text(), QStringLiteral("Text2"));
        QCOMPARE(ui::backColor(w.strReg[k]), ui::windowBackground());
    }
    QCOMPARE(w.Label5->text(), QStringLiteral("DEVICE"));
    QCOMPARE(w.Label3[0]->text(), QStringLiteral("Star Register"));
    QCOMPARE(w.Label3[1]->text(), QStringLiteral("LegRegister"));
    QCOMPARE(w.cmdConnectDev->text(), QStringLiteral("Connect"));
    QCOMPARE(w.cmdRead->text(), QStringLiteral("ReadData"));
    QCOMPARE(w.txt_print->text(), QStringLiteral("Text1"));
    QCOMPARE(w.lb_file->text(), QStringLiteral("Label6"));
    QCOMPARE(w.Label4->text(), QStringLiteral("Label4"));
    QCOMPARE(w.lbtgl->text(), QStringLiteral("Label6"));
    QCOMPARE(w.lbjam->text(), QStringLiteral("Label6"));
    QVERIFY(w.Label6->text().contains(QStringLiteral("example.com")));

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(!w.cmdConnectDev->isVisible());
    QVERIFY(!w.cmdRead->isVisible());
    QVERIFY(!w.bar[0]->isVisible());
    QVERIFY(w.tabel->isVisible());
}

void tst_window::layoutFromTwips()
{
    OptionIP w(m_dir.path());
    QCOMPARE(w.size(), QSize(1018, 661)); // 15270 by 9915 twips
    // Frames stack in the order link 0, link 2, link 1.
    QCOMPARE(w.frmDevice[0]->geometry(), QRect(16, 72, 257, 105));
    QCOMPARE(w.frmDevice[2]->geometry().top(), 184);
    QCOMPARE(w.frmDevice[1]->geometry().top(), 296);
    QCOMPARE(w.txtIP[1]->geometry(), QRect(8, 40, 169, 25));
    QCOMPARE(w.lblStatus[2]->geometry(), QRect(8, 72, 113, 25));
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        const int left = (5640 + 960 * s) / 15;
        QCOMPARE(w.LstIP[size_t(s)]->geometry().left(), left);
        QCOMPARE(w.strReg[size_t(s)]->geometry(), QRect(left, 88, 57, 19));
        QCOMPARE(w.LegReg[size_t(s)]->geometry().top(), 120);
    }
    QCOMPARE(w.tabel->geometry(), QRect(280, 160, 641, 241));
    QCOMPARE(w.Label6->geometry(), QRect(248, 464, 385, 57));
    QCOMPARE(w.Label6->font().pointSize(), 18);
    QCOMPARE(w.bar[0]->geometry(), QRect(16, 56, 257, 17));
    QCOMPARE(w.lbtgl->geometry(), QRect(792, 16, 201, 25));
}

void tst_window::timersAndState()
{
    OptionIP w(m_dir.path());
    const QList<QPair<QTimer *, int>> intervals = {
        {w.Timer1, 1000}, {w.Timer2, 1000}, {w.Timer3, 1000}, {w.Timer4, 10}, {w.tloading, 5}};
    for (const auto &[timer, interval] : intervals)
        QCOMPARE(timer->interval(), interval);
    QVERIFY(w.Timer1->isActive());
    QVERIFY(!w.Timer2->isActive());
    QVERIFY(!w.Timer3->isActive());
    QVERIFY(!w.Timer4->isActive());
    QVERIFY(!w.tloading->isActive());
    QCOMPARE(w.Timer4->timerType(), Qt::PreciseTimer);
    QCOMPARE(w.tloading->timerType(), Qt::PreciseTimer);

    // Enabling an enabled timer does not restart it.
    ui::enableTimer(w.Timer2);
    const int remaining = w.Timer2->remainingTime();
    QTest::qWait(30);
    ui::enableTimer(w.Timer2);
    QVERIFY(w.Timer2->remainingTime() <= remaining);
    ui::disableTimer(w.Timer2);
    QVERIFY(!w.Timer2->isActive());

    QCOMPARE(w.slotIdx, qint16(0));
    QCOMPARE(w.devIdx, quint8(0));
    QVERIFY(!w.requestSent);
    QCOMPARE(w.loadTick, qint16(0));
    QCOMPARE(w.failTick, qint16(0));
    for (const quint8 byte : w.txFrame)
        QCOMPARE(byte, quint8(0));
    for (const quint8 byte : w.rxFrame)
        QCOMPARE(byte, quint8(0));
    // Before the settings are read no link is marked.
    for (int i = 0; i < OptionIP::LinkCount; ++i)
        QCOMPARE(w.linkMarks.marked(i), std::optional<bool>(false));

    // The grid keeps its fixed header row and column; cells outside it cannot be written.
    QVERIFY(w.tabel->rowCount() >= 2 && w.tabel->columnCount() >= 2);
    QVERIFY(w.setCellText(1, 1, QStringLiteral("x")));
    QCOMPARE(w.cellText(1, 1), QStringLiteral("x"));
    QVERIFY(!w.setCellText(w.tabel->rowCount(), 1, QStringLiteral("y")));
    QVERIFY(!w.setCellText(-1, 0, QStringLiteral("y")));
    QCOMPARE(w.cellText(99, 99), QString());
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
