// The whole program as an operator runs it: the real binary in a directory of its own,
// a real Modbus device on 127.0.0.1, and the files it leaves for other programs.
#include "support/devices.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_story : public QObject
{
    Q_OBJECT

private slots:
    void connectsPollsReconnectsAndSaves();

private:
    static QStringList snapshotFields(const QString &dir)
    {
        QFile file(dir + QStringLiteral("/data.txt"));
        if (!file.open(QIODevice::ReadOnly)) return {};
        const QByteArray line = file.readAll();
        if (!line.endsWith("\r\n") || line.count('\n') != 1) return {};
        return QString::fromLocal8Bit(line.chopped(2)).split(u'#');
    }
};

void tst_story::connectsPollsReconnectsAndSaves()
{
    const QString binary = qEnvironmentVariable("QUORVEL_BINARY");
    QVERIFY2(QFile::exists(binary), "QUORVEL_BINARY must name the built program");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("quorvel"));
    QVERIFY(QFile::copy(binary, program));

    ModbusDevice device;
    QVERIFY(device.start());
    for (int address = 0; address < 20; ++address)
        device.setRegister(address, quint16(1000 + address));

    // Link 0 was in use at the last close; links 1 and 2 were not and are never dialled.
    QFile ini(dir.filePath(QStringLiteral("setting.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    QByteArray text = "[set]\r\nScon0=False\r\nScon1=True\r\nScon2=True\r\n";
    text += "port0=" + QByteArray::number(device.port()) + "\r\n";
    text += "txtIP0=127.0.0.1\r\ntxtIP1=127.0.0.1\r\ntxtIP2=127.0.0.1\r\n";
    for (int s = 0; s < 5; ++s) {
        text += "strreg" + QByteArray::number(s) + "=" + QByteArray::number(1 + 4 * s) + "\r\n";
        text += "legreg" + QByteArray::number(s) + "=4\r\n";
        text += "LstIP" + QByteArray::number(s) + "=0\r\n";
    }
    ini.write(text);
    ini.close();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir.path());
    process.start(program, {});
    QVERIFY(process.waitForStarted());

    // It connects by itself and writes the device's values: slot s starts at register
    // 1 + 4s, so its first value is 1000 + 4s and its fourth 1003 + 4s.
    const QStringList expected = {QString(),
                                  QStringLiteral("1000"),
                                  QStringLiteral("1004"),
                                  QStringLiteral("1008"),
                                  QStringLiteral("1012"),
                                  QStringLiteral("1016"),
                                  QStringLiteral("1003"),
                                  QStringLiteral("1007"),
                                  QStringLiteral("1011"),
                                  QStringLiteral("1015"),
                                  QStringLiteral("1019")};
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).mid(0, 11), expected, 30000);
    QCOMPARE(snapshotFields(dir.path()).size(), 13);

    device.setRegister(0, 4242);
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("4242"), 10000);

    // The device goes away: its slots are marked, then it comes back and is read again.
    const quint16 port = device.port();
    device.stop();
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("???"), 20000);
    QVERIFY(device.start(port));
    for (int address = 0; address < 20; ++address)
        device.setRegister(address, quint16(2000 + address));
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(1), QStringLiteral("2000"), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(snapshotFields(dir.path()).value(10), QStringLiteral("2019"), 10000);
    QCOMPARE(process.state(), QProcess::Running);

    // A normal close on SIGTERM saves the settings: link 0 was connected, so "False".
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = ini.readAll().split('\n');
    QVERIFY(lines.contains("Scon0=False") || lines.contains("Scon0=False\r"));
    QVERIFY(lines.contains("port0=" + QByteArray::number(port)) ||
            lines.contains("port0=" + QByteArray::number(port) + "\r"));
}

QTEST_GUILESS_MAIN(tst_story)
#include "tst_story.moc"
