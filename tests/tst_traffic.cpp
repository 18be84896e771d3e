// The traffic log: what it writes for frames and connection events of the real window on
// loopback sockets, its rotation, and a log that cannot be written.
#include "app/optionip.h"
#include "links/winsock.h"
#include "support/devices.h"
#include "support/pollwindow.h"
#include "traffic/trafficlog.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

const QRegularExpression LineStart(
    QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ([ABC]) (TX|RX|--) (.*)$"));

// The log's lines after the link letter: "-- connected", "TX 0x0001 00 01 ...".
QStringList loggedLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        if (raw.isEmpty()) continue;
        const QRegularExpressionMatch match = LineStart.match(QString::fromUtf8(raw));
        lines << (match.hasMatch()
                      ? match.captured(1) + u' ' + match.captured(2) + u' ' + match.captured(3)
                      : QStringLiteral("BAD LINE ") + QString::fromUtf8(raw));
    }
    return lines;
}

QStringList snapshotFields(const QString &dir)
{
    QFile file(dir + QStringLiteral("/data.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray line = file.readAll();
    if (!line.endsWith("\r\n")) return {};
    return QString::fromLocal8Bit(line.chopped(2)).split(u'#');
}

} // namespace

class tst_traffic : public QObject
{
    Q_OBJECT

private slots:
    void receivedFrameLines_data();
    void receivedFrameLines();
    void connectionEventsAndSentFrames();
    void rotationKeepsTwoFiles();
    void unwritableLogLeavesPollingRunning_data();
    void unwritableLogLeavesPollingRunning();
};

void tst_traffic::receivedFrameLines_data()
{
    QTest::addColumn<QList<int>>("order"); // read in this order on link A
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("reply"); // the device's answer once every request is in
    QTest::addColumn<QString>("line");     // the line it is logged as, after the time

    const QString four = QStringLiteral("4");
    QByteArray garbage(1024, '\0');
    garbage.replace(0, 6, QByteArray::fromHex("00010000012C"));

    QTest::newRow("registers")
        << QList<int>{2} << QStringLiteral("10")
        << readReply({1, 2, 3, 4, 5, 6, 7, 8, 9, 0xABCD}, 1)
        << QStringLiteral("A RX 0x0001 00 01 00 00 00 17 01 03 14 00 01 00 02 00 03 00 04 00 05 "
                          "00 06 00 07 00 08 00 09 AB CD | slot 2 received 10 registers");
    QTest::newRow("exception") << QList<int>{2} << four << exceptionReply(2, 1)
                               << QStringLiteral("A RX 0x0001 00 01 00 00 00 03 01 83 02 | slot 2 "
                                                 "data loss: exception 02 (illegal data address)");
    QTest::newRow("byte count")
        << QList<int>{2} << four << readReply({7, 8, 9}, 1)
        << QStringLiteral("A RX 0x0001 00 01 00 00 00 09 01 03 06 00 07 00 08 00 09 | slot 2 data "
                          "loss: byte count 6, asked 4 registers");
    QTest::newRow("late") << QList<int>{0, 1} << four << readReply({1, 2, 3, 4}, 1)
                          << QStringLiteral("A RX 0x0001 00 01 00 00 00 0B 01 03 08 00 01 00 02 00 "
                                            "03 00 04 | late, slot 0 received 4 registers");
    QTest::newRow("dropped")
        << QList<int>{2} << four << readReply({5}, 0x1234)
        << QStringLiteral("A RX 0x1234 12 34 00 00 00 05 01 03 02 00 05 | dropped: no outstanding "
                          "request 0x1234");
    QTest::newRow("malformed")
        << QList<int>{2} << four << garbage
        << QStringLiteral("A RX 0x0001 00 01 00 00 01 2C") + QStringLiteral(" 00").repeated(58) +
               QStringLiteral(" ... (1024 bytes) | malformed: length field 300, 1024 bytes "
                              "dropped, data loss");
}

void tst_traffic::receivedFrameLines()
{
    QFETCH(QList<int>, order);
    QFETCH(QString, count);
    QFETCH(QByteArray, reply);
    QFETCH(QString, line);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("traffic.log"));
    TrafficLog log(path);
    QVERIFY(log.open());
    OptionIP w(dir.path());
    shapeForPolling(w);
    w.setTrafficLog(&log);
    ScriptedDevice device;
    QVERIFY(device.start());
    QVERIFY(connectLink(w, 0, device.port()));
    // The other slots are unused, so a finished slot runs the cycle to its end.
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, 0, QStringLiteral("1"), QStringLiteral("0"));

    for (int k = 0; k < order.size(); ++k) {
        setSlot(w, order[k], 0, QStringLiteral("1"), count);
        w.slotIdx = qint16(order[k] == 0 ? 4 : order[k] - 1);
        w.cmdConnectDev_Click();
        QTRY_COMPARE_WITH_TIMEOUT(device.received.size(), 12 * (k + 1), 10000);
    }
    device.send(reply);

    const auto received = [&] {
        log.flush();
        return loggedLines(path).filter(QStringLiteral(" RX "));
    };
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, 10000);
    QCOMPARE(received().constFirst(), line);
}

void tst_traffic::connectionEventsAndSentFrames()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("traffic.log"));
    TrafficLog log(path);
    QVERIFY(log.open());
    OptionIP w(dir.path());
    shapeForPolling(w);
    w.setTrafficLog(&log);

    ModbusDevice device;
    QVERIFY(device.start());
    const quint16 refused = freeLoopbackPort();
    w.txtIP[1]->setText(QStringLiteral("127.0.0.1"));
    w.txtPort[1]->setText(QString::number(refused));
    w.cmdConnect_Click(1);
    w.cmdDisconnect_Click(1);

    w.txtIP[0]->setText(QStringLiteral("127.0.0.1"));
    w.txtPort[0]->setText(QString::number(device.port()));
    w.cmdConnect_Click(0);
    QCOMPARE(w.Winsock1[0]->state(), int(Winsock::Connected));
    setSlot(w, 0, 0, QStringLiteral("11"), QStringLiteral("300"));
    w.cmdConnectDev_Click();
    w.cmdDisconnect_Click(0);
    log.flush();

    const QString port = QString::number(device.port());
    const QStringList expected = {
        QStringLiteral("B -- connecting to 127.0.0.1:%1").arg(refused),
        QStringLiteral("B -- refused: Connection refused"),
        QStringLiteral("B -- closed by request"),
        QStringLiteral("A -- connecting to 127.0.0.1:") + port,
        QStringLiteral("A -- connected"),
        // Start register 11 is address 10; 300 registers is 0x012C.
        QStringLiteral("A TX 0x0001 00 01 00 00 00 06 01 03 00 0A 01 2C"),
        QStringLiteral("A -- closed by request"),
    };
    QCOMPARE(loggedLines(path), expected);

    // The device goes away while connected.
    QVERIFY(connectLink(w, 2, device.port()));
    device.stop();
    QTRY_COMPARE_WITH_TIMEOUT(w.Winsock1[2]->state(), int(Winsock::Closing), 10000);
    log.flush();
    QCOMPARE(loggedLines(path).constLast(),
             QStringLiteral("C -- lost: The remote host closed the connection"));
}

void tst_traffic::rotationKeepsTwoFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("traffic.log"));
    const QString older = path + QStringLiteral(".1");
    QFile stale(older);
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("a stale rotation\n");
    stale.close();

    // Over two and a half times the limit, in lines of about 250 bytes.
    QByteArray frame(100, '\x5A');
    qint64 written = 0;
    {
        TrafficLog log(path);
        QVERIFY(log.open());
        for (int k = 0; written < 5 * TrafficLog::RotateBytes / 2; ++k) {
            frame[0] = char(k >> 8);
            frame[1] = char(k);
            log.sent(k % 3, frame);
            written += 250;
        }
        QVERIFY(log.isWorking());
    }

    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("traffic.log"), QStringLiteral("traffic.log.1")}));
    for (const QString &file : {path, older}) {
        QVERIFY(QFileInfo(file).size() <= TrafficLog::RotateBytes);
        const QStringList lines = loggedLines(file);
        QVERIFY(!lines.isEmpty());
        QVERIFY2(lines.filter(QStringLiteral("BAD LINE")).isEmpty(), qPrintable(file));
        // Every line keeps its 64 bytes and the frame's length.
        QVERIFY(lines.constLast().endsWith(QStringLiteral(" 5A 5A ... (100 bytes)")));
    }
    // The older file was full when the newer one started.
    QVERIFY(QFileInfo(older).size() > TrafficLog::RotateBytes - TrafficLog::BufferBytes - 300);
}

void tst_traffic::unwritableLogLeavesPollingRunning_data()
{
    QTest::addColumn<QString>("logPath"); // "%1" is the program's directory
    QTest::addColumn<QString>("report");

    QTest::newRow("cannot be opened")
        << QStringLiteral("%1/setting.ini/traffic.log") << QStringLiteral("cannot open");
    if (QFile::exists(QStringLiteral("/dev/full")))
        QTest::newRow("every write fails")
            << QStringLiteral("/dev/full") << QStringLiteral("cannot write");
}

void tst_traffic::unwritableLogLeavesPollingRunning()
{
    QFETCH(QString, logPath);
    QFETCH(QString, report);

    const QString binary = qEnvironmentVariable("QUORVEL_BINARY");
    QVERIFY2(QFile::exists(binary), "QUORVEL_BINARY must name the built program");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("quorvel"));
    QVERIFY(QFile::copy(binary, program));

    ModbusDevice device;
    QVERIFY(device.start());
    device.setRegister(0, 777);
    QFile ini(dir.filePath(QStringLiteral("setting.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[set]\r\nScon0=False\r\nScon1=True\r\nScon2=True\r\ntxtIP0=127.0.0.1\r\nport0=" +
              QByteArray::number(device.port()) + "\r\nstrreg0=1\r\nlegreg0=1\r\nLstIP0=0\r\n");
    ini.close();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir.path());
    process.start(program, {QStringLiteral("--traffic"), logPath.arg(dir.path())});
    QVERIFY(process.waitForStarted());

    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains(report.toUtf8()),
                             30000);
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("777"), 30000);
    // Polling goes on for a few more cycles, and the log is not reported again.
    device.setRegister(0, 778);
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("778"), 30000);
    device.setRegister(0, 779);
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("779"), 30000);
    QCOMPARE(process.state(), QProcess::Running);
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    err += process.readAllStandardError();
    QCOMPARE(err.count("traffic log"), 1);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_MAIN(tst_traffic)
#include "tst_traffic.moc"
