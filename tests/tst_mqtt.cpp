// Publishing to a real mosquitto broker on 127.0.0.1: the real program polling a real Modbus
// device, seen from outside by mosquitto_sub, through kills, broker restarts, a wrong
// password and TLS with certificates made here.
#include "publish/mqtturl.h"
#include "publish/password.h"
#include "support/broker.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/program.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace
{

const QString User = QStringLiteral("plant");
const QByteArray Password = "Wr0ng-is-r1ght-7391";

// setting.ini: link A on the device, slot s reads 4 registers from 1 + 4s.
void writeSettings(const QString &dir, quint16 devicePort)
{
    QByteArray text = "[set]\r\nScon0=False\r\nScon1=True\r\nScon2=True\r\n";
    text += "port0=" + QByteArray::number(devicePort) + "\r\n";
    text += "txtIP0=127.0.0.1\r\ntxtIP1=127.0.0.1\r\ntxtIP2=127.0.0.1\r\n";
    for (int s = 0; s < 5; ++s) {
        text += "strreg" + QByteArray::number(s) + "=" + QByteArray::number(1 + 4 * s) + "\r\n";
        text += "legreg" + QByteArray::number(s) + "=4\r\nLstIP" + QByteArray::number(s) + "=0\r\n";
    }
    writeBytes(dir + QStringLiteral("/setting.ini"), text);
}

QStringList snapshotFields(const QString &dir)
{
    const QByteArray line = readBytes(dir + QStringLiteral("/data.txt"));
    if (!line.endsWith("\r\n")) return {};
    return QString::fromLatin1(line.chopped(2)).split(u'#');
}

bool run(const QString &program, const QStringList &arguments, const QString &dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// A CA and a server certificate for 127.0.0.1 signed by it, in dir as name-ca.crt, name.crt,
// name.key.
bool makeCertificates(const QString &dir, const QString &name)
{
    const QString ca = name + QStringLiteral("-ca");
    const QStringList ec = {
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    writeBytes(dir + QStringLiteral("/san.cnf"), "subjectAltName=IP:127.0.0.1\n");
    return run(QStringLiteral("openssl"),
               QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                   QStringList{QStringLiteral("-keyout"), ca + QStringLiteral(".key"),
                               QStringLiteral("-out"), ca + QStringLiteral(".crt"),
                               QStringLiteral("-days"), QStringLiteral("2"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=") + ca},
               dir) &&
           run(QStringLiteral("openssl"),
               QStringList{QStringLiteral("req")} + ec +
                   QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                               QStringLiteral("-out"), name + QStringLiteral(".csr"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
               dir) &&
           run(QStringLiteral("openssl"),
               {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                name + QStringLiteral(".csr"), QStringLiteral("-CA"), ca + QStringLiteral(".crt"),
                QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                name + QStringLiteral(".crt"), QStringLiteral("-days"), QStringLiteral("2"),
                QStringLiteral("-extfile"), QStringLiteral("san.cnf")},
               dir);
}

} // namespace

class tst_mqtt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void urls_data();
    void urls();
    void publishesWhatTheGridShowsAndDiesOffline();
    void survivesABrokerRestart();
    void reportsLoginAndCertificateFaults_data();
    void reportsLoginAndCertificateFaults();

private:
    QTemporaryDir m_certs;
};

void tst_mqtt::initTestCase()
{
    if (Broker::program().isEmpty()) QSKIP("mosquitto is not installed");
    QVERIFY(m_certs.isValid());
    QVERIFY(makeCertificates(m_certs.path(), QStringLiteral("server")));
    QVERIFY(makeCertificates(m_certs.path(), QStringLiteral("other")));
    QVERIFY(run(QStringLiteral("mosquitto_passwd"),
                {QStringLiteral("-c"), QStringLiteral("-b"), QStringLiteral("passwords"), User,
                 QString::fromLatin1(Password)},
                m_certs.path()));
}

void tst_mqtt::urls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("target"); // tls user host port prefix, or the error's start
    QTest::newRow("defaults") << "mqtt://broker"
                              << "0  broker 1883 quorvel";
    QTest::newRow("tls, user, port, prefix") << "mqtts://plant@10.0.0.5:9883/site/hall"
                                             << "1 plant 10.0.0.5 9883 site/hall";
    QTest::newRow("tls default port") << "MQTTS://b/"
                                      << "1  b 8883 quorvel";
    QTest::newRow("other scheme") << "http://b"
                                  << "--mqtt: the URL starts with mqtt://";
    QTest::newRow("password") << "mqtt://u:secret@b"
                              << "--mqtt: the password does not belong";
    QTest::newRow("no host") << "mqtt:///quorvel"
                             << "--mqtt: the URL names no broker host";
    QTest::newRow("port 0") << "mqtt://b:0"
                            << "--mqtt: the port is 1 to 65535";
    QTest::newRow("wildcard") << "mqtt://b/site/#"
                              << "--mqtt: the URL may not hold";
    QTest::newRow("empty level") << "mqtt://b/site//x"
                                 << "--mqtt: the topic prefix";
    QTest::newRow("no scheme") << "broker:1883"
                               << "--mqtt: the URL starts with mqtt://";
}

void tst_mqtt::urls()
{
    QFETCH(QString, url);
    QFETCH(QString, target);
    const auto parsed = publish::parseMqttUrl(url);
    if (const auto *t = std::get_if<publish::MqttTarget>(&parsed)) {
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(int(t->tls))
                     .arg(t->user, t->host)
                     .arg(t->port)
                     .arg(t->prefix),
                 target);
    } else {
        const QString error = std::get<QString>(parsed);
        QVERIFY2(error.startsWith(target), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1String("secret")), qPrintable(error));
    }
}

void tst_mqtt::publishesWhatTheGridShowsAndDiesOffline()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Broker broker(dir.path());
    broker.settings << QStringLiteral("password_file ") +
                           m_certs.filePath(QStringLiteral("passwords"));
    QVERIFY(broker.start());
    ModbusDevice device;
    QVERIFY(device.start());
    for (int address = 0; address < 20; ++address)
        device.setRegister(address, quint16(1000 + address));
    writeSettings(dir.path(), device.port());
    const QStringList login = {QStringLiteral("-u"), User, QStringLiteral("-P"),
                               QString::fromLatin1(Password)};
    Subscriber watching;
    QVERIFY(watching.start(broker.port(), QStringLiteral("site/q/#"), login));

    QProcessEnvironment env;
    env.insert(QString::fromLatin1(publish::PasswordVariable), QString::fromLatin1(Password));
    QProcess process;
    const QString trafficLog = dir.filePath(QStringLiteral("traffic.log"));
    QVERIFY(
        startProgram(process, dir.path(),
                     {QStringLiteral("--mqtt"),
                      QStringLiteral("mqtt://%1@127.0.0.1:%2/site/q").arg(User).arg(broker.port()),
                      QStringLiteral("--traffic"), trafficLog},
                     env));

    // The per-cycle JSON holds every value cell; where data.txt holds the same register, the
    // same number.
    QJsonObject values;
    QTRY_VERIFY_WITH_TIMEOUT(
        (values = QJsonDocument::fromJson(watching.last(QStringLiteral("site/q/values")))
                      .object()
                      .value(QStringLiteral("values"))
                      .toObject())
                .value(QStringLiteral("A 20"))
                .toInt() == 1019,
        40000);
    QCOMPARE(values.size(), 20);
    QStringList fields;
    QTRY_VERIFY_WITH_TIMEOUT((fields = snapshotFields(dir.path())).size() == 13, 10000);
    for (int s = 0; s < 5; ++s) {
        QCOMPARE(values.value(QStringLiteral("A %1").arg(1 + 4 * s)).toInt(),
                 fields[1 + s].toInt());
        QCOMPARE(values.value(QStringLiteral("A %1").arg(4 + 4 * s)).toInt(),
                 fields[6 + s].toInt());
    }
    const QJsonObject cycle =
        QJsonDocument::fromJson(watching.last(QStringLiteral("site/q/values"))).object();
    QVERIFY2(
        QRegularExpression(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"))
            .match(cycle.value(QStringLiteral("time")).toString())
            .hasMatch(),
        qPrintable(cycle.value(QStringLiteral("time")).toString()));

    // A subscriber that comes late finds every shown value, the link's caption and "online".
    device.setRegister(2, 4242);
    QMap<QString, QByteArray> retained;
    QTRY_VERIFY_WITH_TIMEOUT(
        (retained = retainedMessages(broker.port(), QStringLiteral("site/q/#"), login))
                .value(QStringLiteral("site/q/A/3")) == "4242",
        30000);
    QCOMPARE(retained.value(QStringLiteral("site/q/status")), QByteArray("online"));
    QCOMPARE(retained.value(QStringLiteral("site/q/A/status")), QByteArray("Received"));
    for (int reg = 1; reg <= 20; ++reg)
        if (reg != 3)
            QCOMPARE(retained.value(QStringLiteral("site/q/A/%1").arg(reg)),
                     QByteArray::number(999 + reg));

    // The password shows nowhere another user or a log reader could look.
    const QString proc = QStringLiteral("/proc/%1/").arg(process.processId());
    QVERIFY(readBytes(proc + QStringLiteral("cmdline")).contains("site/q"));
    QVERIFY(!readBytes(proc + QStringLiteral("cmdline")).contains(Password));
    QVERIFY(!readBytes(proc + QStringLiteral("environ")).contains(Password));

    // Killed, it leaves "offline" behind through the broker.
    QCOMPARE(::kill(pid_t(process.processId()), SIGKILL), 0);
    QVERIFY(process.waitForFinished(10000));
    QTRY_COMPARE_WITH_TIMEOUT(watching.last(QStringLiteral("site/q/status")), QByteArray("offline"),
                              20000);
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(
        err.contains("MQTT broker 127.0.0.1:" + QByteArray::number(broker.port()) + " connected"),
        err.constData());
    QVERIFY(!err.contains(Password));
    const QByteArray log = readBytes(trafficLog);
    QVERIFY2(log.contains(" MQTT -- MQTT broker 127.0.0.1"), log.left(2000).constData());
    QVERIFY(!log.contains(Password));
}

void tst_mqtt::survivesABrokerRestart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Broker broker(dir.path());
    QVERIFY(broker.start());
    ModbusDevice device;
    QVERIFY(device.start());
    device.setRegister(0, 100);
    writeSettings(dir.path(), device.port());
    QProcess process;
    QVERIFY(startProgram(
        process, dir.path(),
        {QStringLiteral("--mqtt"), QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port())}));
    QTRY_COMPARE_WITH_TIMEOUT(retainedMessages(broker.port(), QStringLiteral("quorvel/A/1"))
                                  .value(QStringLiteral("quorvel/A/1")),
                              QByteArray("100"), 40000);

    // Broker gone: said once, and polling and data.txt go on, cycle after cycle.
    broker.kill();
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains(" lost: "), 20000);
    for (const quint16 value : {101, 102, 103}) {
        device.setRegister(0, value);
        QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QString::number(value),
                                  20000);
    }
    QVERIFY2(err.contains("lost: connection lost"), err.constData());

    // Back on the same port with nothing retained: Quorvel publishes its state again.
    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains(" back, "), 60000);
    QMap<QString, QByteArray> retained;
    QTRY_VERIFY_WITH_TIMEOUT(
        (retained = retainedMessages(broker.port(), QStringLiteral("quorvel/#")))
                .value(QStringLiteral("quorvel/A/1")) == "103",
        20000);
    QCOMPARE(retained.value(QStringLiteral("quorvel/status")), QByteArray("online"));
    QCOMPARE(retained.value(QStringLiteral("quorvel/A/status")), QByteArray("Received"));
    QCOMPARE(err.count("MQTT broker"), 3); // connected, lost, back
    QVERIFY(err.indexOf(" lost: ") < err.indexOf(" back, "));

    // A normal close says "offline" before it goes.
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(retainedMessages(broker.port(), QStringLiteral("quorvel/status"))
                 .value(QStringLiteral("quorvel/status")),
             QByteArray("offline"));
}

void tst_mqtt::reportsLoginAndCertificateFaults_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("caFile"); // in the certificates' directory
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("report");

    QTest::newRow("wrong password") << false << QString() << QByteArray("not-the-one")
                                    << "not reached: bad login (not authorised)";
    QTest::newRow("wrong CA") << true << "other-ca.crt" << QByteArray()
                              << "not reached: TLS failure: certificate verify failed";
    QTest::newRow("right CA") << true << "server-ca.crt" << QByteArray() << "connected";
}

void tst_mqtt::reportsLoginAndCertificateFaults()
{
    QFETCH(bool, tls);
    QFETCH(QString, caFile);
    QFETCH(QByteArray, password);
    QFETCH(QString, report);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Broker broker(dir.path());
    const QDir certs(m_certs.path());
    if (tls)
        broker.settings << QStringLiteral("certfile ") +
                               certs.filePath(QStringLiteral("server.crt"))
                        << QStringLiteral("keyfile ") +
                               certs.filePath(QStringLiteral("server.key"));
    else
        broker.settings << QStringLiteral("password_file ") +
                               certs.filePath(QStringLiteral("passwords"));
    QVERIFY(broker.start());
    ModbusDevice device;
    QVERIFY(device.start());
    device.setRegister(0, 321);
    writeSettings(dir.path(), device.port());

    const QString url = (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) +
                        (password.isEmpty() ? QString() : User + u'@') +
                        QStringLiteral("127.0.0.1:") + QString::number(broker.port());
    QStringList arguments = {QStringLiteral("--mqtt"), url};
    if (!caFile.isEmpty()) arguments << QStringLiteral("--mqtt-cafile") << certs.filePath(caFile);
    if (!password.isEmpty()) {
        writeBytes(dir.filePath(QStringLiteral("password")), password + '\n');
        arguments << QStringLiteral("--mqtt-password-file")
                  << dir.filePath(QStringLiteral("password"));
    }
    QProcess process;
    QVERIFY(startProgram(process, dir.path(), arguments));

    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains(report.toUtf8()),
                             40000);
    // The broker changes nothing else: the device's values reach data.txt.
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("321"), 30000);
    if (report == QLatin1String("connected")) {
        const QStringList client = {QStringLiteral("--cafile"), certs.filePath(caFile)};
        QTRY_COMPARE_WITH_TIMEOUT(
            retainedMessages(broker.port(), QStringLiteral("quorvel/A/1"), client)
                .value(QStringLiteral("quorvel/A/1")),
            QByteArray("321"), 20000);
    }
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    err += process.readAllStandardError();
    QVERIFY2(!password.isEmpty() ? !err.contains(password) : true, err.constData());
    // Retried with back-off, a fault that stays the same is reported once.
    QCOMPARE(err.count("MQTT broker"), 1);
}

QTEST_GUILESS_MAIN(tst_mqtt)
#include "tst_mqtt.moc"
