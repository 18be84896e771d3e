// The values kept for each cell and the trend window that plots them, on the real window
// polling a device over loopback; opened as an operator does, by double-click or Enter.
#include "app/keepers.h"
#include "app/optionip.h"
#include "links/winsock.h"
#include "support/devices.h"
#include "support/pollwindow.h"
#include "trend/trendwindow.h"

#include <QChart>
#include <QDateTimeAxis>
#include <QGroupBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QValueAxis>
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
    void keptPoints_data();
    void keptPoints();
    void keptValuesInATrend_data();
    void keptValuesInATrend();
};

void tst_trend::keptPoints_data()
{
    QTest::addColumn<int>("reads");       // replies to one slot, one value higher each
    QTest::addColumn<qint64>("apartMs");  // between two replies
    QTest::addColumn<int>("slot");        // the slot they fill; A 1 is slot 0's first cell
    QTest::addColumn<int>("firstValue");  // of the first reply
    QTest::addColumn<QList<int>>("kept"); // points of A 1: how many, the first one's value
    QTest::addColumn<int>("lines");       // lines a trend of A 1 draws

    QTest::newRow("600 points") << 601 << qint64(1000) << 0 << 1 << QList<int>{600, 2} << 1;
    QTest::newRow("ten minutes") << 2 << ValueMemory::KeptMs + 1 << 0 << 1 << QList<int>{1, 2} << 1;
    QTest::newRow("65535 is a value") << 1 << qint64(0) << 0 << 65535 << QList<int>{1, 65535} << 1;
    QTest::newRow("another slot's reply") << 1 << qint64(0) << 1 << 5 << QList<int>{0, -1} << 0;
    QTest::newRow("5 s apart") << 2 << TrendWindow::BreakMs << 0 << 7 << QList<int>{2, 7} << 1;
    QTest::newRow("over 5 s apart")
        << 2 << TrendWindow::BreakMs + 1 << 0 << 7 << QList<int>{2, 7} << 2;
}

void tst_trend::keptPoints()
{
    QFETCH(int, reads);
    QFETCH(qint64, apartMs);
    QFETCH(int, slot);
    QFETCH(int, firstValue);
    QFETCH(QList<int>, kept);
    QFETCH(int, lines);

    ValueMemory memory;
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - reads * apartMs;
    for (int k = 0; k < reads; ++k) {
        const QString value = QString::number((firstValue + k) % 65536);
        std::vector<snapshot::ShownValue> shown(2);
        for (int s = 0; s < 2; ++s) {
            snapshot::ShownValue &cell = shown[size_t(s)];
            cell.slot = s;
            cell.row = 1;
            cell.link = QChar(u'A' + s);
            cell.reg = QStringLiteral("1");
            cell.text = value;
            cell.current = true;
        }
        memory.take(slot, shown, start + k * apartMs);
    }
    const QList<int> values = keptValues(memory, 0, 1);
    QCOMPARE((QList<int>{int(values.size()), values.value(0, -1)}), kept);

    TrendWindow trend(memory, 0, 1, QStringLiteral("A 1"));
    QCOMPARE(int(trend.lines().size()), lines);
    // Whole, distinct steps on the value axis: no label shows twice.
    const auto *axis = qobject_cast<QValueAxis *>(trend.chart()->axes(Qt::Vertical).value(0));
    QVERIFY(axis && axis->tickCount() >= 2);
    const double step = (axis->max() - axis->min()) / (axis->tickCount() - 1);
    QVERIFY2(step >= 1 && step == std::floor(step), qPrintable(QString::number(step)));
}

void tst_trend::keptValuesInATrend_data()
{
    QTest::addColumn<int>("key"); // pressed on the cell; 0: a double-click
    QTest::addColumn<bool>("keypad");
    QTest::newRow("double-click") << 0 << false;
    QTest::newRow("Enter") << int(Qt::Key_Return) << false;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << true;
}

void tst_trend::keptValuesInATrend()
{
    QFETCH(int, key);
    QFETCH(bool, keypad);

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
    if (key) {
        w.tabel->setCurrentCell(1, valueColumn(0));
        QTest::keyClick(w.tabel, Qt::Key(key), keypad ? Qt::KeypadModifier : Qt::NoModifier);
    } else {
        const QRect cell = w.tabel->visualRect(w.tabel->model()->index(1, valueColumn(0)));
        // A double-click begins with a click, as the operator's does.
        QTest::mouseClick(w.tabel->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(w.tabel->viewport(), Qt::LeftButton, {}, cell.center());
    }
    QCOMPARE(keepers.trends().size(), 1);
    TrendWindow &trend = *keepers.trends().constFirst();
    QVERIFY(QTest::qWaitForWindowExposed(&trend));
    // Opened again, the same window comes forward.
    QCOMPARE(keepers.openTrend(1, valueColumn(0)), &trend);
    QCOMPARE(keepers.trends().size(), 1);
    // Beside the main window, clear of its device frames.
    QVERIFY(!trend.frameGeometry().intersects(
        QRect(w.mapToGlobal(w.frmDevice[0]->pos()), w.frmDevice[0]->size())));
    // The time axis ends at the next even minute.
    const auto evenMinuteAfter = [](const QDateTime &t) {
        const int minute = t.time().minute();
        return QDateTime(t.date(), QTime(t.time().hour(), minute - minute % 2)).addSecs(120);
    };
    const QDateTime before = QDateTime::currentDateTime();
    trend.refresh();
    const auto *timeAxis =
        qobject_cast<QDateTimeAxis *>(trend.chart()->axes(Qt::Horizontal).value(0));
    QVERIFY(timeAxis);
    QVERIFY(timeAxis->max() == evenMinuteAfter(before) ||
            timeAxis->max() == evenMinuteAfter(QDateTime::currentDateTime()));
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
    // A trend whose row is gone says so and keeps what it drew; the next one cascades.
    TrendWindow *second = keepers.openTrend(2, valueColumn(0));
    QVERIFY(second && second->pos() != trend.pos());
    w.LegReg[0]->setText(QStringLiteral("1"));
    QTRY_COMPARE(second->windowTitle(), QStringLiteral("Trend - A 102 (no longer read)"));
    QCOMPARE(trend.windowTitle(), QStringLiteral("Trend - A 101"));

    // Trend windows close with the main window.
    w.close();
    QTRY_VERIFY(keepers.trends().isEmpty());
}

QTEST_MAIN(tst_trend)
#include "tst_trend.moc"
