// The whole program as an operator runs it: the real binary in a directory of its own,
// a real Modbus device on 127.0.0.1, and the files it leaves for other programs.
#include "support/devices.h"
#include "support/files.h"
#include "support/program.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace
{

// Sockets of process pid still connecting (SYN sent) to 127.0.0.1:port, by inode.
QSet<QByteArray> connectingTo(qint64 pid, quint16 port)
{
    QSet<QByteArray> own;
    const QString fdDir = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString &fd : QDir(fdDir).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char link[64] = {};
        if (::readlink(QFile::encodeName(fdDir + fd).constData(), link, sizeof link - 1) > 0)
            own.insert(QByteArray(link).mid(8).chopped(1)); // "socket:[inode]"
    }
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) return {};
    const QByteArray remote =
        QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    QSet<QByteArray> found;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 9 && f[2] == remote && f[3] == "02" && own.contains(f[9])) found << f[9];
    }
    return found;
}

} // namespace

class tst_story : public QObject
{
    Q_OBJECT

private slots:
    void connectsPollsReconnectsAndSaves();
    void closingDuringAConnectWaitEndsAtOnce();

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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    ModbusDevice device;
    QVERIFY(device.start());
    for (int address = 0; address < 20; ++address)
        device.setRegister(address, quint16(1000 + address));

    // Link 0 was in use at the last close; links 1 and 2 were not and are never dialled.
    const QString ini = dir.filePath(QStringLiteral("setting.ini"));
    QByteArray text = "[set]\r\nScon0=False\r\nScon1=True\r\nScon2=True\r\n";
    text += "port0=" + QByteArray::number(device.port()) + "\r\n";
    text += "txtIP0=127.0.0.1\r\ntxtIP1=127.0.0.1\r\ntxtIP2=127.0.0.1\r\n";
    for (int s = 0; s < 5; ++s) {
        text += "strreg" + QByteArray::number(s) + "=" + QByteArray::number(1 + 4 * s) + "\r\n";
        text += "legreg" + QByteArray::number(s) + "=4\r\n";
        text += "LstIP" + QByteArray::number(s) + "=0\r\n";
    }
    writeBytes(ini, text);

    QProcess process;
    QVERIFY(startProgram(process, dir.path(), {}));

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
    const QList<QByteArray> lines = readBytes(ini).split('\n');
    QVERIFY(lines.contains("Scon0=False\r"));
    QVERIFY(lines.contains("port0=" + QByteArray::number(port) + "\r"));
}

void tst_story::closingDuringAConnectWaitEndsAtOnce()
{
    QTemporaryDir dir;

    // Link 0 is wanted but never answers, so every run of the connection sequence waits
    // 2 seconds for it.
    QObject owner;
    const quint16 silent = silentLoopbackPort(&owner);
    QVERIFY(silent != 0);
    const QString ini = dir.filePath(QStringLiteral("setting.ini"));
    writeBytes(ini, "[set]\r\nScon0=False\r\ntxtIP0=127.0.0.1\r\nport0=" +
                        QByteArray::number(silent) + "\r\nstrreg0=1\r\nlegreg0=1\r\nLstIP0=0\r\n");

    QProcess process;
    QProcessEnvironment german;
    german.insert(QStringLiteral("LC_ALL"),
                  QStringLiteral("de_DE.UTF-8")); // "Dez." has a full stop
    QVERIFY(startProgram(process, dir.path(), {}, german));
    const qint64 pid = process.processId();

    // Once polling writes data.txt, wait for a new attempt on link 0: its wait has begun.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("data.txt"))), 30000);
    QSet<QByteArray> before = connectingTo(pid, silent);
    QElapsedTimer sinceWaitBegan;
    const auto newAttempt = [&] {
        if (!sinceWaitBegan.isValid()) {
            const QSet<QByteArray> now = connectingTo(pid, silent);
            if (!(now - before).isEmpty()) sinceWaitBegan.start();
            before = now;
        }
        return sinceWaitBegan.isValid();
    };
    QTRY_VERIFY_WITH_TIMEOUT(newAttempt(), 60000);

    // Closed as a logout closes it, in the middle of that wait: it does not sit the wait out.
    QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
    QVERIFY(process.waitForFinished(15000));
    qInfo("exited %lld ms after the connect wait began", sinceWaitBegan.elapsed());
    QVERIFY(sinceWaitBegan.elapsed() < 2000);
    QCOMPARE(process.exitCode(), 0);

    // Settings saved as usual, all 24 keys, the link still marked for the next start;
    // data.txt not written after them.
    const QByteArray saved = readBytes(ini);
    QVERIFY(saved.contains("legreg4=000"));
    QVERIFY2(saved.split('\n').contains("Scon0=False\r"), saved.constData());
    const QFileInfo data(dir.filePath(QStringLiteral("data.txt")));
    QVERIFY(data.lastModified() <= QFileInfo(ini).lastModified());

    // "08 . Dez . 2026": the month without its own full stop.
    const QString date = snapshotFields(dir.path()).value(11);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^\\d\\d \\. \\w+ \\. \\d{4}$")).match(date).hasMatch(),
        qPrintable(date));
}

QTEST_GUILESS_MAIN(tst_story)
#include "tst_story.moc"
