#include "app/optionip.h"
#include "simulator.h"
#include "support/broker.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/program.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QModbusDataUnit>
#include <QModbusDataUnitMap>
#include <QModbusReply>
#include <QModbusTcpClient>
#include <QModbusTcpServer>
#include <QProcess>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>

Q_DECLARE_METATYPE(sim::Pattern)

namespace
{

constexpr int WaitMs = 10000;

QString simulatorPath()
{
    const QString fromBuild = qEnvironmentVariable("QUORVEL_SIM");
    if (!fromBuild.isEmpty()) return fromBuild;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../quorvel-sim");
}

// The real simulator binary, run as a child process for one test.
class Simulator
{
public:
    ~Simulator()
    {
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        if (!process.waitForFinished(WaitMs)) {
            process.kill();
            process.waitForFinished(WaitMs);
        }
    }

    bool start(const QStringList &arguments)
    {
        process.setProgram(simulatorPath());
        // Should this test die, the simulator goes with it instead of lingering on its port.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.setArguments(arguments);
        process.start();
        return process.waitForStarted(WaitMs);
    }

    // Starts it on a free loopback port and waits for its "listening" line.
    bool startListening()
    {
        port = freeLoopbackPort();
        if (port == 0 || !start({QString::number(port)})) return false;
        return waitForOutput(QStringLiteral("listening on 127.0.0.1:%1,").arg(port));
    }

    bool waitForOutput(const QString &text)
    {
        return QTest::qWaitFor([this, &text] { return output().contains(text); }, WaitMs);
    }

    QString output()
    {
        out += QString::fromLocal8Bit(process.readAllStandardOutput());
        return out;
    }

    QProcess process;
    quint16 port = 0;

private:
    QString out;
};

bool connectClient(QModbusTcpClient &client, quint16 port)
{
    client.setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                  QStringLiteral("127.0.0.1"));
    client.setConnectionParameter(QModbusDevice::NetworkPortParameter, port);
    client.setTimeout(5000);
    client.setNumberOfRetries(0);
    if (!client.connectDevice()) return false;
    return QTest::qWaitFor([&client] { return client.state() == QModbusDevice::ConnectedState; },
                           WaitMs);
}

struct ReadOutcome {
    bool finished = false;
    QModbusDevice::Error error = QModbusDevice::UnknownError;
    QModbusPdu::ExceptionCode exception = QModbusPdu::ExtendedException;
    QList<quint16> values;
};

ReadOutcome outcomeOf(QModbusReply *reply)
{
    ReadOutcome outcome;
    if (!reply) return outcome;
    outcome.finished = QTest::qWaitFor([reply] { return reply->isFinished(); }, WaitMs);
    outcome.error = reply->error();
    // Taken from the bytes: Qt stores the exception function code sign-extended, and its
    // inline accessors then trip the undefined-behaviour sanitizer.
    const QByteArray data = reply->rawResult().data();
    if (outcome.error == QModbusDevice::ProtocolError && data.size() == 1)
        outcome.exception = QModbusPdu::ExceptionCode(quint8(data.at(0)));
    outcome.values = reply->result().values();
    delete reply;
    return outcome;
}

ReadOutcome readHolding(QModbusTcpClient &client, int address, int count, int unit = sim::UnitId)
{
    return outcomeOf(client.sendReadRequest(
        QModbusDataUnit(QModbusDataUnit::HoldingRegisters, address, quint16(count)), unit));
}

// Sent as a raw request because the client may refuse to build an oversized read itself.
ReadOutcome readHoldingRaw(QModbusTcpClient &client, quint16 address, quint16 count)
{
    return outcomeOf(client.sendRawRequest(
        QModbusRequest(QModbusRequest::ReadHoldingRegisters, address, count), sim::UnitId));
}

bool isRegisterValue(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    return ok && value <= 65535;
}

} // namespace

class tst_simulator : public QObject
{
    Q_OBJECT

private slots:
    void patternByRegisterNumber_data();
    void patternByRegisterNumber();
    void counterAndRamp();
    void sineStaysInRangeAndRepeats();
    void randomWalkMovesWithinRange();
    void bankAdvancesEveryRegister();
    void ports_data();
    void ports();
    void updateCost_data();
    void updateCost();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void servesMovingRegistersAndExceptions();
    void logsClientsAndStopsOnSignal_data();
    void logsClientsAndStopsOnSignal();
    void windowReadsSimulator();
    void typedSlotsFromSettingsAlone();
};

void tst_simulator::patternByRegisterNumber_data()
{
    QTest::addColumn<int>("registerNumber");
    QTest::addColumn<sim::Pattern>("pattern");
    QTest::newRow("1") << 1 << sim::Pattern::Counter;
    QTest::newRow("2") << 2 << sim::Pattern::Ramp;
    QTest::newRow("3") << 3 << sim::Pattern::Sine;
    QTest::newRow("4") << 4 << sim::Pattern::RandomWalk;
    QTest::newRow("5") << 5 << sim::Pattern::Counter;
    QTest::newRow("9999") << 9999 << sim::Pattern::Sine;
    QTest::newRow("10000") << 10000 << sim::Pattern::RandomWalk;
}

void tst_simulator::patternByRegisterNumber()
{
    QFETCH(int, registerNumber);
    QFETCH(sim::Pattern, pattern);
    QCOMPARE(sim::patternOf(registerNumber), pattern);
}

void tst_simulator::counterAndRamp()
{
    // A counter starts at its own register number and counts up by one, wrapping.
    for (const int n : {1, 5, 9997}) {
        QCOMPARE(sim::initialValue(n), quint16(n));
        QCOMPARE(sim::nextValue(n, 7, 41), quint16(42));
        QCOMPARE(sim::nextValue(n, 7, 65535), quint16(0));
    }

    // A ramp climbs in steps of ten to the top of its range and starts again at 0.
    for (const int n : {2, 6, 9998}) {
        const quint16 start = sim::initialValue(n);
        QVERIFY(start <= sim::RangeTop);
        QCOMPARE(start % sim::RampStep, 0);
        QCOMPARE(sim::nextValue(n, 1, 0), quint16(sim::RampStep));
        QCOMPARE(sim::nextValue(n, 1, sim::RangeTop - sim::RampStep), quint16(sim::RangeTop));
        QCOMPARE(sim::nextValue(n, 1, sim::RangeTop), quint16(0));
    }
    QVERIFY(sim::initialValue(2) != sim::initialValue(6));
}

void tst_simulator::sineStaysInRangeAndRepeats()
{
    for (const int n : {3, 7, 9999}) {
        quint16 lowest = 65535;
        quint16 highest = 0;
        for (quint64 tick = 0; tick < sim::SinePeriodTicks; ++tick) {
            const quint16 value = sim::sineValue(n, tick);
            QVERIFY(value <= sim::RangeTop);
            QCOMPARE(sim::sineValue(n, tick + sim::SinePeriodTicks), value);
            QCOMPARE(sim::nextValue(n, tick, 0), value);
            lowest = qMin(lowest, value);
            highest = qMax(highest, value);
        }
        QCOMPARE(lowest, quint16(0));
        QCOMPARE(highest, quint16(sim::RangeTop));
        QCOMPARE(sim::initialValue(n), sim::sineValue(n, 0));
    }
    // Register 3 has no phase shift: the middle at the start, the top a quarter turn later.
    QCOMPARE(sim::sineValue(3, 0), quint16(sim::RangeTop / 2));
    QCOMPARE(sim::sineValue(3, sim::SinePeriodTicks / 4), quint16(sim::RangeTop));
    QVERIFY(sim::sineValue(3, 0) != sim::sineValue(7, 0));
}

void tst_simulator::randomWalkMovesWithinRange()
{
    for (const int n : {4, 8, 10000}) {
        quint16 value = sim::initialValue(n);
        QVERIFY(value <= sim::RangeTop);
        bool wentUp = false;
        bool wentDown = false;
        for (quint64 tick = 1; tick <= 5000; ++tick) {
            const int step = sim::walkStep(n, tick);
            QCOMPARE(sim::walkStep(n, tick), step);
            QVERIFY(qAbs(step) >= sim::WalkMinStep && qAbs(step) <= sim::WalkMaxStep);
            const quint16 next = sim::nextValue(n, tick, value);
            QVERIFY(next <= sim::RangeTop);
            const int moved = int(next) - int(value);
            QVERIFY2(qAbs(moved) == qAbs(step), qPrintable(QString::number(moved)));
            wentUp = wentUp || moved > 0;
            wentDown = wentDown || moved < 0;
            value = next;
        }
        QVERIFY(wentUp && wentDown);

        // At the edges the walk bounces back into the range.
        for (quint64 tick = 1; tick <= 200; ++tick) {
            const quint16 fromTop = sim::nextValue(n, tick, sim::RangeTop);
            const quint16 fromBottom = sim::nextValue(n, tick, 0);
            QVERIFY(fromTop < sim::RangeTop && fromTop >= sim::RangeTop - sim::WalkMaxStep);
            QVERIFY(fromBottom >= sim::WalkMinStep && fromBottom <= sim::WalkMaxStep);
        }
    }
}

void tst_simulator::bankAdvancesEveryRegister()
{
    sim::RegisterBank bank;
    QCOMPARE(bank.values().size(), sim::RegisterCount);
    QCOMPARE(bank.tick(), quint64(0));
    QCOMPARE(bank.value(0), quint16(0));
    QCOMPARE(bank.value(sim::RegisterCount + 1), quint16(0));
    const QList<quint16> before = bank.values();
    for (int n = 1; n <= sim::RegisterCount; ++n)
        QCOMPARE(bank.value(n), sim::initialValue(n));

    bank.advance();
    QCOMPARE(bank.tick(), quint64(1));
    for (int n = 1; n <= sim::RegisterCount; ++n)
        QCOMPARE(bank.value(n), sim::nextValue(n, 1, before.at(n - 1)));

    // The first and the fourth register of a block move on every update.
    for (int update = 0; update < 8; ++update) {
        const QList<quint16> previous = bank.values();
        bank.advance();
        for (const int n : {1, 4, 5, 8, 9997, 10000})
            QVERIFY(bank.value(n) != previous.at(n - 1));
    }
}

void tst_simulator::ports_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("port"); // -1: rejected

    QTest::newRow("none gives the default") << QStringList() << int(sim::DefaultPort);
    QTest::newRow("1502") << QStringList{"1502"} << 1502;
    QTest::newRow("lowest") << QStringList{"1"} << 1;
    QTest::newRow("highest") << QStringList{"65535"} << 65535;
    QTest::newRow("leading zero") << QStringList{"08080"} << 8080;
    QTest::newRow("zero") << QStringList{"0"} << -1;
    QTest::newRow("too high") << QStringList{"65536"} << -1;
    QTest::newRow("far too long") << QStringList{"1234567"} << -1;
    QTest::newRow("negative") << QStringList{"-1"} << -1;
    QTest::newRow("plus sign") << QStringList{"+1502"} << -1;
    QTest::newRow("letters") << QStringList{"abc"} << -1;
    QTest::newRow("trailing letters") << QStringList{"1502x"} << -1;
    QTest::newRow("blank") << QStringList{" 1502"} << -1;
    QTest::newRow("fraction") << QStringList{"1502.0"} << -1;
    QTest::newRow("empty") << QStringList{""} << -1;
    QTest::newRow("other digits") << QStringList{QStringLiteral("\u0661\u0665")} << -1;
    QTest::newRow("two ports") << QStringList{"1502", "1503"} << -1;
}

void tst_simulator::ports()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, port);
    const std::optional<quint16> parsed = sim::portFromArguments(arguments);
    QCOMPARE(parsed.has_value(), port >= 0);
    if (parsed) QCOMPARE(int(*parsed), port);
}

// What one update costs: computing every register, handing them to the server, or both.
void tst_simulator::updateCost_data()
{
    QTest::addColumn<bool>("compute");
    QTest::addColumn<bool>("publish");
    QTest::newRow("compute") << true << false;
    QTest::newRow("publish") << false << true;
    QTest::newRow("whole update") << true << true;
}

void tst_simulator::updateCost()
{
    QFETCH(bool, compute);
    QFETCH(bool, publish);

    QModbusTcpServer server;
    QModbusDataUnitMap map;
    map.insert(QModbusDataUnit::HoldingRegisters,
               QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, sim::RegisterCount));
    server.setMap(map);
    sim::RegisterBank bank;

    QBENCHMARK
    {
        if (compute) bank.advance();
        if (publish)
            QVERIFY(server.setData(
                QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, bank.values())));
    }

    QVERIFY(server.setData(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, bank.values())));
    QModbusDataUnit served(QModbusDataUnit::HoldingRegisters, 0, sim::RegisterCount);
    QVERIFY(server.data(&served));
    QCOMPARE(served.values(), bank.values());
}

void tst_simulator::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("letters") << QStringList{"abc"};
    QTest::newRow("zero") << QStringList{"0"};
    QTest::newRow("too high") << QStringList{"65536"};
    QTest::newRow("two ports") << QStringList{"1502", "1503"};
}

void tst_simulator::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    Simulator simulator;
    QVERIFY2(simulator.start(arguments), qPrintable(simulatorPath()));
    QVERIFY(simulator.process.waitForFinished(WaitMs));
    QCOMPARE(simulator.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.process.exitCode(), 2);
    const QString errors = QString::fromLocal8Bit(simulator.process.readAllStandardError());
    QVERIFY2(errors.startsWith(QStringLiteral("usage: quorvel-sim [port]")), qPrintable(errors));
    QCOMPARE(simulator.output(), QString());
}

void tst_simulator::servesMovingRegistersAndExceptions()
{
    Simulator simulator;
    QVERIFY2(simulator.startListening(), qPrintable(simulator.output()));
    QModbusTcpClient client;
    QVERIFY(connectClient(client, simulator.port));

    const ReadOutcome first = readHolding(client, 0, 4);
    QVERIFY(first.finished);
    QCOMPARE(first.error, QModbusDevice::NoError);
    QCOMPARE(first.values.size(), 4);
    QCOMPARE(first.values.at(1) % sim::RampStep, 0);
    for (int i = 1; i < 4; ++i)
        QVERIFY(first.values.at(i) <= sim::RangeTop);

    // Any unit identifier is answered, as by a device reached directly.
    for (const int unit : {7, 255, 1}) {
        const ReadOutcome other = readHolding(client, 0, 4, unit);
        QVERIFY2(other.finished, qPrintable(QStringLiteral("unit %1").arg(unit)));
        QCOMPARE(other.error, QModbusDevice::NoError);
        QCOMPARE(other.values.size(), 4);
    }

    // One packet holding requests for several units: each is answered, in order, as sent.
    QTcpSocket raw;
    raw.connectToHost(QStringLiteral("127.0.0.1"), simulator.port);
    QVERIFY(raw.waitForConnected(WaitMs));
    const QByteArray requests = QByteArray::fromHex("0101000000060703000000020102000000060103000000"
                                                    "03010300000006070300000001");
    QCOMPARE(raw.write(requests), requests.size());
    QByteArray replies;
    QTRY_VERIFY_WITH_TIMEOUT((replies += raw.readAll()).size() >= 3 * 9 + 2 * (2 + 3 + 1), WaitMs);
    QCOMPARE(replies.size(), 3 * 9 + 2 * (2 + 3 + 1));
    QCOMPARE(replies.left(9).toHex(), QByteArray("010100000007070304"));
    QCOMPARE(replies.mid(13, 9).toHex(), QByteArray("010200000009010306"));
    QCOMPARE(replies.mid(28, 9).toHex(), QByteArray("010300000005070302"));

    // The last registers are served too.
    const ReadOutcome last = readHolding(client, sim::RegisterCount - 4, 4);
    QCOMPARE(last.error, QModbusDevice::NoError);
    QCOMPARE(last.values.size(), 4);
    QVERIFY(last.values.at(3) <= sim::RangeTop);

    // Registers 1 (counter) and 4 (random walk) move while we watch.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const ReadOutcome again = readHolding(client, 0, 4);
            return again.error == QModbusDevice::NoError && again.values.size() == 4 &&
                   again.values.at(0) != first.values.at(0) &&
                   again.values.at(3) != first.values.at(3);
        }(),
        WaitMs);

    struct OutOfRange {
        const char *name;
        quint16 address;
        quint16 count;
        QModbusPdu::ExceptionCode exception;
    };
    const OutOfRange cases[] = {
        {"first address beyond", 10000, 4, QModbusPdu::IllegalDataAddress},
        {"crossing the end", 9998, 4, QModbusPdu::IllegalDataAddress},
        {"last address", 65535, 1, QModbusPdu::IllegalDataAddress},
        {"quantity above 125", 0, 126, QModbusPdu::IllegalDataValue},
        {"quantity 0", 0, 0, QModbusPdu::IllegalDataValue},
    };
    for (const OutOfRange &c : cases) {
        const ReadOutcome outcome = readHoldingRaw(client, c.address, c.count);
        QVERIFY2(outcome.finished, c.name);
        QVERIFY2(outcome.error == QModbusDevice::ProtocolError, c.name);
        QVERIFY2(outcome.exception == c.exception, c.name);
    }
    const ReadOutcome viaDataUnit = readHolding(client, 10000, 4);
    QCOMPARE(viaDataUnit.error, QModbusDevice::ProtocolError);
    QCOMPARE(viaDataUnit.exception, QModbusPdu::IllegalDataAddress);

    // The connection survives the exceptions.
    QCOMPARE(readHolding(client, 0, 125).values.size(), 125);
}

void tst_simulator::logsClientsAndStopsOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QStringLiteral("SIGTERM");
    QTest::newRow("SIGINT") << int(SIGINT) << QStringLiteral("SIGINT");
    QTest::newRow("SIGHUP") << int(SIGHUP) << QStringLiteral("SIGHUP");
}

void tst_simulator::logsClientsAndStopsOnSignal()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, name);

    Simulator simulator;
    QVERIFY2(simulator.startListening(), qPrintable(simulator.output()));

    QTcpSocket leaving;
    leaving.connectToHost(QHostAddress::LocalHost, simulator.port);
    QVERIFY(leaving.waitForConnected(WaitMs));
    const QString leavingPeer = QStringLiteral("127.0.0.1:%1").arg(leaving.localPort());
    QVERIFY2(simulator.waitForOutput(
                 QStringLiteral("client %1 connected (1 connected)\n").arg(leavingPeer)),
             qPrintable(simulator.output()));

    QTcpSocket staying;
    staying.connectToHost(QHostAddress::LocalHost, simulator.port);
    QVERIFY(staying.waitForConnected(WaitMs));
    const QString stayingPeer = QStringLiteral("127.0.0.1:%1").arg(staying.localPort());
    QVERIFY2(simulator.waitForOutput(
                 QStringLiteral("client %1 connected (2 connected)\n").arg(stayingPeer)),
             qPrintable(simulator.output()));

    leaving.disconnectFromHost();
    QVERIFY2(
        simulator.waitForOutput(QStringLiteral("client %1 left (1 connected)\n").arg(leavingPeer)),
        qPrintable(simulator.output()));

    // A client still connected at the stop is logged as leaving.
    QCOMPARE(::kill(pid_t(simulator.process.processId()), signalNumber), 0);
    QVERIFY(simulator.process.waitForFinished(WaitMs));
    QCOMPARE(simulator.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.process.exitCode(), 0);
    const QString log = simulator.output();
    QVERIFY2(log.contains(QStringLiteral("stopping on %1\n").arg(name)), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("client %1 left (0 connected)\n").arg(stayingPeer)),
             qPrintable(log));
    QCOMPARE(QString::fromLocal8Bit(simulator.process.readAllStandardError()), QString());
}

void tst_simulator::windowReadsSimulator()
{
    Simulator simulator;
    QVERIFY2(simulator.startListening(), qPrintable(simulator.output()));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    OptionIP w(dir.path());
    w.tabel->setRowCount(30);
    w.tabel->setColumnCount(30);
    // Every slot reads registers 1 to 4 of link 0, so the rest of the cycle that a reply sets
    // going reads the simulator as well.
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        w.strReg[s]->setText(QStringLiteral("1"));
        w.LegReg[s]->setText(QStringLiteral("4"));
        w.LstIP[s]->setCurrentIndex(0);
    }
    QVERIFY(connectLink(w, 0, simulator.port));

    const auto cycleDone = [&w] {
        const QString status = w.lblStatus[0]->text();
        return w.slotIdx == 4 && !w.Timer4->isActive() &&
               (status == QLatin1String("Received") || status == QLatin1String("Data Loss"));
    };
    const auto readCycle = [&] {
        w.slotIdx = 0;
        w.cmdRead_Click();
        return QTest::qWaitFor(cycleDone, WaitMs);
    };

    w.slotIdx = 0;
    w.cmdRead_Click();
    QTRY_VERIFY_WITH_TIMEOUT(isRegisterValue(w.cellText(1, 2)), WaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(cycleDone(), WaitMs);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    const QString counter = w.cellText(1, 2);
    const QString walk = w.cellText(4, 2);
    for (int row = 2; row <= 4; ++row) {
        QVERIFY(isRegisterValue(w.cellText(row, 2)));
        QVERIFY(w.cellText(row, 2).toUInt() <= uint(sim::RangeTop));
    }

    // Read again until the counter and the random walk have moved.
    QTRY_VERIFY_WITH_TIMEOUT(readCycle() && w.cellText(1, 2) != counter && w.cellText(4, 2) != walk,
                             WaitMs);
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Received"));
    QVERIFY(isRegisterValue(w.cellText(1, 2)));

    // Register 10001 is beyond the device: the exception reply is a data loss, and the cells,
    // emptied by the edit, are not filled with what registers 1 to 4 held.
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        w.strReg[s]->setText(QStringLiteral("10001"));
    QVERIFY(readCycle());
    QCOMPARE(w.lblStatus[0]->text(), QStringLiteral("Data Loss"));
    QCOMPARE(w.cellText(1, 2), QString());
    QVERIFY(w.slotFailed(0));
}

void tst_simulator::typedSlotsFromSettingsAlone()
{
    // A meter's floats in swapped words, a gateway's unit 7 with signed input registers, and
    // coils, each where the simulator holds them still.
    Simulator simulator;
    simulator.port = freeLoopbackPort();
    QVERIFY(simulator.start({QString::number(simulator.port), "--hold", "100=f32:cdab=230.5",
                             "--hold", "102=f32:cdab=nan", "--hold", "106=f32:cdab=-7.75",
                             "--hold", "7/i200=s16=-2", "--hold",
                             "7/i203=s16=-300", "--hold", "c10=1", "--hold", "c11=0", "--hold",
                             "c12=1", "--hold", "c13=1"}));
    QVERIFY(simulator.waitForOutput(QStringLiteral("listening on")));
    QTemporaryDir dir;
    Broker broker(dir.path());
    QVERIFY(broker.start());

    // Slots 3 and 4 read what slots 0 and 1 read: their cells take other names.
    writeBytes(dir.filePath("setting.ini"),
               "[set]\nScon0=False\nport0=" + QByteArray::number(simulator.port) +
                   "\ntxtIP0=127.0.0.1\nstrreg0=100\nlegreg0=4\nLstIP0=0\nstrreg1=200\n"
                   "legreg1=4\nLstIP1=0\nstrreg2=10\nlegreg2=4\nLstIP2=0\nstrreg3=100\n"
                   "legreg3=1\nLstIP3=0\ntype0=f32:cdab\nUnit1=7\nobject1=input\ntype1=s16\n"
                   "object2=coil\ntype3=f32:cdab\nstrreg4=200\nlegreg4=1\nLstIP4=0\nunit4=7\n"
                   "object4=input\ntype4=hex\n");
    QProcess process;
    QVERIFY(startProgram(process, dir.path(),
                         {"--history", dir.filePath("history"), "--mqtt",
                          QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port())}));

    const auto record = [&] { return QString::fromLocal8Bit(readBytes(dir.filePath("data.txt"))); };
    QVERIFY2(QTest::qWaitFor(
                 [&] { return record().startsWith("#230.5#-2#1#230.5#0xFFFE#-7.75#-300#1###"); }, 30000),
             qPrintable(record()));

    const QString day = dir.filePath("history/quorvel-%1.csv")
                            .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
    QVERIFY(QTest::qWaitFor([&] { return readBytes(day).contains(",230.5,"); }, 10000));
    const QList<QByteArray> rows = readBytes(day).split('\n');
    QCOMPARE(rows.first(), QByteArray("time,A 100,A 102,A 104,A 106,A/7 i200,A/7 i201,A/7 i202,"
                                      "A/7 i203,A c10,A c11,A c12,A c13,A 100~3,A/7 i200~4"));
    const QList<QByteArray> fields = rows.at(rows.size() - 2).split(',');
    QCOMPARE(fields.size(), 15);
    QCOMPARE(fields.mid(1, 2), (QList<QByteArray>{"230.5", "nan"}));
    QCOMPARE(fields.mid(4, 2), (QList<QByteArray>{"-7.75", "-2"}));
    QCOMPARE(fields.mid(8), (QList<QByteArray>{"-300", "1", "0", "1", "1", "230.5", "0xFFFE"}));

    QMap<QString, QByteArray> retained;
    QVERIFY(QTest::qWaitFor(
        [&] {
            retained = retainedMessages(broker.port(), QStringLiteral("quorvel/#"));
            return retained.value("quorvel/A/100~3") == "230.5";
        },
        30000));
    QCOMPARE(retained.value("quorvel/A/100"), QByteArray("230.5"));
    QCOMPARE(retained.value("quorvel/A/7/i203"), QByteArray("-300"));
    QCOMPARE(retained.value("quorvel/A/c12"), QByteArray("1"));
    // The record of a cycle carries numbers: hexadecimal by its value, nan as null.
    const QJsonObject values =
        QJsonDocument::fromJson(subscribe(broker.port(), QStringLiteral("quorvel/values"),
                                          {"-C", "1", "-W", "5"})
                                    .value("quorvel/values"))
            .object()
            .value("values")
            .toObject();
    QCOMPARE(values.value("A 100").toDouble(), 230.5);
    QVERIFY(values.contains("A 102") && values.value("A 102").isNull());
    QCOMPARE(values.value("A/7 i200~4").toInt(), 0xFFFE);

    process.terminate();
    QVERIFY(process.waitForFinished(WaitMs));
    // Saved as read: the keys it had, nothing added for slots left at their defaults.
    const QByteArray saved = readBytes(dir.filePath("setting.ini"));
    QVERIFY2(saved.contains("\nunit1=7\n") && saved.contains("\nobject2=coil\n") &&
                 !saved.contains("unit0") && !saved.contains("object3"),
             saved.constData());
}

QTEST_MAIN(tst_simulator)
#include "tst_simulator.moc"
