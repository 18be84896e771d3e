// Whether a link ought to be connected survives every close and every lost connection: the real
// program closed by SIGTERM while its connection sequence has reset marked links and not yet
// dialled them, and a link connected by hand whose device restarts.
#include "app/optionip.h"
#include "links/winsock.h"
#include "settings/module1.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/pollwindow.h"
#include "support/program.h"

#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace
{

QString savedMark(const QString &dir, int link)
{
    return Module1::setting_read(dir, QStringLiteral("set"), QStringLiteral("Scon%1").arg(link),
                                 QStringLiteral("<missing>"));
}

} // namespace

class tst_linkmarks : public QObject
{
    Q_OBJECT

private slots:
    void closeKeepsMarks_data();
    void closeKeepsMarks();
    void handConnectedLinkComesBack();
};

void tst_linkmarks::closeKeepsMarks_data()
{
    // Close after this long once start-up is done, or once link 0 has been dialled this often.
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("dials");
    QTest::newRow("1.1 s after start: links reset, none dialled") << 1100 << 0;
    QTest::newRow("first run: link 2 reset, not yet dialled") << 0 << 1;
    QTest::newRow("retry: link 2 reset again, not yet dialled") << 0 << 2;
}

void tst_linkmarks::closeKeepsMarks()
{
    QFETCH(int, delayMs);
    QFETCH(int, dials);
    QTemporaryDir dir;

    // Link 0's device takes each connection and drops it, so every run of the sequence dials
    // it once, at its connect step; link 2's device is missing, so the sequence keeps retrying.
    ScriptedDevice dropping;
    QVERIFY(dropping.start());
    connect(&dropping, &QTcpServer::newConnection, &dropping, &ScriptedDevice::closeClient);
    writeBytes(dir.filePath(QStringLiteral("setting.ini")),
               QStringLiteral("[set]\r\nScon0=False\r\nScon1=True\r\nScon2=False\r\n"
                              "port0=%1\r\nport1=%2\r\nport2=%3\r\ntxtIP0=127.0.0.1\r\n"
                              "txtIP1=127.0.0.1\r\ntxtIP2=127.0.0.1\r\n")
                   .arg(dropping.port())
                   .arg(freeLoopbackPort())
                   .arg(freeLoopbackPort())
                   .toLatin1());

    QProcess process;
    NotifySocket notify;
    QVERIFY(startProgram(process, dir.path(), {}, notify.environment()));
    // SIGTERM closes the window normally once start-up has put the handler in place.
    QVERIFY(waitUntilReady(process, notify));
    QTest::qWait(delayMs);
    QTRY_VERIFY_WITH_TIMEOUT(dropping.connections >= dials, 120000);

    process.terminate();
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(savedMark(dir.path(), 0), QStringLiteral("False"));
    QCOMPARE(savedMark(dir.path(), 1), QStringLiteral("True"));
    QCOMPARE(savedMark(dir.path(), 2), QStringLiteral("False"));
}

void tst_linkmarks::handConnectedLinkComesBack()
{
    ModbusDevice device;
    QVERIFY(device.start());
    device.setRegister(0, 111);
    QTemporaryDir dir;
    // No settings file: nothing is marked and the sequence dials nothing.
    OptionIP w(dir.path());
    w.Form_Load();
    w.show();
    QTRY_VERIFY_WITH_TIMEOUT(w.frmDevice[0]->isEnabled() && !w.tloading->isActive(), 60000);

    w.txtIP[0]->setText(QStringLiteral("127.0.0.1"));
    w.txtPort[0]->setText(QString::number(device.port()));
    setSlot(w, 0, 0, QStringLiteral("1"), QStringLiteral("1"));
    QTest::mouseClick(w.cmdConnect[0], Qt::LeftButton);
    QCOMPARE(w.Winsock1[0]->state(), int(Winsock::Connected));
    QTRY_COMPARE_WITH_TIMEOUT(w.cellText(1, 2), QStringLiteral("111"), 20000);

    // The device restarts on its port: the read finds the link lost and the sequence retries
    // it, counting down while the device is away, until it is back.
    const quint16 port = device.port();
    device.stop();
    QTRY_COMPARE_WITH_TIMEOUT(w.cellText(1, 2), QStringLiteral("???"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(w.Timer2->isActive(), 60000);
    QVERIFY(device.start(port));
    device.setRegister(0, 222);
    QTRY_COMPARE_WITH_TIMEOUT(w.cellText(1, 2), QStringLiteral("222"), 60000);
    QCOMPARE(w.Winsock1[0]->state(), int(Winsock::Connected));

    w.close();
    QCOMPARE(savedMark(dir.path(), 0), QStringLiteral("False"));
    QCOMPARE(savedMark(dir.path(), 1), QStringLiteral("True"));
}

QTEST_MAIN(tst_linkmarks)
#include "tst_linkmarks.moc"
