// Where the real program keeps its files, one copy per folder, and the program as a service
// runs it: through the real binary.
#include "app/optionip.h"
#include "instance/datafolder.h"
#include "instance/folderlock.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/program.h"
#include "support/tmpfsmount.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <optional>

namespace
{

// Settings the program would never write itself, so a rewrite shows.
const QByteArray HandWritten = "; kept by hand\r\n[set]\r\nport0=1502\r\n";

// Closes the program as a service manager would; true when it ended normally.
bool stop(QProcess &process)
{
    process.terminate();
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QString lockIn(const QString &folder)
{
    return QDir(folder).filePath(instance::lockFileName());
}

} // namespace

class tst_instance : public QObject
{
    Q_OBJECT

private slots:
    void keepsItsFilesInTheRightFolder_data();
    void keepsItsFilesInTheRightFolder();
    void oneCopyPerFolder_data();
    void oneCopyPerFolder();
    void fileLabelNamesTheWholePath();
    void installedCopyNeverWritesBesideItself();
    void runsAsAServiceWithoutADisplay();
};

void tst_instance::keepsItsFilesInTheRightFolder_data()
{
    QTest::addColumn<bool>("readOnlyProgramFolder");
    QTest::addColumn<QString>("dirOption");  // relative to the working folder; empty for none
    QTest::addColumn<QString>("expected");   // "program", "user" or "dir"
    QTest::addColumn<bool>("writableFiles"); // setting.ini and data.txt, in the program folder

    QTest::newRow("program folder may be written") << false << QString() << "program" << false;
    QTest::newRow("read-only program folder: per-user folder")
        << true << QString() << "user" << false;
    // Its files may be rewritten in place, but no lock file can be made beside them.
    QTest::newRow("read-only program folder, writable setting.ini")
        << true << QString() << "program" << true;
    QTest::newRow("--dir names a missing folder") << false << "site/north"
                                                  << "dir" << false;
    QTest::newRow("--dir over a read-only program folder") << true << "site/north"
                                                           << "dir" << false;
}

void tst_instance::keepsItsFilesInTheRightFolder()
{
    QFETCH(bool, readOnlyProgramFolder);
    QFETCH(QString, dirOption);
    QFETCH(QString, expected);
    QFETCH(bool, writableFiles);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    std::optional<TmpfsMount> fs;
    QString programFolder = work.path();
    if (readOnlyProgramFolder) {
        fs.emplace("size=256m");
        if (!fs->isMounted()) QSKIP(qPrintable(fs->error()));
        programFolder = fs->path();
    }
    const QString program = QDir(programFolder).filePath(QStringLiteral("quorvel"));
    QVERIFY(QFile::copy(qEnvironmentVariable("QUORVEL_BINARY"), program));
    const QStringList files = {QStringLiteral("setting.ini"), QStringLiteral("data.txt")};
    for (const QString &name : writableFiles ? files : QStringList()) {
        writeBytes(QDir(programFolder).filePath(name), QByteArray());
        writeBytes(work.filePath(name), QByteArray());
    }
    if (readOnlyProgramFolder) QVERIFY(fs->remountReadOnly());
    for (const QString &name : writableFiles ? files : QStringList())
        QVERIFY(fs->bindFile(work.filePath(name), name));

    QProcessEnvironment env;
    env.insert(QStringLiteral("XDG_DATA_HOME"), work.filePath(QStringLiteral("data")));
    const QString userFolder = work.filePath(QStringLiteral("data/quorvel"));
    QStringList arguments;
    if (!dirOption.isEmpty()) arguments << QStringLiteral("--dir") << dirOption;
    const QString folder = expected == QLatin1String("program") ? programFolder
                           : expected == QLatin1String("user")  ? userFolder
                                                                : work.filePath(dirOption);

    QProcess process;
    NotifySocket notify;
    env.insert(notify.environment());
    QVERIFY(launchProgram(process, program, work.path(), arguments, env));
    QVERIFY(waitUntilReady(process, notify));
    QCOMPARE(QFile::exists(lockIn(folder)), !writableFiles);
    QVERIFY(stop(process));
    QCOMPARE(process.readAllStandardError(), QByteArray());

    QVERIFY(QFileInfo(QDir(folder).filePath(QStringLiteral("setting.ini"))).size() > 0);
    QVERIFY(!QFile::exists(lockIn(folder)));
    for (const QString &other :
         {programFolder, userFolder, work.filePath(QStringLiteral("site/north"))})
        if (other != folder)
            QVERIFY2(!QFile::exists(QDir(other).filePath(QStringLiteral("setting.ini"))),
                     qPrintable(other));
}

void tst_instance::oneCopyPerFolder_data()
{
    QTest::addColumn<bool>("sameFolder");
    QTest::addColumn<bool>("firstKilled");
    QTest::addColumn<bool>("secondRuns");

    QTest::newRow("same folder: refused") << true << false << false;
    QTest::newRow("same folder after a SIGKILL: the stale lock gives way") << true << true << true;
    QTest::newRow("two folders side by side") << false << false << true;
}

void tst_instance::oneCopyPerFolder()
{
    QFETCH(bool, sameFolder);
    QFETCH(bool, firstKilled);
    QFETCH(bool, secondRuns);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("north"));
    const QString otherFolder = dir.filePath(QStringLiteral("south"));
    QVERIFY(QDir().mkpath(folder));
    writeBytes(QDir(folder).filePath(QStringLiteral("setting.ini")), HandWritten);

    QProcess first;
    NotifySocket firstNotify, secondNotify;
    QVERIFY(startProgram(first, dir.path(), {QStringLiteral("--dir"), folder},
                         firstNotify.environment()));
    QVERIFY(waitUntilReady(first, firstNotify));
    if (firstKilled) {
        first.kill();
        QVERIFY(first.waitForFinished(20000));
        QVERIFY(QFile::exists(lockIn(folder)));
    }
    const QStringList before = QDir(folder).entryList(QDir::Files);
    const QByteArray lockBefore = readBytes(lockIn(folder));

    QProcess second;
    const QString trafficLog = dir.filePath(QStringLiteral("second.log"));
    QVERIFY(launchProgram(second, dir.filePath(QStringLiteral("quorvel")), dir.path(),
                          {QStringLiteral("--dir"), sameFolder ? folder : otherFolder,
                           QStringLiteral("--traffic"), trafficLog},
                          secondNotify.environment()));
    if (secondRuns) {
        QVERIFY(waitUntilReady(second, secondNotify));
        QVERIFY(firstKilled || first.state() == QProcess::Running);
        QVERIFY(stop(second));
        if (!firstKilled) QVERIFY(stop(first));
        QVERIFY(QFile::exists(
            QDir(sameFolder ? folder : otherFolder).filePath(QStringLiteral("setting.ini"))));
        QVERIFY(QFile::exists(trafficLog));
        return;
    }

    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 3);
    QCOMPARE(QString::fromLocal8Bit(second.readAllStandardError()),
             QStringLiteral("quorvel: Quorvel is already running on %1\n").arg(folder));
    QVERIFY(!QFile::exists(trafficLog));
    QCOMPARE(readBytes(lockIn(folder)), lockBefore);
    QCOMPARE(readBytes(QDir(folder).filePath(QStringLiteral("setting.ini"))), HandWritten);
    // data.txt may appear meanwhile: the first copy writes it.
    QStringList after = QDir(folder).entryList(QDir::Files);
    after.removeAll(QStringLiteral("data.txt"));
    QCOMPARE(after, before);

    QCOMPARE(first.state(), QProcess::Running);
    QVERIFY(stop(first));
}

void tst_instance::fileLabelNamesTheWholePath()
{
    QTemporaryDir dir;
    OptionIP window(dir.path());
    QCOMPARE(window.lb_file->toolTip(),
             QDir::toNativeSeparators(dir.filePath(QStringLiteral("data.txt"))));
    QCOMPARE(window.lb_file->text(), QStringLiteral("Label6"));
}

void tst_instance::installedCopyNeverWritesBesideItself()
{
    // The superuser may write in /usr/bin, but an installed copy keeps its files per user.
    const QString user = QStringLiteral("/home/op/.local/share/quorvel");
    QCOMPARE(instance::chooseDataFolder(QString(), QStringLiteral("/usr/bin"), user), user);
    QTemporaryDir own;
    QCOMPARE(instance::chooseDataFolder(QString(), own.path(), user), own.path());
}

void tst_instance::runsAsAServiceWithoutADisplay()
{
    // As the unit runs it: no window, no display, no platform option; a service manager's
    // notification socket with a watchdog; the device refused at first, then up, lost, back.
    QTemporaryDir dir;
    const quint16 port = freeLoopbackPort();
    QVERIFY(port != 0);
    writeBytes(dir.filePath("setting.ini"),
               "[set]\nScon0=False\ntxtIP0=127.0.0.1\nport0=" + QByteArray::number(port) +
                   "\nstrreg0=1\nlegreg0=4\nLstIP0=0\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    NotifySocket notify;
    env.insert(notify.environment(10 * 1000 * 1000));
    QProcess process;
    process.setProcessEnvironment(env);
    const QString traffic = dir.filePath("traffic.log");
    process.start(qEnvironmentVariable("QUORVEL_BINARY"),
                  {"--no-window", "--dir", dir.path(), "--traffic", traffic});
    QVERIFY(waitUntilReady(process, notify));

    QByteArray err;
    const auto said = [&](const QByteArray &text) {
        return QTest::qWaitFor(
            [&] { return (err += process.readAllStandardError()).contains(text); }, 60000);
    };
    const QByteArray device = "device A (127.0.0.1:" + QByteArray::number(port) + "): ";
    // Refused on two runs of the connection sequence, said once.
    QVERIFY(QTest::qWaitFor([&] { return readBytes(traffic).count(" A -- refused") >= 2; }, 60000));
    QVERIFY2(said(device + "cannot connect: refused"), err.constData());

    ModbusDevice modbus;
    QVERIFY(modbus.start(port));
    modbus.setRegister(0, 4321);
    QVERIFY2(said(device + "connected\n"), err.constData());
    QVERIFY(QTest::qWaitFor(
        [&] { return readBytes(dir.filePath("data.txt")).startsWith("#4321#"); }, 30000));
    QVERIFY(notify.waitFor("WATCHDOG=1", 10000));
    QVERIFY(notify.waitFor("STATUS=1 of 1 links up, 0 slots failing, last cycle ", 10000));

    modbus.stop();
    QVERIFY2(said(device + "lost: "), err.constData());
    QVERIFY(modbus.start(port));
    QVERIFY2(said(device + "back\n"), err.constData());

    process.terminate();
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    err += process.readAllStandardError();
    // One line per change, each with its time; nothing else.
    const QList<QByteArray> lines = err.trimmed().split('\n');
    const QRegularExpression line(
        QStringLiteral("^quorvel: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d device A "));
    for (const QByteArray &l : lines)
        QVERIFY2(line.match(QString::fromLocal8Bit(l)).hasMatch(), err.constData());
    QCOMPARE(err.count("cannot connect"), 1);
    QCOMPARE(err.count(" lost: "), 1);
    QCOMPARE(err.count(": back"), 1);
}

QTEST_MAIN(tst_instance)
#include "tst_instance.moc"
