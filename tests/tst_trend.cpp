// The values kept for each cell and the trend window that plots them, on the real window
// polling a device over loopback; opened as an operator does, by double-click or Enter.
#include "app/keepers.h"
#include "app/optionip.h"
#include "links/winsock.h"
#include "support/devices.h"
#include "support/pollwindow.h"
#include "trend/trendwindow.h"

#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

// The values of a cell's kept points, with -1 for a gap.
QList<int> keptValues(ValueMemory &memory, int slot, int row)
{
    QList<int> values;
    for (const ValueMemory::Point &p : memory.points(slot, row))
        values << (p.value ? int(*p.value) : -1);
    return values;
}

// The values of each line the trend draws.
QList<QList<int>> drawnLines(const TrendWindow &trend)
{
    QList<QList<int>> lines;
    for (const std::vector<QPointF> &line : trend.lines()) {
        lines.append(QList<int>());
        for (const QPointF &p : line)
            lines.last() << int(p.y());
    }
    return lines;
}

} // namespace

class tst_trend : public QObject
{
    Q_OBJECT

private slots:
    void keptValuesInATrend_data();
    void keptValuesInATrend();
};

void tst_trend::keptValuesInATrend_data()
{
    QTest::addColumn<bool>("byKey"); // Enter on the cell, else a double-click
    QTest::newRow("double-click") << false;
    QTest::newRow("Enter") << true;
}

void tst_trend::keptValuesInATrend()
{
    QFETCH(bool, byKey);

    int cycle = 0;
    ScriptedDevice device;
    QVERIFY(device.start());
    // Register 100 (address 99) reads 10 times the cycle, register 101 one more.
    device.answerReads([&cycle](int address) { return quint16(10 * cycle + address - 99); });
    QTemporaryDir app;
    OptionIP w(app.path());
    shapeForPolling(w);
    w.Timer1->stop();
    setSlot(w, 0, 0, QStringLiteral("100"), QStringLiteral("2"));
    for (int s = 1; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, -1, QStringLiteral("1"), QStringLiteral("0"));
    Keepers keepers(w, QString());
    QVERIFY(connectLink(w, 0, device.port()));

    const auto poll = [&](int cycles) {
        for (int k = 0; k < cycles; ++k) {
            ++cycle;
            w.Timer3_Timer();
            QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
        }
    };
    poll(3);
    // The link goes down for a cycle: "???", a gap, then values again.
    w.Winsock1[0]->close();
    poll(1);
    QCOMPARE(w.cellText(1, valueColumn(0)), QStringLiteral("???"));
    QVERIFY(connectLink(w, 0, device.port()));
    poll(2);
    QCOMPARE(keptValues(keepers.memory(), 0, 1), (QList<int>{10, 20, 30, -1, 50, 60}));
    QCOMPARE(keptValues(keepers.memory(), 0, 2), (QList<int>{11, 21, 31, -1, 51, 61}));

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    if (byKey) {
        w.tabel->setCurrentCell(1, valueColumn(0));
        QTest::keyClick(w.tabel, Qt::Key_Return);
    } else {
        const QRect cell = w.tabel->visualRect(w.tabel->model()->index(1, valueColumn(0)));
        // A double-click begins with a click, as the operator's does.
        QTest::mouseClick(w.tabel->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(w.tabel->viewport(), Qt::LeftButton, {}, cell.center());
    }
    QCOMPARE(keepers.trends().size(), 1);
    TrendWindow &trend = *keepers.trends().constFirst();
    QVERIFY(QTest::qWaitForWindowExposed(&trend));
    QCOMPARE(trend.windowTitle(), QStringLiteral("Trend - A 100"));
    QCOMPARE(drawnLines(trend), (QList<QList<int>>{{10, 20, 30}, {50, 60}}));
    QVERIFY2(trend.caption().startsWith(QStringLiteral("A 100 = 60 at ")),
             qPrintable(trend.caption()));
    // The operator's typing stays in the main window. (The offscreen platform activates every
    // window it shows, so this is the window's own refusal, not a platform's behaviour.)
    QVERIFY(trend.windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));

    // It follows the cell live, and starts afresh when the slot names other registers.
    poll(1);
    QCOMPARE(drawnLines(trend), (QList<QList<int>>{{10, 20, 30}, {50, 60, 70}}));
    w.strReg[0]->setText(QStringLiteral("101"));
    QVERIFY(keptValues(keepers.memory(), 0, 1).isEmpty());
    poll(1);
    QCOMPARE(trend.windowTitle(), QStringLiteral("Trend - A 101"));
    QCOMPARE(drawnLines(trend), (QList<QList<int>>{{81}}));

    // Trend windows close with the main window.
    w.close();
    QTRY_VERIFY(keepers.trends().isEmpty());
}

QTEST_MAIN(tst_trend)
#include "tst_trend.moc"
