// Each link's figures after a device that answers late, answers with an exception or stops
// answering: in the status label's tooltip and in the traffic log's line at close.
#include "app/keepers.h"
#include "app/optionip.h"
#include "links/winsock.h"
#include "modbus/outstanding.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/pollwindow.h"
#include "traffic/trafficlog.h"

#include <QHelpEvent>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class tst_figures : public QObject
{
    Q_OBJECT

private slots:
    void figuresOfADevice_data();
    void figuresOfADevice();
    void keptFigures_data();
    void keptFigures();
};

void tst_figures::keptFigures_data()
{
    QTest::addColumn<QList<qint64>>("roundTrips"); // replies to the current request, in order
    QTest::addColumn<bool>("malformedOwed");       // then bytes dropped while a reply is owed
    QTest::addColumn<QString>("figures");          // "median worst data-loss"
    QTest::newRow("two: the lower middle") << QList<qint64>{20, 10} << false << "10 20 0";
    QList<qint64> long100(1, 900);
    for (int k = 0; k < LinkFigures::RoundTrips; ++k)
        long100 << 5;
    QTest::newRow("the last 100 only") << long100 << false << "5 5 0";
    QTest::newRow("malformed while owed") << QList<qint64>{} << true << "none none 1";
}

void tst_figures::keptFigures()
{
    QFETCH(QList<qint64>, roundTrips);
    QFETCH(bool, malformedOwed);
    QFETCH(QString, figures);

    LinkFigures kept;
    qint64 now = 1000000;
    for (const qint64 ms : roundTrips) {
        frames::ReplyVerdict verdict;
        verdict.kind = frames::ReplyVerdict::Kind::Registers;
        verdict.current = true;
        verdict.request = frames::OutstandingRequest{1, 0, 4, now, 0};
        now += ms;
        kept.frameJudged(0, verdict, now);
    }
    if (malformedOwed) {
        frames::ReplyVerdict verdict;
        verdict.kind = frames::ReplyVerdict::Kind::Malformed;
        verdict.owed = true;
        kept.frameJudged(0, verdict, now);
    }
    const LinkFigures::Figures f = kept.figures(0, now, 0);
    const auto text = [](const std::optional<qint64> &ms) {
        return ms ? QString::number(*ms) : QStringLiteral("none");
    };
    QCOMPARE(QStringLiteral("%1 %2 %3")
                 .arg(text(f.medianRoundTripMs), text(f.worstRoundTripMs))
                 .arg(f.dataLoss),
             figures);
}

void tst_figures::figuresOfADevice_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("tooltip"); // its lines from "requests sent" to "no answer"
    QTest::addColumn<bool>("roundTrips");

    const auto lines = [](int sent, int taken, int late, int loss, int unanswered) {
        return QStringLiteral(
                   "requests sent: %1\nreplies taken: %2 (%3 late)\ndata loss: %4\n"
                   "frames dropped: 0 unmatched, 0 malformed\n"
                   "no answer (forgotten after 10 s, evicted, or lost with the connection): %5")
            .arg(sent)
            .arg(taken)
            .arg(late)
            .arg(loss)
            .arg(unanswered);
    };
    QTest::newRow("answers") << QStringLiteral("answers") << 3 << lines(3, 3, 0, 0, 0) << true;
    QTest::newRow("answers late") << QStringLiteral("late") << 3 << lines(3, 3, 3, 0, 0) << false;
    QTest::newRow("exception") << QStringLiteral("exception") << 3 << lines(3, 3, 0, 3, 0) << true;
    // More requests than a link keeps owed, then the connection ends: none was answered.
    QTest::newRow("stops answering")
        << QStringLiteral("silent") << 20 << lines(20, 0, 0, 0, 20) << false;
}

void tst_figures::figuresOfADevice()
{
    QFETCH(QString, device);
    QFETCH(int, requests);
    QFETCH(QString, tooltip);
    QFETCH(bool, roundTrips);

    ScriptedDevice scripted;
    QVERIFY(scripted.start());
    if (device == QLatin1String("answers") || device == QLatin1String("late"))
        scripted.answerReads([](int address) { return quint16(address); });
    if (device == QLatin1String("exception"))
        scripted.onReceived = [&scripted](const QByteArray &request) {
            scripted.send(exceptionReply(2, transactionOf(request)));
        };

    QTemporaryDir app;
    TrafficLog log(app.filePath(QStringLiteral("traffic.log")));
    QVERIFY(log.open());
    OptionIP w(app.path());
    shapeForPolling(w);
    w.Timer1->stop();
    w.setTrafficLog(&log);
    setSlot(w, 0, 0, QStringLiteral("1"), QStringLiteral("4"));
    for (int s = 1; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, -1, QStringLiteral("1"), QStringLiteral("0"));
    Keepers keepers(w, QString());
    QVERIFY(connectLink(w, 0, scripted.port()));

    for (int k = 0; k < requests; ++k) {
        // The reply is held back until the cycle has moved on, however slow the machine.
        if (device == QLatin1String("late")) scripted.freeze();
        w.Timer3_Timer();
        QTRY_COMPARE_WITH_TIMEOUT(scripted.received.size(), 12 * (k + 1), 10000);
        // A reply that comes after the cycle moved on is late.
        if (device == QLatin1String("late") || device == QLatin1String("silent")) w.Timer3_Timer();
        QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
        if (device == QLatin1String("late")) {
            scripted.thaw();
            QTRY_COMPARE_WITH_TIMEOUT(keepers.figures(0).taken, qint64(k + 1), 10000);
        }
    }
    if (device == QLatin1String("silent")) {
        scripted.closeClient();
        QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1[0]->state(), int(Winsock::Closing), 10000);
    }

    QLabel *status = w.lblStatus[0];
    const auto shownTooltip = [status] {
        QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), status->mapToGlobal(QPoint(2, 2)));
        QCoreApplication::sendEvent(status, &hover);
        return status->toolTip();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(shownTooltip().contains(tooltip), qPrintable(shownTooltip()), 10000);
    const QString text = shownTooltip();
    QCOMPARE(text.contains(QStringLiteral("round trip, last 100 replies: median ")), roundTrips);
    QCOMPARE(text.contains(QStringLiteral("last reply: none yet")), device == "silent");

    // The same figures in the traffic log when the window closes.
    w.close();
    log.flush();
    const QList<QByteArray> logged = readBytes(log.path()).split('\n');
    QByteArrayList figures;
    for (const QByteArray &line : logged)
        if (line.contains(" A -- figures: ")) figures << line.mid(line.indexOf("figures: "));
    QCOMPARE(figures.size(), 1);
    const auto f = keepers.figures(0);
    QVERIFY2(figures.constFirst().startsWith(
                 QStringLiteral("figures: sent %1, taken %2 (%3 late), data loss %4, dropped 0 "
                                "unmatched 0 malformed, no answer %5, round trip ")
                     .arg(f.sent)
                     .arg(f.taken)
                     .arg(f.late)
                     .arg(f.dataLoss)
                     .arg(f.unanswered)
                     .toUtf8()),
             figures.constFirst().constData());
}

QTEST_MAIN(tst_figures)
#include "tst_figures.moc"
