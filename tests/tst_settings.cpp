#include "app/optionip.h"
#include "app/ui.h"
#include "settings/inifile.h"
#include "settings/module1.h"
#include "support/files.h"
#include "support/tmpfsmount.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace Module1;

namespace
{

const QString Set = QStringLiteral("set");

QString iniPath(const QTemporaryDir &dir)
{
    return dir.path() + QStringLiteral("/setting.ini");
}

// The key names of the entries of a file, in file order.
QStringList keysInFile(const QByteArray &text)
{
    QStringList keys;
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0) keys << QString::fromLatin1(line.left(equals));
    }
    return keys;
}

// The 24 keys in the order they are loaded and saved.
QStringList allKeys()
{
    QStringList keys;
    const std::pair<const char *, int> rows[] = {{"Scon", 3},   {"port", 3},   {"txtIP", 3},
                                                 {"strreg", 5}, {"legreg", 5}, {"LstIP", 5}};
    for (const auto &[name, count] : rows)
        for (int i = 0; i < count; ++i)
            keys << QLatin1String(name) + QString::number(i);
    return keys;
}

// A window that has loaded its settings and does not run the connection sequence.
struct LoadedWindow {
    explicit LoadedWindow(const QString &dir) : window(dir)
    {
        window.Form_Load();
        ui::disableTimer(window.tloading);
    }
    OptionIP window;
};

} // namespace

class tst_settings : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    // File access.
    void noFileGivesDefaults();
    void valuesAreCutAt254Characters();
    void emptyEntryVersusMissingKey();
    void appendThenReplaceInPlace();
    void fileAsWindowsWritesIt();
    void foreignLinesSurviveWrites();
    void doubledSeparator();
    void unwritableTarget_data();
    void unwritableTarget();
    void specialFilesAreNotOpened();
    void badInputLoadsAndSaves_data();
    void badInputLoadsAndSaves();
    void hugeFileIsBounded();

    // Keys, load and save.
    void saveFromScratchWritesTableOrder();
    void onlyOneKeyGivesDefaultsElsewhere();
    void textsRoundTrip();
    void listChoice_data();
    void listChoice();
    void formatKeys_data();
    void formatKeys();
    void noSelectionRoundTrips();
    void linkMarksSaved();
};

void tst_settings::noFileGivesDefaults()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon0"), true), QStringLiteral("True"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon0"), false),
             QStringLiteral("False"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("502")),
             QStringLiteral("502"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("x"), 42), QStringLiteral("42"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("x"), QString()), QString());
    QVERIFY(!QFile::exists(iniPath(dir)));

    // With the file present but the section or key missing, the default applies as well.
    writeBytes(iniPath(dir), "[other]\nScon0=False\n[set]\nport1=1\n");
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon0"), true), QStringLiteral("True"));
    QCOMPARE(setting_read(dir.path(), QStringLiteral("none"), QStringLiteral("port1"),
                          QStringLiteral("502")),
             QStringLiteral("502"));
}

void tst_settings::valuesAreCutAt254Characters()
{
    QTemporaryDir dir;
    QString ascii;
    for (int i = 0; i < 300; ++i)
        ascii += QChar(u'a' + i % 26);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("txtIP0"), ascii) != 0);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("txtIP0"), QString()), ascii.left(254));
    // The whole value is in the file; only the read is limited.
    QVERIFY(readBytes(iniPath(dir)).contains("txtIP0=" + ascii.toLatin1() + '\n'));

    // The limit counts characters, not bytes of the file's encoding.
    const QString accented(300, QChar(0x00E9));
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("txtIP1"), accented) != 0);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("txtIP1"), QString()),
             accented.left(254));

    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("missing"), ascii), ascii.left(254));

    const QString exact = ascii.left(254);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("txtIP2"), exact) != 0);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("txtIP2"), QString()), exact);
}

void tst_settings::emptyEntryVersusMissingKey()
{
    QTemporaryDir dir;
    writeBytes(iniPath(dir), "[set]\nstrreg0=\n");
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("strreg0"), QStringLiteral("000")),
             QString(""));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("strreg1"), QStringLiteral("000")),
             QStringLiteral("000"));

    // Writing the empty text keeps the key, with nothing after '='.
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("legreg0"), QStringLiteral("12")) != 0);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("legreg0"), QString()) != 0);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("legreg1"), QString("")) != 0);
    QCOMPARE(readBytes(iniPath(dir)), QByteArray("[set]\nstrreg0=\nlegreg0=\nlegreg1=\n"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("legreg0"), QStringLiteral("000")),
             QString(""));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("legreg1"), QStringLiteral("000")),
             QString(""));
}

void tst_settings::appendThenReplaceInPlace()
{
    QTemporaryDir dir;
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("a"), QStringLiteral("1")) != 0);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("b"), QStringLiteral("2")) != 0);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("c"), QStringLiteral("3")) != 0);
    QCOMPARE(readBytes(iniPath(dir)), QByteArray("[set]\na=1\nb=2\nc=3\n"));
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("a"), QStringLiteral(" one ")) != 0);
    QCOMPARE(readBytes(iniPath(dir)), QByteArray("[set]\na= one \nb=2\nc=3\n"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("a"), QString()),
             QStringLiteral(" one "));
    QVERIFY(setting_write(dir.path(), QStringLiteral("two"), QStringLiteral("a"),
                          QStringLiteral("x")) != 0);
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("d"), QStringLiteral("4")) != 0);
    QCOMPARE(readBytes(iniPath(dir)), QByteArray("[set]\na= one \nb=2\nc=3\nd=4\n[two]\na=x\n"));
}

void tst_settings::fileAsWindowsWritesIt()
{
    QTemporaryDir dir;
    const QByteArray windows("[SET]\r\nPORT0=1502\r\nScon0=False\r\ntxtip0=127.0.0.5\r\n"
                             "LSTIP1=2\r\nStrReg0=\r\n");
    writeBytes(iniPath(dir), windows);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("502")),
             QStringLiteral("1502"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon0"), true), QStringLiteral("False"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("txtIP0"), QString()),
             QStringLiteral("127.0.0.5"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("strreg0"), QStringLiteral("000")),
             QString(""));

    LoadedWindow loaded(dir.path());
    OptionIP &w = loaded.window;
    QCOMPARE(w.txtPort[0]->text(), QStringLiteral("1502"));
    QCOMPARE(w.txtIP[0]->text(), QStringLiteral("127.0.0.5"));
    QCOMPARE(w.linkMarks.marked(0), std::optional<bool>(true));
    QCOMPARE(w.LstIP[1]->currentIndex(), 2);
    QCOMPARE(w.strReg[0]->text(), QString(""));

    // Replacing a value keeps the other CRLF lines byte for byte.
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("7")) != 0);
    QByteArray expected = windows;
    expected.replace("PORT0=1502", "port0=7");
    QCOMPARE(readBytes(iniPath(dir)), expected);
}

void tst_settings::foreignLinesSurviveWrites()
{
    QTemporaryDir dir;
    const QByteArray foreign("; written by hand\n[set]\n; the first link\nport0=600\n"
                             "colour=blue\nnot an entry\n\n[other]\nport0=1\n");
    writeBytes(iniPath(dir), foreign);
    {
        LoadedWindow loaded(dir.path());
        QCOMPARE(loaded.window.txtPort[0]->text(), QStringLiteral("600"));
        loaded.window.txtPort[0]->setText(QStringLiteral("601"));
        loaded.window.save();
    }
    const QByteArray saved = readBytes(iniPath(dir));
    QVERIFY2(saved.startsWith("; written by hand\n[set]\n; the first link\n"), saved.constData());
    QVERIFY(saved.contains("\nport0=601\ncolour=blue\nnot an entry\n"));
    QVERIFY(saved.endsWith("\n\n[other]\nport0=1\n"));
    QCOMPARE(setting_read(dir.path(), QStringLiteral("other"), QStringLiteral("port0"), QString()),
             QStringLiteral("1"));
    const QStringList keys = keysInFile(saved);
    QCOMPARE(keys.count(QStringLiteral("port0")), 2);
    for (const QString &key : allKeys())
        QVERIFY2(keys.contains(key), qPrintable(key));
}

void tst_settings::doubledSeparator()
{
    QTemporaryDir dir;
    const QString withSeparator = dir.path() + QDir::separator();
    QCOMPARE(setting_path(dir.path()), dir.path() + QDir::separator() + "setting.ini");
    QCOMPARE(setting_path(withSeparator),
             dir.path() + QDir::separator() + QDir::separator() + "setting.ini");
    QVERIFY(setting_write(withSeparator, Set, QStringLiteral("port0"), QStringLiteral("9")) != 0);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("port0"), QString()),
             QStringLiteral("9"));
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("10")) != 0);
    QCOMPARE(setting_read(withSeparator, Set, QStringLiteral("port0"), QString()),
             QStringLiteral("10"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("setting.ini")});
}

void tst_settings::unwritableTarget_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("setting.ini is a directory") << "directory";
    QTest::newRow("directory does not exist") << "missing";
    QTest::newRow("read-only directory") << "read-only";
    QTest::newRow("read-only file") << "read-only file";
    QTest::newRow("file larger than a settings file") << "oversized";
}

void tst_settings::unwritableTarget()
{
    QFETCH(QString, kind);
    QTemporaryDir tmp;
    // The read-only directory is a read-only file system: that stops the superuser too.
    std::optional<TmpfsMount> fs;
    if (kind == "read-only") {
        fs.emplace("size=64k");
        if (!fs->isMounted()) QSKIP(qPrintable(fs->error()));
    }
    const QString base = fs ? fs->path() : tmp.path();
    const QString ini = base + QStringLiteral("/setting.ini");
    QString target = base;
    QByteArray before;
    if (kind == "directory") {
        QVERIFY(QDir(base).mkdir(QStringLiteral("setting.ini")));
    } else if (kind == "missing") {
        target = base + QStringLiteral("/gone");
    } else if (kind == "read-only") {
        before = "[set]\nport0=1\n";
        writeBytes(ini, before);
        QVERIFY(fs->remountReadOnly());
    } else if (kind == "read-only file") {
        // No write bit at all: left alone whoever runs the program.
        before = "[set]\nport0=1\n";
        writeBytes(ini, before);
        QVERIFY(QFile::setPermissions(ini, QFile::ReadOwner | QFile::ReadGroup));
    } else {
        before = "[set]\nport0=1\n" + QByteArray(inifile::MaxFileBytes, ';') + '\n';
        writeBytes(ini, before);
    }

    QCOMPARE(setting_write(target, Set, QStringLiteral("port0"), QStringLiteral("2")), 0);
    QCOMPARE(setting_write(target, Set, QStringLiteral("new"), QString()), 0);

    const QStringList entries =
        QDir(base).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    if (kind == "directory") {
        QVERIFY(QFileInfo(ini).isDir());
        QVERIFY(QDir(ini).isEmpty());
        QCOMPARE(entries, QStringList{QStringLiteral("setting.ini")});
    } else if (kind == "missing") {
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(entries.isEmpty());
    } else {
        QCOMPARE(readBytes(ini), before);
        QCOMPARE(entries, QStringList{QStringLiteral("setting.ini")});
    }
    // Reading the same target still gives the default.
    QCOMPARE(setting_read(target, Set, QStringLiteral("new"), QStringLiteral("d")),
             QStringLiteral("d"));
}

void tst_settings::specialFilesAreNotOpened()
{
    // A pipe in the file's place would block a reader that opened it.
    QTemporaryDir dir;
    QCOMPARE(::mkfifo(QFile::encodeName(iniPath(dir)).constData(), 0600), 0);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("502")),
             QStringLiteral("502"));
    QCOMPARE(setting_write(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("1")), 0);
    QVERIFY(!QFileInfo(iniPath(dir)).isFile());
}

void tst_settings::badInputLoadsAndSaves_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("port0");   // what the load gives txtPort(0)
    QTest::addColumn<QString>("strreg1"); // and strReg(1)

    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 37 + 11) % 256));
    QTest::newRow("binary bytes") << binary << "502"
                                  << "000";
    QTest::newRow("binary bytes around the section")
        << binary + "\n[set]\nport0=9\n" + binary << "9"
        << "000";
    QTest::newRow("very long lines")
        << "[set]\n" + QByteArray(1024 * 1024, 'k') + "\nstrreg1=" + QByteArray(100000, '7') +
               "\nport0=" + QByteArray(300, '5') + "\n"
        << QString(254, u'5') << QString(254, u'7');
    QTest::newRow("lines without equals")
        << QByteArray("[set]\nport0\nstrreg1 40001\n=\nport0=1\n") << "1"
        << "000";
    QTest::newRow("missing section") << QByteArray("port0=1\nstrreg1=2\n") << "502"
                                     << "000";
    QTest::newRow("repeated section")
        << QByteArray("[set]\nport0=1\n[x]\n[set]\nport0=2\nstrreg1=3\n") << "1"
        << "000";
    QTest::newRow("repeated keys")
        << QByteArray("[set]\nport0=1\nport0=2\nstrreg1=\nstrreg1=4\n") << "1"
        << "";
    QTest::newRow("no final line ending") << QByteArray("[set]\nport0=77") << "77"
                                          << "000";
    QTest::newRow("only a header") << QByteArray("[set]") << "502"
                                   << "000";
    QTest::newRow("empty file") << QByteArray() << "502"
                                << "000";
}

void tst_settings::badInputLoadsAndSaves()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, port0);
    QFETCH(QString, strreg1);

    QTemporaryDir dir;
    writeBytes(iniPath(dir), content);
    {
        LoadedWindow loaded(dir.path());
        QCOMPARE(loaded.window.txtPort[0]->text(), port0);
        QCOMPARE(loaded.window.strReg[1]->text(), strreg1);
        QCOMPARE(loaded.window.slotIdx, qint16(4));
        loaded.window.save();
    }

    // Every line the settings do not own is still there, in its order, byte for byte.
    const QByteArray saved = readBytes(iniPath(dir));
    QByteArray ownedRemoved;
    QList<QByteArray> lines = content.split('\n');
    for (const QByteArray &line : lines) {
        const QString key = QString::fromLatin1(line.left(line.indexOf('=')));
        const bool owned = line.indexOf('=') > 0 && allKeys().contains(key, Qt::CaseInsensitive);
        if (owned) continue;
        const qsizetype at = saved.indexOf(line, ownedRemoved.size());
        QVERIFY2(at >= 0, line.left(60).toHex().constData());
        ownedRemoved = saved.left(at + line.size());
    }
    // And every key reads back as the window had it.
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("port0"), QString()), port0);
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("strreg1"), QString()), strreg1);
    for (const QString &key : allKeys())
        QVERIFY2(setting_read(dir.path(), Set, key, QStringLiteral("<missing>")) != "<missing>",
                 qPrintable(key));
}

void tst_settings::hugeFileIsBounded()
{
    // Far larger than any settings file: only its beginning is looked at, and it is not
    // rewritten, since its tail could not be kept.
    QTemporaryDir dir;
    QByteArray content("[set]\nport0=1502\n");
    content.append(QByteArray(inifile::MaxFileBytes, 'x'));
    content.append("\nport1=1503\n");
    writeBytes(iniPath(dir), content);
    {
        LoadedWindow loaded(dir.path());
        QCOMPARE(loaded.window.txtPort[0]->text(), QStringLiteral("1502"));
        QCOMPARE(loaded.window.txtPort[1]->text(), QStringLiteral("502"));
        loaded.window.save();
    }
    QCOMPARE(readBytes(iniPath(dir)), content);

    // One huge line without any line ending gives the defaults.
    writeBytes(iniPath(dir), "[set]\nport0=" + QByteArray(inifile::MaxFileBytes + 10, '1'));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("port0"), QStringLiteral("502")),
             QStringLiteral("502"));
}

void tst_settings::saveFromScratchWritesTableOrder()
{
    QTemporaryDir dir;
    OptionIP window(dir.path());
    window.save();
    const QByteArray saved = readBytes(iniPath(dir));
    QVERIFY(saved.startsWith("[set]\n"));
    QCOMPARE(keysInFile(saved), allKeys());
    QCOMPARE(keysInFile(saved).first(), QStringLiteral("Scon0"));
    QCOMPARE(keysInFile(saved).last(), QStringLiteral("LstIP4"));
    QCOMPARE(saved.count('\n'), 25);

    // Each entry holds what its control showed.
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        QVERIFY(saved.contains("\nScon" + QByteArray::number(i) + "=True\n"));
        QVERIFY(saved.contains("\nport" + QByteArray::number(i) + "=" +
                               window.txtPort[size_t(i)]->text().toLocal8Bit() + "\n"));
        QVERIFY(saved.contains("\ntxtIP" + QByteArray::number(i) + "=" +
                               window.txtIP[size_t(i)]->text().toLocal8Bit() + "\n"));
    }
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        QVERIFY(saved.contains("\nstrreg" + QByteArray::number(s) + "=" +
                               window.strReg[size_t(s)]->text().toLocal8Bit() + "\n"));
        QVERIFY(saved.contains("\nlegreg" + QByteArray::number(s) + "=" +
                               window.LegReg[size_t(s)]->text().toLocal8Bit() + "\n"));
        QVERIFY(saved.contains("\nLstIP" + QByteArray::number(s) + "=" +
                               QByteArray::number(window.LstIP[size_t(s)]->currentIndex()) + "\n"));
    }

    // Saving again rewrites every value in place: same order, same size.
    window.txtIP[2]->setText(QStringLiteral("127.0.0.1"));
    window.save();
    const QByteArray again = readBytes(iniPath(dir));
    QCOMPARE(keysInFile(again), allKeys());
    QVERIFY(again.contains("\ntxtIP2=127.0.0.1\n"));
}

void tst_settings::onlyOneKeyGivesDefaultsElsewhere()
{
    QTemporaryDir dir;
    writeBytes(iniPath(dir), "[set]\nport1=1502\n");
    LoadedWindow loaded(dir.path());
    const OptionIP &w = loaded.window;
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        QCOMPARE(w.linkMarks.marked(i), std::optional<bool>(false));
        QCOMPARE(w.txtPort[size_t(i)]->text(), i == 1 ? QStringLiteral("1502") : "502");
        QCOMPARE(w.txtIP[size_t(i)]->text(), QStringLiteral("192.168.1.1"));
    }
    for (int s = 0; s < OptionIP::SlotCount; ++s) {
        QCOMPARE(w.strReg[size_t(s)]->text(), QStringLiteral("000"));
        QCOMPARE(w.LegReg[size_t(s)]->text(), QStringLiteral("000"));
        QCOMPARE(w.LstIP[size_t(s)]->currentIndex(), 0);
    }
    // Loading never writes.
    QCOMPARE(readBytes(iniPath(dir)), QByteArray("[set]\nport1=1502\n"));
}

void tst_settings::textsRoundTrip()
{
    QTemporaryDir dir;
    {
        LoadedWindow loaded(dir.path());
        OptionIP &w = loaded.window;
        w.strReg[0]->setText(QString());
        w.LegReg[0]->setText(QStringLiteral(" 10 "));
        w.strReg[3]->setText(QStringLiteral("abc;=[x]"));
        w.txtIP[1]->setText(QStringLiteral("  127.0.0.1"));
        w.txtPort[2]->setText(QStringLiteral("1502"));
        w.save();
    }
    QVERIFY(readBytes(iniPath(dir)).contains("\nstrreg0=\n"));
    LoadedWindow loaded(dir.path());
    const OptionIP &w = loaded.window;
    QCOMPARE(w.strReg[0]->text(), QString(""));
    QCOMPARE(w.LegReg[0]->text(), QStringLiteral(" 10 "));
    QCOMPARE(w.strReg[3]->text(), QStringLiteral("abc;=[x]"));
    QCOMPARE(w.txtIP[1]->text(), QStringLiteral("  127.0.0.1"));
    QCOMPARE(w.txtPort[2]->text(), QStringLiteral("1502"));
    QCOMPARE(w.strReg[1]->text(), QStringLiteral("000"));

    // A mark is read as a truth value: blanks and letter case do not matter, and a text that
    // does not convert leaves the mark unreadable, which is saved as marked.
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("Scon1"), QStringLiteral("maybe")));
    QVERIFY(setting_write(dir.path(), Set, QStringLiteral("Scon2"), QStringLiteral(" false ")));
    LoadedWindow reloaded(dir.path());
    QCOMPARE(reloaded.window.linkMarks.marked(0), std::optional<bool>(false));
    QCOMPARE(reloaded.window.linkMarks.marked(1), std::optional<bool>());
    QCOMPARE(reloaded.window.linkMarks.marked(2), std::optional<bool>(true));
    reloaded.window.save();
    const QByteArray saved = readBytes(iniPath(dir));
    QVERIFY(saved.contains("\nScon0=True\nScon1=False\nScon2=False\n"));
}

void tst_settings::listChoice_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("expected"); // -2: the list keeps what it had

    QTest::newRow("0") << "0" << 0;
    QTest::newRow("2") << "2" << 2;
    QTest::newRow("1.5 rounds to even 2") << "1.5" << 2;
    QTest::newRow("2.5 rounds to even 2") << "2.5" << 2;
    QTest::newRow("0.5 rounds to even 0") << "0.5" << 0;
    QTest::newRow("blanks around") << " 1 " << 1;
    QTest::newRow("-1 clears the selection") << "-1" << -1;
    QTest::newRow("000") << "000" << 0;
    QTest::newRow("not a number") << "abc" << -2;
    QTest::newRow("empty") << "" << -2;
    QTest::newRow("leading number only") << "1x" << -2;
    QTest::newRow("an index the list lacks") << "7" << -2;
    QTest::newRow("3") << "3" << -2;
    QTest::newRow("-2") << "-2" << -2;
    QTest::newRow("-1.5 rounds to -2") << "-1.5" << -2;
    QTest::newRow("beyond 16 bits") << "40000" << -2;
    QTest::newRow("far beyond") << "1e300" << -2;
}

void tst_settings::listChoice()
{
    QFETCH(QString, stored);
    QFETCH(int, expected);

    QTemporaryDir dir;
    writeBytes(iniPath(dir), "[set]\nLstIP2=" + stored.toLocal8Bit() + "\nLstIP3=2\n");
    OptionIP window(dir.path());
    const int before = 1;
    window.LstIP[2]->setCurrentIndex(before);
    window.Form_Load();
    ui::disableTimer(window.tloading);
    QCOMPARE(window.LstIP[2]->currentIndex(), expected == -2 ? before : expected);
    // The other slots load regardless.
    QCOMPARE(window.LstIP[3]->currentIndex(), 2);
    QCOMPARE(window.LstIP[4]->currentIndex(), 0);
    QCOMPARE(window.LstIP[2]->count(), 3);
}

void tst_settings::formatKeys_data()
{
    QTest::addColumn<QByteArray>("stored");  // lines after [set]
    QTest::addColumn<QString>("loaded");     // slot 2's unit, object and type as loaded
    QTest::addColumn<QByteArray>("saved");   // the format lines a save leaves, in file order

    QTest::newRow("none: none written") << QByteArray() << "1 holding u16" << QByteArray();
    QTest::newRow("any letter case")
        << QByteArray("UNIT2=7\nObject2=INPUT\ntype2=F32:CDAB\n") << "7 input f32:cdab"
        << QByteArray("unit2=7\nobject2=input\ntype2=f32:cdab\n");
    QTest::newRow("defaults the file holds stay")
        << QByteArray("unit2=1\ntype2=u16\n") << "1 holding u16"
        << QByteArray("unit2=1\ntype2=u16\n");
    QTest::newRow("unit beyond 255") << QByteArray("unit2=256\n") << "1 holding u16"
                                     << QByteArray("unit2=1\n");
    QTest::newRow("unit with a sign") << QByteArray("unit2=+7\n") << "1 holding u16"
                                      << QByteArray("unit2=1\n");
    QTest::newRow("unit 0 and 255") << QByteArray("unit2=0\nunit3=255\n") << "0 holding u16"
                                    << QByteArray("unit2=0\nunit3=255\n");
    QTest::newRow("word order of a 16-bit type") << QByteArray("type2=s16:cdab\n")
                                                 << "1 holding u16" << QByteArray("type2=u16\n");
    QTest::newRow("unknown order") << QByteArray("type2=f64:dbca\n") << "1 holding u16"
                                   << QByteArray("type2=u16\n");
    QTest::newRow("abcd written without it") << QByteArray("type2=s32:abcd\n")
                                             << "1 holding s32" << QByteArray("type2=s32\n");
    QTest::newRow("unknown object") << QByteArray("object2=coils\nobject4=discrete\n")
                                    << "1 holding u16"
                                    << QByteArray("object2=holding\nobject4=discrete\n");
}

void tst_settings::formatKeys()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, loaded);
    QFETCH(QByteArray, saved);
    QTemporaryDir dir;
    if (!stored.isEmpty()) writeBytes(iniPath(dir), "[set]\n" + stored);
    LoadedWindow w(dir.path());
    const valueformat::SlotFormat format = w.window.slotFormat(2);
    QCOMPARE(QStringLiteral("%1 %2 %3")
                 .arg(format.unit)
                 .arg(valueformat::objectText(format.object),
                      valueformat::typeText(format.type, format.order)),
             loaded);
    w.window.save();
    QByteArray formatLines;
    for (const QByteArray &line : readBytes(iniPath(dir)).split('\n')) {
        if (line.startsWith("unit") || line.startsWith("object") || line.startsWith("type"))
            formatLines += line + '\n';
    }
    QCOMPARE(formatLines, saved);

    // A slot set in the window adds the one key that differs, at the end of the section.
    w.window.LstType[4]->setCurrentText(QStringLiteral("f64:dcba"));
    w.window.save();
    QVERIFY(readBytes(iniPath(dir)).endsWith("\ntype4=f64:dcba\n"));
}

void tst_settings::noSelectionRoundTrips()
{
    QTemporaryDir dir;
    {
        LoadedWindow loaded(dir.path());
        loaded.window.LstIP[3]->setCurrentIndex(-1);
        loaded.window.LstIP[1]->setCurrentIndex(2);
        loaded.window.save();
    }
    const QByteArray saved = readBytes(iniPath(dir));
    QVERIFY(saved.contains("\nLstIP3=-1\n"));
    QVERIFY(saved.contains("\nLstIP1=2\n"));
    LoadedWindow loaded(dir.path());
    QCOMPARE(loaded.window.LstIP[3]->currentIndex(), -1);
    QCOMPARE(loaded.window.LstIP[1]->currentIndex(), 2);
    QCOMPARE(loaded.window.LstIP[0]->currentIndex(), 0);
}

void tst_settings::linkMarksSaved()
{
    QTemporaryDir dir;
    OptionIP window(dir.path());
    window.linkMarks.readSaved(0, QStringLiteral("False"));
    window.linkMarks.readSaved(1, QStringLiteral("0"));
    // The Connect buttons' own state does not count: a link the connection sequence has just
    // reset has its button enabled and is still marked.
    window.cmdConnect[0]->setEnabled(true);
    window.cmdConnect[2]->setEnabled(false);
    window.linkMarks.setByOperator(1, false);
    window.save();
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon0"), QString()),
             QStringLiteral("False"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon1"), QString()),
             QStringLiteral("True"));
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon2"), QString()),
             QStringLiteral("True"));

    window.linkMarks.setByOperator(2, true);
    window.save();
    QCOMPARE(setting_read(dir.path(), Set, QStringLiteral("Scon2"), QString()),
             QStringLiteral("False"));

    // The next start reads the marks back.
    LoadedWindow next(dir.path());
    QCOMPARE(next.window.linkMarks.marked(0), std::optional<bool>(true));
    QCOMPARE(next.window.linkMarks.marked(1), std::optional<bool>(false));
    QCOMPARE(next.window.linkMarks.marked(2), std::optional<bool>(true));
}

QTEST_MAIN(tst_settings)
#include "tst_settings.moc"
