#include "app/optionip.h"
#include "app/ui.h"
#include "links/winsock.h"
#include "support/devices.h"
#include "support/pollwindow.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>

namespace
{

constexpr int Rows = 3;

// Slot s reads registers 1 + 10 s to 3 + 10 s (addresses 10 s to 10 s + 2): five slots of the
// same size, so a reply fits any of them and only its identifier tells them apart.
int addressOf(int slot, int row)
{
    return 10 * slot + row - 1;
}

// Polls a device that answers by itself, with the window's own Timer3 running, and notes
// after every arrival the window has handled any cell that holds another register's value.
struct Poller {
    QTemporaryDir dir;
    OptionIP w{dir.path()};
    ScriptedDevice device;
    int generation = 1; // the device's values are 1000 * generation + address
    QStringList misplaced;

    bool start(int delayMs, bool transactionZero, const QList<int> &unusedSlots = {})
    {
        shapeForPolling(w);
        device.replyDelayMs = delayMs;
        device.answersTransactionZero = transactionZero;
        device.answerReads([this](int address) { return quint16(1000 * generation + address); });
        if (!device.start() || !connectLink(w, 0, device.port())) return false;
        for (int s = 0; s < OptionIP::SlotCount; ++s) {
            const bool unused = unusedSlots.contains(s);
            setSlot(w, s, 0, QString::number(addressOf(s, 1) + 1),
                    unused ? QStringLiteral("000") : QString::number(Rows));
        }
        QObject::connect(w.Winsock1[0], &Winsock::dataArrival, &w, [this] { check(); });
        ui::enableTimer(w.Timer3);
        return true;
    }

    void check()
    {
        for (int s = 0; s < OptionIP::SlotCount; ++s) {
            for (int row = 1; row <= Rows; ++row) {
                const QString text = w.cellText(row, valueColumn(s));
                if (!text.isEmpty() && text.toInt() % 1000 != addressOf(s, row))
                    misplaced << QStringLiteral("slot %1 row %2: %3").arg(s).arg(row).arg(text);
            }
        }
    }

    // Every slot shows values of the current generation.
    bool allFresh() const
    {
        for (int s = 0; s < OptionIP::SlotCount; ++s) {
            for (int row = 1; row <= Rows; ++row) {
                if (w.cellText(row, valueColumn(s)).toInt() / 1000 != generation) return false;
            }
        }
        return true;
    }
};

} // namespace

class tst_slowdevices : public QObject
{
    Q_OBJECT

private slots:
    void slowDevice_data();
    void slowDevice();
    void frozenDeviceAnswersItsBacklog();
    void unusedSlotsSendNothing();
};

void tst_slowdevices::slowDevice_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("transactionZero");
    QTest::addColumn<int>("skipEvery");

    QTest::newRow("250 ms") << 250 << false << 0;
    QTest::newRow("450 ms") << 450 << false << 0;
    QTest::newRow("identifier 0, quick") << 0 << true << 0;
    // Read one request at a time, so each reply has exactly one request it can answer.
    QTest::newRow("identifier 0, 300 ms") << 300 << true << 0;
    QTest::newRow("identifier 0, 300 ms, every 7th request unanswered") << 300 << true << 7;
    QTest::newRow("400 ms, every 4th request unanswered") << 400 << false << 4;
}

void tst_slowdevices::slowDevice()
{
    QFETCH(int, delayMs);
    QFETCH(bool, transactionZero);
    QFETCH(int, skipEvery);

    Poller poller;
    poller.device.skipEvery = skipEvery;
    QVERIFY(poller.start(delayMs, transactionZero));

    QTRY_VERIFY_WITH_TIMEOUT(poller.allFresh(), 20000);
    // And again with new values: every slot keeps being read.
    poller.generation = 2;
    QTRY_VERIFY_WITH_TIMEOUT(poller.allFresh(), 20000);
    QVERIFY2(poller.misplaced.isEmpty(), qPrintable(poller.misplaced.join(u'\n')));
    if (transactionZero && delayMs > 0 && skipEvery == 0) {
        // Read one at a time, the next request goes out when the reply comes, not when the
        // wait for it would have ended, 700 ms later.
        QList<qint64> gaps = poller.device.msFromReplyToRequest;
        QVERIFY(gaps.size() >= 8);
        std::sort(gaps.begin(), gaps.end());
        QVERIFY2(gaps.at(gaps.size() / 2) < 350,
                 qPrintable(QString::number(gaps.at(gaps.size() / 2))));
    }

    // Quick again, the device is read in full without anyone stepping in.
    poller.device.replyDelayMs = 0;
    poller.device.skipEvery = 0;
    poller.generation = 3;
    QTRY_VERIFY_WITH_TIMEOUT(poller.allFresh(), 40000);
    QVERIFY2(poller.misplaced.isEmpty(), qPrintable(poller.misplaced.join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(poller.w.lblStatus[0]->text(), QStringLiteral("Received"), 10000);
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        QVERIFY(!poller.w.slotFailed(s));
}

void tst_slowdevices::frozenDeviceAnswersItsBacklog()
{
    Poller poller;
    QVERIFY(poller.start(0, false));
    QTRY_VERIFY_WITH_TIMEOUT(poller.allFresh(), 20000);

    // Busy for a few seconds: the requests pile up unanswered, one a tick.
    poller.device.freeze();
    poller.generation = 2;
    const int before = poller.device.requestsSeen;
    QTRY_VERIFY_WITH_TIMEOUT(poller.device.requestsSeen >= before + 4, 30000);
    QVERIFY(!poller.allFresh());

    // The backlog comes at once; every reply goes to the slot that asked for it.
    QSignalSpy arrivals(poller.w.Winsock1[0], &Winsock::dataArrival);
    poller.device.thaw();
    QTRY_VERIFY_WITH_TIMEOUT(arrivals.size() > 0, 10000);
    QCOMPARE(poller.w.Winsock1[0]->bytesAvailable(), qint64(0));
    QTRY_VERIFY_WITH_TIMEOUT(poller.allFresh(), 20000);
    QVERIFY2(poller.misplaced.isEmpty(), qPrintable(poller.misplaced.join(u'\n')));
}

void tst_slowdevices::unusedSlotsSendNothing()
{
    Poller poller;
    QVERIFY(poller.start(0, false, {1, 3}));
    ui::disableTimer(poller.w.Timer3);
    for (const int s : {1, 3})
        poller.w.setCellText(1, valueColumn(s), QStringLiteral("kept"));

    poller.w.Timer3_Timer();
    QTRY_VERIFY_WITH_TIMEOUT(resting(poller.w), 10000);
    // Three requests, for slots 0, 2 and 4; the unused slots' cells are left alone.
    QCOMPARE(poller.device.requestsSeen, 3);
    QCOMPARE(poller.device.received.size(), 36);
    for (int k = 0; k < 3; ++k)
        QCOMPARE(int(quint8(poller.device.received[12 * k + 9])), addressOf(2 * k, 1));
    for (const int s : {1, 3}) {
        QCOMPARE(poller.w.cellText(1, valueColumn(s)), QStringLiteral("kept"));
        QCOMPARE(poller.w.cellText(2, valueColumn(s)), QString());
    }
    for (const int s : {0, 2, 4})
        QCOMPARE(poller.w.cellText(1, valueColumn(s)), QString::number(1000 + addressOf(s, 1)));
    QCOMPARE(poller.w.lblStatus[0]->text(), QStringLiteral("Received"));
}

QTEST_MAIN(tst_slowdevices)
#include "tst_slowdevices.moc"
