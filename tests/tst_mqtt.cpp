// Publishing to a real mosquitto broker on 127.0.0.1: the real program polling a real Modbus
// device, seen from outside with mosquitto_sub, through a kill, a broker restart, a wrong
// password and TLS with certificates made here.
#include "app/commandline.h"
#include "app/optionip.h"
#include "app/windowfeed.h"
#include "publish/mqttpublisher.h"
#include "publish/mqtturl.h"
#include "publish/password.h"
#include "publish/payloads.h"
#include "support/broker.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/pollwindow.h"
#include "support/program.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

// Qt's QTRY macros count their waits, not the clock, so a condition that itself takes seconds
// (a subscriber waiting for messages) would stretch their bound many times over. These wait
// on the clock.
#define WAIT_VERIFY(expr, ms) QVERIFY2(QTest::qWaitFor([&] { return bool(expr); }, ms), #expr)
#define WAIT_COMPARE(actual, expected, ms)                                                         \
    do {                                                                                           \
        (void)QTest::qWaitFor([&] { return (actual) == (expected); }, ms);                         \
        QCOMPARE(actual, expected);                                                                \
    } while (false)

namespace
{

const QString User = QStringLiteral("plant");
const QByteArray Password = "Wr0ng-is-r1ght-7391";

// Two CAs (server-ca, other-ca), a certificate for 127.0.0.1 signed by each (server, other),
// and a broker password file for User.
const char *const MakeCredentials = R"(set -e
printf 'subjectAltName=IP:127.0.0.1\n' > san.cnf
for n in server other; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -keyout $n-ca.key -out $n-ca.crt -subj /CN=$n-ca
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout $n.key -out $n.csr -subj /CN=127.0.0.1
  openssl x509 -req -in $n.csr -CA $n-ca.crt -CAkey $n-ca.key -CAcreateserial -days 2 \
    -extfile san.cnf -out $n.crt
done
mosquitto_passwd -c -b passwords "$1" "$2")";

// setting.ini: link A on the device, slot s reads 4 registers from 1 + 4s.
void writeSettings(const QString &dir, quint16 devicePort)
{
    QByteArray text = "[set]\r\nScon0=False\r\nScon1=True\r\nScon2=True\r\nport0=" +
                      QByteArray::number(devicePort) +
                      "\r\ntxtIP0=127.0.0.1\r\ntxtIP1=127.0.0.1\r\ntxtIP2=127.0.0.1\r\n";
    for (int s = 0; s < 5; ++s)
        text += "strreg" + QByteArray::number(s) + "=" + QByteArray::number(1 + 4 * s) +
                "\r\nlegreg" + QByteArray::number(s) + "=4\r\nLstIP" + QByteArray::number(s) +
                "=0\r\n";
    writeBytes(dir + QStringLiteral("/setting.ini"), text);
}

// Field k of data.txt (1 to 5: row 1 of slots 0 to 4; 6 to 10: row 4).
QString snapshotField(const QString &dir, int k)
{
    const QByteArray line = readBytes(dir + QStringLiteral("/data.txt"));
    return line.endsWith("\r\n") ? QString::fromLatin1(line.chopped(2)).split(u'#').value(k)
                                 : QString();
}

} // namespace

class tst_mqtt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void urls_data();
    void urls();
    void jsonNumbers_data();
    void jsonNumbers();
    void passwordFileLine();
    void retryWaits_data();
    void retryWaits();
    void publishesWhatTheGridShowsAndDiesOffline();
    void survivesABrokerRestart();
    void reportsLoginAndCertificateFaults_data();
    void reportsLoginAndCertificateFaults();
    void discoveryFollowsTheShownCells_data();
    void discoveryFollowsTheShownCells();

private:
    QTemporaryDir m_credentials;
};

void tst_mqtt::initTestCase()
{
    if (Broker::program().isEmpty()) QSKIP("mosquitto is not installed");
    QProcess make;
    make.setWorkingDirectory(m_credentials.path());
    make.start(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromLatin1(MakeCredentials),
                                      QStringLiteral("sh"), User, QString::fromLatin1(Password)});
    QVERIFY(make.waitForFinished(60000));
    QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
}

void tst_mqtt::urls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("target"); // "tls user host port prefix", or the error's start
    QTest::newRow("defaults") << "mqtt://broker"
                              << "0  broker 1883 quorvel";
    QTest::newRow("all given") << "mqtts://plant@10.0.0.5:9883/site/q"
                               << "1 plant 10.0.0.5 9883 site/q";
    QTest::newRow("tls default port") << "MQTTS://b/"
                                      << "1  b 8883 quorvel";
    QTest::newRow("no host") << "mqtt:///quorvel"
                             << "--mqtt: the URL names no broker host";
    QTest::newRow("port 0") << "mqtt://b:0"
                            << "--mqtt: the port is 1 to 65535";
    QTest::newRow("empty level") << "mqtt://b/site//x"
                                 << "--mqtt: the topic prefix 'site//x' holds '+', '#'";
    QTest::newRow("$ prefix") << "mqtt://b/$SYS/q"
                              << "--mqtt: the topic prefix '$SYS/q' begins with '$'";
    QTest::newRow("$ written %24") << "mqtt://b/%24q"
                                   << "--mqtt: the topic prefix '$q' begins with '$'";
    QTest::newRow("NUL written %00") << "mqtt://b/a%00b"
                                     << "--mqtt: the topic prefix holds a control character";
    QTest::newRow("control character") << "mqtt://b/a\tb"
                                       << "--mqtt: the topic prefix holds a control character";
    QTest::newRow("blank") << "mqtt://b/my site"
                           << "--mqtt: the topic prefix holds a blank";
    QTest::newRow("blank written %20") << "mqtt://b/my%20site"
                                       << "--mqtt: the topic prefix holds a blank";
    QTest::newRow("prefix too long")
        << "mqtt://b/" + QString(65001, u'p') << "--mqtt: the topic prefix is 65001 bytes long";
    QTest::newRow("host too long") << "mqtt://" + QString(254, u'h') + "/q"
                                   << "--mqtt: the broker host name is longer than 253";
}

void tst_mqtt::urls()
{
    QFETCH(QString, url);
    QFETCH(QString, target);
    const auto parsed = publish::parseMqttUrl(url);
    if (const auto *t = std::get_if<publish::MqttTarget>(&parsed))
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(int(t->tls))
                     .arg(t->user, t->host)
                     .arg(t->port)
                     .arg(t->prefix),
                 target);
    else
        QVERIFY2(std::get<QString>(parsed).startsWith(target),
                 qPrintable(std::get<QString>(parsed)));
}

void tst_mqtt::jsonNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("register") << "25" << QByteArray("25");
    QTest::newRow("zero") << "0" << QByteArray("0");
    QTest::newRow("leading zeros are no JSON") << "007" << QByteArray("7");
    QTest::newRow("signed") << "-3" << QByteArray("-3");
    QTest::newRow("float") << "230.5" << QByteArray("230.5");
    QTest::newRow("exponent") << "1e-05" << QByteArray("1e-05");
    QTest::newRow("hex as its value") << "0x1A2B" << QByteArray("6699");
    QTest::newRow("nan") << "nan" << QByteArray("null");
    QTest::newRow("-inf") << "-inf" << QByteArray("null");
    QTest::newRow("unread") << "???" << QByteArray("null");
}

void tst_mqtt::jsonNumbers()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, json);
    snapshot::ShownValue value;
    value.text = text;
    value.current = text != QLatin1String("???");
    QCOMPARE(publish::jsonNumber(value), json);
}

void tst_mqtt::retryWaits_data()
{
    QTest::addColumn<int>("lastWait");
    QTest::addColumn<bool>("wasConnected");
    QTest::addColumn<int>("wait");
    QTest::newRow("first attempt failed") << 0 << false << 1;
    QTest::newRow("doubling") << 4 << false << 8;
    QTest::newRow("up to the longest") << 16 << false << 30;
    // A broker lost after hours of service is tried again at once, not half a minute later.
    QTest::newRow("connected since") << 30 << true << 1;
}

void tst_mqtt::retryWaits()
{
    QFETCH(int, lastWait);
    QFETCH(bool, wasConnected);
    QFETCH(int, wait);
    QCOMPARE(publish::nextRetrySeconds(lastWait, wasConnected), wait);
}

void tst_mqtt::passwordFileLine()
{
    // The first line, whatever its line end: a CR kept would be a wrong password.
    const QString path = m_credentials.filePath(QStringLiteral("pw-crlf"));
    writeBytes(path, "s3cret\r\nsecond\r\n");
    const auto password = publish::readPasswordFile(path);
    QCOMPARE(std::get<QByteArray>(password), QByteArray("s3cret"));
}

void tst_mqtt::publishesWhatTheGridShowsAndDiesOffline()
{
    QTemporaryDir dir;
    Broker broker(dir.path());
    broker.settings << QStringLiteral("password_file ") +
                           m_credentials.filePath(QStringLiteral("passwords"));
    QVERIFY(broker.start());
    ModbusDevice device;
    QVERIFY(device.start());
    for (int address = 0; address < 20; ++address)
        device.setRegister(address, quint16(1000 + address));
    writeSettings(dir.path(), device.port());
    const QStringList login = {QStringLiteral("-u"), User, QStringLiteral("-P"),
                               QString::fromLatin1(Password)};

    QProcessEnvironment env;
    env.insert(QStringLiteral("QUORVEL_MQTT_PASSWORD"), QString::fromLatin1(Password));
    QProcess process;
    const QString trafficLog = dir.filePath(QStringLiteral("traffic.log"));
    QVERIFY(
        startProgram(process, dir.path(),
                     {QStringLiteral("--mqtt"),
                      QStringLiteral("mqtt://%1@127.0.0.1:%2/site/q").arg(User).arg(broker.port()),
                      QStringLiteral("--traffic"), trafficLog},
                     env));

    // The per-cycle JSON: every value cell by name; where data.txt holds the same register,
    // the same number.
    QJsonObject cycle, values;
    WAIT_VERIFY(
        (values = (cycle = QJsonDocument::fromJson(
                               subscribe(broker.port(), QStringLiteral("site/q/values"),
                                         QStringList{QStringLiteral("-C"), QStringLiteral("1"),
                                                     QStringLiteral("-W"), QStringLiteral("5")} +
                                             login)
                                   .value(QStringLiteral("site/q/values")))
                               .object())
                      .value(QStringLiteral("values"))
                      .toObject())
                .value(QStringLiteral("A 20"))
                .toInt() == 1019,
        40000);
    QCOMPARE(values.size(), 20);
    for (int s = 0; s < 5; ++s) {
        QCOMPARE(QString::number(values.value(QStringLiteral("A %1").arg(1 + 4 * s)).toInt()),
                 snapshotField(dir.path(), 1 + s));
        QCOMPARE(QString::number(values.value(QStringLiteral("A %1").arg(4 + 4 * s)).toInt()),
                 snapshotField(dir.path(), 6 + s));
    }
    const QString time = cycle.value(QStringLiteral("time")).toString();
    QVERIFY2(
        QRegularExpression(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"))
            .match(time)
            .hasMatch(),
        qPrintable(time));

    // Ten cycles of unchanged values: the broker retains them, so none is sent again.
    const QList<QByteArray> resent = subscriberLines(
        broker.port(), QStringLiteral("site/q/A/+"),
        QStringList{QStringLiteral("-R"), QStringLiteral("-W"), QStringLiteral("10")} + login);
    QCOMPARE(std::count_if(resent.cbegin(), resent.cend(),
                           [](const QByteArray &line) { return !line.contains("/state "); }),
             std::ptrdiff_t(0));

    // A subscriber that comes late finds every shown value, each link's state and "online".
    device.setRegister(2, 4242);
    QMap<QString, QByteArray> retained;
    WAIT_VERIFY((retained = retainedMessages(broker.port(), QStringLiteral("site/q/#"), login))
                        .value(QStringLiteral("site/q/A/3")) == "4242",
                30000);
    QCOMPARE(retained.value(QStringLiteral("site/q/status")), QByteArray("online"));
    QCOMPARE(retained.value(QStringLiteral("site/q/A/state")), QByteArray("connected"));
    QCOMPARE(retained.value(QStringLiteral("site/q/B/state")), QByteArray("disconnected"));
    // The window's caption is no state: never published.
    QVERIFY(!retained.contains(QStringLiteral("site/q/A/status")));
    for (int reg = 1; reg <= 20; ++reg)
        if (reg != 3)
            QCOMPARE(retained.value(QStringLiteral("site/q/A/%1").arg(reg)),
                     QByteArray::number(999 + reg));

    // The password shows nowhere another user (ps, ps e) or a log reader could look.
    const QString proc = QStringLiteral("/proc/%1/").arg(process.processId());
    QVERIFY(readBytes(proc + QStringLiteral("cmdline")).contains("site/q"));
    QVERIFY(!readBytes(proc + QStringLiteral("cmdline")).contains(Password));
    QVERIFY(!readBytes(proc + QStringLiteral("environ")).contains(Password));

    // Killed, it leaves "offline" behind through the broker.
    QCOMPARE(::kill(pid_t(process.processId()), SIGKILL), 0);
    QVERIFY(process.waitForFinished(10000));
    WAIT_COMPARE(retainedMessages(broker.port(), QStringLiteral("site/q/status"), login)
                     .value(QStringLiteral("site/q/status")),
                 QByteArray("offline"), 20000);
    const QByteArray err = process.readAllStandardError();
    const QByteArray log = readBytes(trafficLog);
    QVERIFY2(
        err.contains("MQTT broker 127.0.0.1:" + QByteArray::number(broker.port()) + " connected"),
        err.constData());
    QVERIFY2(log.contains(" MQTT -- broker 127.0.0.1"), log.left(2000).constData());
    QVERIFY(!err.contains(Password) && !log.contains(Password));
}

void tst_mqtt::survivesABrokerRestart()
{
    QTemporaryDir dir;
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
    const QString topic = QStringLiteral("quorvel/A/1");
    WAIT_COMPARE(retainedMessages(broker.port(), topic).value(topic), QByteArray("100"), 40000);

    // Broker gone: said once, and polling and data.txt go on, cycle after cycle.
    broker.kill();
    QByteArray err;
    WAIT_VERIFY((err += process.readAllStandardError()).contains(" lost: "), 20000);
    for (const quint16 value : {101, 102, 103}) {
        device.setRegister(0, value);
        WAIT_COMPARE(snapshotField(dir.path(), 1), QString::number(value), 20000);
    }

    // Back on the same port with nothing retained: Quorvel publishes its state again.
    QVERIFY(broker.start());
    WAIT_VERIFY((err += process.readAllStandardError()).contains(" back, "), 60000);
    QMap<QString, QByteArray> retained;
    WAIT_VERIFY(
        (retained = retainedMessages(broker.port(), QStringLiteral("quorvel/#"))).value(topic) ==
            "103",
        20000);
    QCOMPARE(retained.value(QStringLiteral("quorvel/status")), QByteArray("online"));
    // A value that never changed is published again too: the new broker retains nothing.
    QCOMPARE(retained.value(QStringLiteral("quorvel/A/2")), QByteArray("0"));
    const QString stateTopic = QStringLiteral("quorvel/A/state");
    QCOMPARE(retained.value(stateTopic), QByteArray("connected"));
    QCOMPARE(err.count("MQTT broker"), 3); // connected, lost, back

    // Away again, and the device too: back, the broker gets no "???" over what it holds.
    broker.kill();
    WAIT_VERIFY((err += process.readAllStandardError()).count("MQTT broker") == 4, 20000);
    device.stop();
    WAIT_COMPARE(snapshotField(dir.path(), 1), QStringLiteral("???"), 30000);
    QVERIFY(broker.start());
    WAIT_VERIFY(retainedMessages(broker.port(), QStringLiteral("quorvel/#")).contains(stateTopic),
                60000);
    retained = retainedMessages(broker.port(), QStringLiteral("quorvel/#"));
    QVERIFY2(!retained.contains(topic), retained.value(topic).constData());

    // A normal close says "offline" before it goes.
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    WAIT_COMPARE(retainedMessages(broker.port(), QStringLiteral("quorvel/status"))
                     .value(QStringLiteral("quorvel/status")),
                 QByteArray("offline"), 20000);
}

void tst_mqtt::reportsLoginAndCertificateFaults_data()
{
    QTest::addColumn<QString>("caFile"); // mqtts:// when given
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("report");
    QTest::newRow("wrong password")
        << QString() << QByteArray("not-the-one") << "not reached: bad login (not authorised)";
    QTest::newRow("wrong CA") << "other-ca.crt" << QByteArray()
                              << "not reached: TLS failure: certificate verify failed";
    QTest::newRow("right CA") << "server-ca.crt" << QByteArray() << "connected";
}

void tst_mqtt::reportsLoginAndCertificateFaults()
{
    QFETCH(QString, caFile);
    QFETCH(QByteArray, password);
    QFETCH(QString, report);

    QTemporaryDir dir;
    Broker broker(dir.path());
    const QString credentials = m_credentials.path() + u'/';
    if (!caFile.isEmpty())
        broker.settings << QStringLiteral("certfile ") + credentials + QStringLiteral("server.crt")
                        << QStringLiteral("keyfile ") + credentials + QStringLiteral("server.key");
    else
        broker.settings << QStringLiteral("password_file ") + credentials +
                               QStringLiteral("passwords");
    QVERIFY(broker.start());
    ModbusDevice device;
    QVERIFY(device.start());
    device.setRegister(0, 321);
    writeSettings(dir.path(), device.port());

    QStringList arguments = {QStringLiteral("--mqtt"),
                             QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port())};
    if (!caFile.isEmpty()) {
        arguments[1].replace(QStringLiteral("mqtt:"), QStringLiteral("mqtts:"));
        arguments << QStringLiteral("--mqtt-cafile") << credentials + caFile;
    }
    if (!password.isEmpty()) {
        arguments[1].replace(QStringLiteral("//"), QStringLiteral("//") + User + u'@');
        writeBytes(dir.filePath(QStringLiteral("password")), password + '\n');
        arguments << QStringLiteral("--mqtt-password-file")
                  << dir.filePath(QStringLiteral("password"));
    }
    QProcess process;
    QVERIFY(startProgram(process, dir.path(), arguments));

    QByteArray err;
    WAIT_VERIFY((err += process.readAllStandardError()).contains(report.toUtf8()), 40000);
    // The broker changes nothing else: the device's values reach data.txt.
    WAIT_COMPARE(snapshotField(dir.path(), 1), QStringLiteral("321"), 30000);
    if (report == QLatin1String("connected"))
        WAIT_COMPARE(retainedMessages(broker.port(), QStringLiteral("quorvel/A/1"),
                                      {QStringLiteral("--cafile"), credentials + caFile})
                         .value(QStringLiteral("quorvel/A/1")),
                     QByteArray("321"), 20000);
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    err += process.readAllStandardError();
    QVERIFY(password.isEmpty() || !err.contains(password));
    // Retried with back-off, a fault that stays the same is reported once.
    QCOMPARE(err.count("MQTT broker"), 1);
}

void tst_mqtt::discoveryFollowsTheShownCells_data()
{
    QTest::addColumn<QString>("object"); // what slot 0 reads
    QTest::addColumn<QString>("component");
    QTest::addColumn<QString>("cell"); // the first cell's name
    QTest::newRow("holding registers") << "holding"
                                       << "sensor"
                                       << "A 100";
    QTest::newRow("coils") << "coil"
                           << "binary_sensor"
                           << "A c100";
}

void tst_mqtt::discoveryFollowsTheShownCells()
{
    QFETCH(QString, object);
    QFETCH(QString, component);
    QFETCH(QString, cell);

    QTemporaryDir dir;
    Broker broker(dir.path());
    QVERIFY(broker.start());
    OptionIP w(dir.path());
    shapeForPolling(w);
    w.Timer1->stop();
    w.LstObject[0]->setCurrentText(object);
    setSlot(w, 0, 0, QStringLiteral("100"), QStringLiteral("3"));
    for (int s = 1; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, -1, QStringLiteral("1"), QStringLiteral("0"));
    CommandLine command;
    command.mqtt = std::get<publish::MqttTarget>(
        publish::parseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1/site/q").arg(broker.port())));
    command.mqttDiscovery = QStringLiteral("homeassistant");
    bool failed = false;
    const auto publisher = publish::publishWindow(command, w, nullptr, &failed);
    QVERIFY(publisher && !failed);

    // One retained config per shown cell, read as Home Assistant's discovery reads it.
    const QString node = QStringLiteral("homeassistant/%1/quorvel_site_q/").arg(component);
    const QString id = QString(cell).replace(u' ', u'_');
    const QString first = node + id + QStringLiteral("/config");
    QMap<QString, QByteArray> configs;
    WAIT_COMPARE(
        (configs = retainedMessages(broker.port(), QStringLiteral("homeassistant/#"))).size(), 3,
        30000);
    QVERIFY2(configs.contains(first), qPrintable(configs.keys().join(u' ')));
    const QJsonObject config = QJsonDocument::fromJson(configs.value(first)).object();
    QCOMPARE(config.value(QStringLiteral("name")).toString(), cell);
    QCOMPARE(config.value(QStringLiteral("unique_id")).toString(),
             QStringLiteral("quorvel_site_q_") + id);
    QCOMPARE(config.value(QStringLiteral("state_topic")).toString(),
             QStringLiteral("site/q/") + QString(cell).replace(u' ', u'/'));
    QCOMPARE(config.value(QStringLiteral("availability_topic")).toString(),
             QStringLiteral("site/q/status"));
    QCOMPARE(config.value(QStringLiteral("payload_available")).toString(),
             QStringLiteral("online"));
    QCOMPARE(config.value(QStringLiteral("device"))
                 .toObject()
                 .value(QStringLiteral("identifiers"))
                 .toArray()
                 .toVariantList(),
             QVariantList{QStringLiteral("quorvel_site_q")});
    // A binary sensor's states are the cell's own 1 and 0.
    QCOMPARE(config.value(QStringLiteral("payload_on")).toString(),
             component == QLatin1String("binary_sensor") ? QStringLiteral("1") : QString());

    // A count edited down: the cells that went have their configs removed.
    w.LegReg[0]->setText(QStringLiteral("1"));
    WAIT_COMPARE(retainedMessages(broker.port(), QStringLiteral("homeassistant/#")).keys(),
                 QStringList{first}, 30000);
}

QTEST_MAIN(tst_mqtt)
#include "tst_mqtt.moc"
