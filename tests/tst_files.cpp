#include "app/optionip.h"
#include "support/files.h"
#include "support/tmpfsmount.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct stat statOf(const QString &path)
{
    struct stat info = {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info;
}

// The warnings printed while it lives (the program's standard error), kept per file.
class WarningCatcher
{
public:
    WarningCatcher()
    {
        s_lines.clear();
        s_previous = qInstallMessageHandler(&WarningCatcher::handle);
    }
    ~WarningCatcher() { qInstallMessageHandler(s_previous); }
    QStringList about(const QString &path) const { return s_lines.filter(path + QLatin1Char(':')); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtWarningMsg) s_lines << text;
    }
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

// A window that only writes: no clock ticking, fixed date and time, nothing to dial.
void prepare(OptionIP &w)
{
    w.Timer1->stop();
    w.lbtgl->setText(QStringLiteral("08 / Dec / 2026"));
    w.lbjam->setText(QStringLiteral("12:00:00"));
    for (QLineEdit *host : w.txtIP)
        host->setText(QStringLiteral("127.0.0.1"));
}

// Runs the writer that owns `name`: the settings save or the snapshot.
void writeThrough(OptionIP &w, const QString &name)
{
    if (name == QLatin1String("setting.ini"))
        w.save();
    else
        w.print_click();
}

const QByteArray OldSettings = "; kept by hand\r\n[set]\r\nport0=1502\r\n[other]\r\nx=1\r\n";
const QByteArray OldRecord = "#1#2#3#4#5#6#7#8#9#10#07 / Dec / 2026#11:59:59\r\n";

QByteArray oldContent(const QString &name)
{
    return name == QLatin1String("setting.ini") ? OldSettings : OldRecord;
}

// One row for each file the program writes.
void bothFiles()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("settings") << "setting.ini";
    QTest::newRow("snapshot") << "data.txt";
}

} // namespace

class tst_files : public QObject
{
    Q_OBJECT

private slots:
    void fullDiskKeepsOldContent_data();
    void fullDiskKeepsOldContent();
    void oneSaveIsOneReplacement();
    void readOnlyFileLeftAlone_data() { bothFiles(); }
    void readOnlyFileLeftAlone();
    void noCreateDirectoryRewritesInPlace();
    void refusedReplacementRewritesInPlace_data();
    void refusedReplacementRewritesInPlace();
    void saveLeftoversRemovedAtStart();
    void modeAndOwnerKept_data() { bothFiles(); }
    void modeAndOwnerKept();
    void recordReplacedNotRewritten();
};

void tst_files::fullDiskKeepsOldContent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("options");
    QTest::newRow("settings") << "setting.ini" << QByteArray("size=64k");
    QTest::newRow("snapshot") << "data.txt" << QByteArray("size=64k");
    // Nor a new file: the settings are rewritten in place, and fail part-way into their tail.
    QTest::newRow("settings, no free inode") << "setting.ini" << QByteArray("size=64k,nr_inodes=3");
}

void tst_files::fullDiskKeepsOldContent()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, options);
    // Every failed save is reported; a snapshot only at the first failure in a row.
    const int messages = name == QLatin1String("setting.ini") ? 2 : 1;
    TmpfsMount fs(options);
    if (!fs.isMounted()) QSKIP(qPrintable(fs.error()));
    const QString path = fs.filePath(name);
    QByteArray old = oldContent(name);
    // Settings ending 75 bytes short of a page: that much of a longer file still fits.
    if (name == QLatin1String("setting.ini"))
        old.prepend("; " + QByteArray(4096 - 75 - 4 - old.size(), '-') + "\r\n");
    writeBytes(path, old);
    OptionIP w(fs.path());
    prepare(w);
    w.txtPort[0]->setText(QStringLiteral("2502"));
    QVERIFY(fs.fill());

    {
        WarningCatcher warnings;
        writeThrough(w, name);
        writeThrough(w, name);
        QCOMPARE(readBytes(path), old);
        const QStringList lines = warnings.about(path);
        QCOMPARE(lines.size(), messages);
        QVERIFY2(lines.first().contains(QString::fromLocal8Bit(std::strerror(ENOSPC))),
                 qPrintable(lines.first()));
    }
    QStringList expected = {QStringLiteral("filler"), name};
    expected.sort();
    QCOMPARE(QDir(fs.path()).entryList(QDir::Files, QDir::Name), expected);

    // Room again: the next write goes through.
    QVERIFY(QFile::remove(fs.filePath(QStringLiteral("filler"))));
    writeThrough(w, name);
    QVERIFY(readBytes(path) != old);
    QVERIFY(readBytes(path).contains(name == QLatin1String("setting.ini") ? "port0=2502\r\n"
                                                                          : "12:00:00\r\n"));
}

void tst_files::oneSaveIsOneReplacement()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("setting.ini"));
    const QByteArray before = "; notes\r\n[other]\r\nport0=9\r\n[SET]\r\nport0=old\r\n; between\r\n"
                              "LstIP4=-1\r\n[tail]\r\nx=1\r\n";
    writeBytes(path, before);
    // A second name for the old file: whatever happens to setting.ini, this shows the old one.
    const QString link = dir.filePath(QStringLiteral("before.ini"));
    QCOMPARE(::link(QFile::encodeName(path), QFile::encodeName(link)), 0);

    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[0]->setText(QStringLiteral("2502"));
    w.LstIP[4]->setCurrentIndex(2);
    const int watch = ::inotify_init1(IN_NONBLOCK);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(dir.path()).constData(), IN_MOVED_TO) >=
            0);
    w.save();
    alignas(inotify_event) char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    ::close(watch);
    int renames = 0;
    for (ssize_t at = 0; at < got;) {
        const auto *event = reinterpret_cast<const inotify_event *>(events + at);
        renames += event->len > 0 && QByteArray(event->name) == "setting.ini";
        at += ssize_t(sizeof(inotify_event) + event->len);
    }

    QCOMPARE(renames, 1);
    QCOMPARE(readBytes(link), before);
    // Both keys changed where they stand, the 22 new ones after the last, every other line kept.
    const QByteArray after = readBytes(path);
    QVERIFY2(
        after.startsWith("; notes\r\n[other]\r\nport0=9\r\n[SET]\r\nport0=2502\r\n; between\r\n"
                         "LstIP4=2\r\nScon0=True\n"),
        after.constData());
    QVERIFY(after.endsWith("LstIP3=-1\n[tail]\r\nx=1\r\n"));
    QCOMPARE(after.count('='), 24 + 2);
}

void tst_files::readOnlyFileLeftAlone()
{
    // No write bit is the owner's word, for the superuser too.
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    const QByteArray old = oldContent(name);
    writeBytes(path, old);
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0444), 0);
    const struct stat before = statOf(path);

    OptionIP w(dir.path());
    prepare(w);
    WarningCatcher warnings;
    writeThrough(w, name);

    const struct stat after = statOf(path);
    QCOMPARE(readBytes(path), old);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode & 07777, mode_t(0444));
    QCOMPARE(warnings.about(path).size(), 1);
    QVERIFY2(warnings.about(path).first().contains(QLatin1String("read-only")),
             qPrintable(warnings.about(path).first()));
}

void tst_files::noCreateDirectoryRewritesInPlace()
{
    // Room for the two files and no third: no file can be created beside them.
    TmpfsMount fs("size=256k,nr_inodes=3");
    if (!fs.isMounted()) QSKIP(qPrintable(fs.error()));
    const QString settings = fs.filePath(QStringLiteral("setting.ini"));
    const QString data = fs.filePath(QStringLiteral("data.txt"));
    writeBytes(settings, OldSettings);
    writeBytes(data, OldRecord);
    QVERIFY(!QFile(fs.filePath(QStringLiteral("probe"))).open(QIODevice::WriteOnly));

    OptionIP w(fs.path());
    prepare(w);
    w.txtPort[0]->setText(QStringLiteral("2502"));
    WarningCatcher warnings;
    w.save();
    w.print_click();

    // The settings grow and the record shrinks: both ways of rewriting in place.
    QVERIFY(readBytes(settings).startsWith("; kept by hand\r\n[set]\r\nport0=2502\r\n"));
    QCOMPARE(readBytes(settings).count("=") - 1, 24);
    QVERIFY(readBytes(settings).endsWith("[other]\r\nx=1\r\n"));
    QCOMPARE(readBytes(data), w.txt_print->text().toLocal8Bit() + "\r\n");
    QVERIFY(warnings.about(settings).isEmpty());
    QVERIFY(warnings.about(data).isEmpty());
}

void tst_files::refusedReplacementRewritesInPlace_data()
{
    QTest::addColumn<bool>("byNobody");
    // The file is a mount point of its own: renaming over it fails with EBUSY.
    QTest::newRow("bind-mounted file") << false;
    // Anyone may create files beside it and write it, but only its owner or root could give
    // a new file its owner.
    QTest::newRow("another's file, saved by nobody") << true;
}

void tst_files::refusedReplacementRewritesInPlace()
{
    QFETCH(bool, byNobody);
    if (::geteuid() != 0) QSKIP("mounting and giving files away need the superuser");
    QTemporaryDir dir, elsewhere;
    const QString path = dir.filePath(QStringLiteral("setting.ini"));
    const QByteArray native = QFile::encodeName(path);
    writeBytes(path, OldSettings);
    struct Unmount {
        QByteArray target;
        ~Unmount()
        {
            if (!target.isEmpty()) ::umount2(target.constData(), MNT_DETACH);
        }
    } unmount;
    if (byNobody) {
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
        QCOMPARE(::chown(native.constData(), 4321, 4322), 0);
        QCOMPARE(::chmod(native.constData(), 0666), 0);
    } else {
        const QString source = elsewhere.filePath(QStringLiteral("setting.ini"));
        writeBytes(source, OldSettings);
        if (::mount(QFile::encodeName(source).constData(), native.constData(), nullptr, MS_BIND,
                    nullptr) != 0)
            QSKIP(qPrintable(QStringLiteral("cannot bind-mount: ") + std::strerror(errno)));
        unmount.target = native;
    }
    const struct stat before = statOf(path);

    OptionIP w(dir.path());
    prepare(w);
    w.txtPort[0]->setText(QStringLiteral("2502"));
    if (byNobody) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)
                w.save();
            ::_exit(::geteuid() == 65534 ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    } else {
        w.save();
    }

    // Rewritten where it is: the same file, owner and mode, the new settings, nothing beside.
    const struct stat after = statOf(path);
    QVERIFY2(readBytes(path).contains("port0=2502\r\n"), readBytes(path).constData());
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("setting.ini")});
}

void tst_files::saveLeftoversRemovedAtStart()
{
    // A save killed between writing the new file and renaming it leaves it under Qt's name.
    QTemporaryDir dir;
    const QStringList leftovers = {QStringLiteral("setting.ini.AbCdEf"),
                                   QStringLiteral("data.txt.qWeRTy")};
    // What an operator may have put there stays.
    QStringList kept = {QStringLiteral("setting.ini.backup"),  QStringLiteral("setting.ini.BACKUP"),
                        QStringLiteral("setting.ini.bak"),     QStringLiteral("setting.ini.AbCdE1"),
                        QStringLiteral("setting.ini.AbCdEfG"), QStringLiteral("other.ini.AbCdEf")};
    for (const QString &name : leftovers + kept)
        writeBytes(dir.filePath(name), "x\n");

    OptionIP w(dir.path());
    w.Form_Load();
    kept.sort();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), kept);
}

void tst_files::modeAndOwnerKept()
{
    QFETCH(QString, name);
    if (::geteuid() != 0) QSKIP("giving a file to another owner needs the superuser");
    QTemporaryDir dir;
    OptionIP w(dir.path());
    prepare(w);
    const QString path = dir.filePath(name);
    writeBytes(path, "x\n");
    const QByteArray native = QFile::encodeName(path);
    QCOMPARE(::chown(native.constData(), 4321, 4322), 0);
    QCOMPARE(::chmod(native.constData(), 02640), 0);
    const ino_t oldInode = statOf(path).st_ino;

    writeThrough(w, name);
    const struct stat after = statOf(path);
    QVERIFY2(after.st_ino != oldInode, "replaced, not rewritten");
    QCOMPARE(after.st_uid, uid_t(4321));
    QCOMPARE(after.st_gid, gid_t(4322));
    QCOMPARE(after.st_mode & 07777, mode_t(02640));
    QVERIFY(readBytes(path) != "x\n");
}

void tst_files::recordReplacedNotRewritten()
{
    // A reader that opened the old file keeps reading the old line: the new one is a new file.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.txt"));
    const QString reader = dir.filePath(QStringLiteral("reader.txt"));
    OptionIP w(dir.path());
    prepare(w);
    w.print_click();
    const QByteArray old = readBytes(path);
    QCOMPARE(::link(QFile::encodeName(path), QFile::encodeName(reader)), 0);
    w.lbjam->setText(QStringLiteral("12:00:01"));
    w.print_click();
    QCOMPARE(readBytes(reader), old);
    QCOMPARE(readBytes(path), w.txt_print->text().toLocal8Bit() + "\r\n");
}

QTEST_MAIN(tst_files)
#include "tst_files.moc"
