// The history files of the real window: rows and header from a real poll, a new file for a
// new layout or a new day, and a full or read-only file system.
#include "app/keepers.h"
#include "app/optionip.h"
#include "support/devices.h"
#include "support/files.h"
#include "support/pollwindow.h"
#include "support/tmpfsmount.h"
#include "support/warnings.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

// One hour east of UTC, so the offset shows in every time field.
QDateTime at(const QString &iso)
{
    return QDateTime(QDate::fromString(iso.left(10), Qt::ISODate),
                     QTime::fromString(iso.mid(11), QStringLiteral("HH:mm:ss.zzz")),
                     Qt::OffsetFromUTC, 3600);
}

// Files of `dir` as "name: header, rows" for a compact comparison.
QStringList filesIn(const QString &dir)
{
    QStringList files;
    for (const QString &name :
         QDir(dir).entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name)) {
        QStringList lines = readLines(QDir(dir).filePath(name));
        if (lines.constLast().isEmpty()) lines.removeLast(); // after the last line end
        files << QStringLiteral("%1: %2, %3 rows").arg(name, lines.value(0)).arg(lines.size() - 1);
    }
    return files;
}

// A window with slot 0 on link A from register 100 and slot 1 on link B from 7; the rest unused.
void shapeSlots(OptionIP &w, const QString &countA)
{
    shapeForPolling(w);
    w.Timer1->stop();
    setSlot(w, 0, 0, QStringLiteral("100"), countA);
    setSlot(w, 1, 1, QStringLiteral("7"), QStringLiteral("2"));
    for (int s = 2; s < OptionIP::SlotCount; ++s)
        setSlot(w, s, -1, QStringLiteral("1"), QStringLiteral("0"));
}

} // namespace

class tst_history : public QObject
{
    Q_OBJECT

private slots:
    void rowsFromARealPoll();
    void newFile_data();
    void newFile();
    void unwritableFolder_data();
    void unwritableFolder();
};

void tst_history::rowsFromARealPoll()
{
    ModbusDevice device;
    QVERIFY(device.start());
    for (int k = 0; k < 3; ++k)
        device.setRegister(99 + k, quint16(11 + k));
    QTemporaryDir app, history;
    OptionIP w(app.path());
    shapeSlots(w, QStringLiteral("3"));
    QDateTime now = at(QStringLiteral("2026-12-08T16:55:09.123"));
    Keepers keepers(w, history.path(), [&now] { return now; });
    QVERIFY(connectLink(w, 0, device.port()));

    // Link B is not connected: its cells show "???", which the history leaves empty.
    for (int cycle = 0; cycle < 2; ++cycle) {
        w.Timer3_Timer();
        QTRY_VERIFY_WITH_TIMEOUT(resting(w), 10000);
    }
    w.Timer3_Timer();
    // A cycle held up before slot 0 was read again: the grid keeps its values, the row does not.
    now = now.toOffsetFromUtc(0);
    w.print_click();
    QCOMPARE(readBytes(app.filePath(QStringLiteral("data.txt"))).left(7), QByteArray("#11#???"));
    QCOMPARE(readLines(history.filePath(QStringLiteral("quorvel-2026-12-08.csv"))),
             (QStringList{QStringLiteral("time,A 100,A 101,A 102,B 7,B 8"),
                          QStringLiteral("2026-12-08T16:55:09.123+01:00,,,,,"),
                          QStringLiteral("2026-12-08T16:55:09.123+01:00,11,12,13,,"),
                          QStringLiteral("2026-12-08T16:55:09.123+01:00,11,12,13,,"),
                          QStringLiteral("2026-12-08T15:55:09.123+00:00,,,,,"), QString()}));
    QCOMPARE(keepers.history()->lostRows(), 0);
}

void tst_history::newFile_data()
{
    QTest::addColumn<QByteArray>("dayFile"); // what quorvel-2026-12-08.csv held before
    QTest::addColumn<QString>("edit");       // counts of slot 0 typed, each followed by a row
    QTest::addColumn<QString>("secondRowAt");
    QTest::addColumn<QStringList>("files");

    const QString header3 = QStringLiteral("time,A 100,A 101,A 102,B 7,B 8");
    const QString day = QStringLiteral("quorvel-2026-12-08.csv: ");
    QTest::newRow("same layout") << QByteArray() << QString()
                                 << QStringLiteral("2026-12-08T16:55:10.000")
                                 << QStringList{day + header3 + QStringLiteral(", 2 rows")};
    QTest::newRow("count edited")
        << QByteArray() << QStringLiteral("1") << QStringLiteral("2026-12-08T16:55:10.000")
        << QStringList{QStringLiteral("quorvel-2026-12-08-165510.csv: time,A 100,B 7,B 8, 1 rows"),
                       day + header3 + QStringLiteral(", 1 rows")};
    QTest::newRow("edit undone before the row")
        << QByteArray() << QStringLiteral("3") << QStringLiteral("2026-12-08T16:55:10.000")
        << QStringList{day + header3 + QStringLiteral(", 2 rows")};
    QTest::newRow("changed and back")
        << QByteArray() << QStringLiteral("1;3") << QStringLiteral("2026-12-08T16:55:10.000")
        << QStringList{QStringLiteral("quorvel-2026-12-08-165510-2.csv: ") + header3 +
                           QStringLiteral(", 1 rows"),
                       QStringLiteral("quorvel-2026-12-08-165510.csv: time,A 100,B 7,B 8, 1 rows"),
                       day + header3 + QStringLiteral(", 1 rows")};
    QTest::newRow("new day") << QByteArray() << QString()
                             << QStringLiteral("2026-12-09T00:00:00.250")
                             << QStringList{day + header3 + QStringLiteral(", 1 rows"),
                                            QStringLiteral("quorvel-2026-12-09.csv: ") + header3 +
                                                QStringLiteral(", 1 rows")};
    QTest::newRow("day file of another layout")
        << QByteArray("time,C 1\n2026-12-08T08:00:00.000+01:00,5\n") << QString()
        << QStringLiteral("2026-12-08T16:55:10.000")
        << QStringList{QStringLiteral("quorvel-2026-12-08-165509.csv: ") + header3 +
                           QStringLiteral(", 2 rows"),
                       day + QStringLiteral("time,C 1, 1 rows")};
    QTest::newRow("day file cut short")
        << (header3 + QStringLiteral("\n2026-12-08T08:00:00.000+01:00,5,")).toUtf8() << QString()
        << QStringLiteral("2026-12-08T16:55:10.000")
        << QStringList{QStringLiteral("quorvel-2026-12-08-165509.csv: ") + header3 +
                           QStringLiteral(", 2 rows"),
                       day + header3 + QStringLiteral(", 1 rows")};
}

void tst_history::newFile()
{
    QFETCH(QByteArray, dayFile);
    QFETCH(QString, edit);
    QFETCH(QString, secondRowAt);
    QFETCH(QStringList, files);

    QTemporaryDir app, history;
    if (!dayFile.isEmpty())
        writeBytes(history.filePath(QStringLiteral("quorvel-2026-12-08.csv")), dayFile);
    OptionIP w(app.path());
    shapeSlots(w, QStringLiteral("3"));
    QDateTime now = at(QStringLiteral("2026-12-08T16:55:09.500"));
    Keepers keepers(w, history.path(), [&now] { return now; });

    w.print_click();
    now = at(secondRowAt);
    for (const QString &count : edit.isEmpty() ? QStringList{QString()} : edit.split(u';')) {
        if (!count.isEmpty()) {
            w.LegReg[0]->setText(QStringLiteral("2"));
            w.LegReg[0]->setText(count);
        }
        w.print_click();
    }
    QCOMPARE(filesIn(history.path()), files);
}

void tst_history::unwritableFolder_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("disk full") << "full";
    QTest::newRow("read-only") << "read-only";
    QTest::newRow("no file can be created") << "no inodes";
}

void tst_history::unwritableFolder()
{
    QFETCH(QString, fault);
    const bool full = fault == QLatin1String("full");
    TmpfsMount fs(fault == QLatin1String("no inodes") ? "size=64k,nr_inodes=8" : "size=64k");
    if (!fs.isMounted()) QSKIP(qPrintable(fs.error()));
    QTemporaryDir app;
    OptionIP w(app.path());
    shapeSlots(w, QStringLiteral("29"));
    // Rows of some 170 bytes, so a row now and then straddles the file's last free page.
    for (int row = 1; row <= 29; ++row)
        w.setCellText(row, valueColumn(0), QStringLiteral("6553%1").arg(row % 10));
    const QString dir = fs.filePath(QStringLiteral("history"));
    Keepers keepers(w, dir);
    WarningCatcher warnings;

    const auto writeRows = [&](int rows) {
        for (int k = 0; k < rows; ++k) {
            w.lbjam->setText(QString::number(k));
            emit w.slotValuesRead(0); // as a reply that filled the cells would
            w.print_click();
            // data.txt, elsewhere, is rewritten whatever happens to the history.
            QVERIFY(readBytes(app.filePath(QStringLiteral("data.txt")))
                        .endsWith("#" + QByteArray::number(k) + "\r\n"));
        }
    };

    if (fault == QLatin1String("no inodes")) {
        // The day's file cannot even be made: its rows are lost until it can, as on a full
        // disk, and the history is not given up.
        QVERIFY(QDir().mkpath(dir));
        int made = 0;
        while (QFile(fs.filePath(QStringLiteral("f%1").arg(made))).open(QIODevice::WriteOnly))
            ++made;
        writeRows(3);
        QCOMPARE(warnings.containing(dir).size(), 1);
        QVERIFY(warnings.containing(dir).constFirst().contains(QStringLiteral("rows are lost")));
        QVERIFY(QFile::remove(fs.filePath(QStringLiteral("f%1").arg(made - 1))));
        writeRows(2);
        QCOMPARE(readLines(keepers.history()->currentPath()).size(), 1 + 2 + 1);
        return;
    }
    if (!full) {
        QVERIFY(fs.remountReadOnly());
        writeRows(3);
        QCOMPARE(warnings.containing(dir).size(), 1);
        QVERIFY(keepers.history()->isDisabled());
        QVERIFY(!QFile::exists(dir));
        return;
    }

    writeRows(3);
    QVERIFY(fs.fill());
    writeRows(300);
    QCOMPARE(warnings.containing(dir).size(), 1);
    QVERIFY(warnings.containing(dir).constFirst().contains(QStringLiteral("rows are lost")));
    const qint64 lost = keepers.history()->lostRows();
    QVERIFY2(lost > 0, "the disk never filled");

    const QString path = keepers.history()->currentPath();
    QStringList lines = readLines(path);
    QCOMPARE(lines.takeLast(), QString()); // the file ends with a line end
    const QRegularExpression row(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d(,6553\\d){29},,$"));
    QCOMPARE(lines.size(), 1 + 303 - lost);
    for (int k = 1; k < lines.size(); ++k)
        QVERIFY2(row.match(lines[k]).hasMatch(), qPrintable(lines[k]));

    // Space returns: so do the rows. When it runs out again, that is said again.
    QVERIFY(QFile::remove(fs.filePath(QStringLiteral("filler"))));
    writeRows(3);
    QCOMPARE(readLines(path).size(), lines.size() + 3 + 1);
    QCOMPARE(keepers.history()->lostRows(), lost);
    QVERIFY(fs.fill());
    writeRows(300);
    QCOMPARE(warnings.containing(dir).size(), 2);
}

QTEST_MAIN(tst_history)
#include "tst_history.moc"
