#include "app/optionip.h"
#include "app/ui.h"
#include "snapshot/snapshot.h"
#include "support/devices.h"
#include "support/pollwindow.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace
{

// A window for snapshot work: a 30 by 30 grid, a fixed date and time in the labels, the
// cycle at rest, no host text anything could dial.
void shapeForSnapshot(OptionIP &w)
{
    w.tabel->setRowCount(30);
    w.tabel->setColumnCount(30);
    for (QLineEdit *host : w.txtIP)
        host->clear();
    ui::disableTimer(w.Timer1);
    w.lbtgl->setText(QStringLiteral("07 / Dec / 2026"));
    w.lbjam->setText(QStringLiteral("09:34:54"));
    w.slotIdx = 4;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList recordFields(const QString &path)
{
    QByteArray bytes = fileBytes(path);
    if (bytes.endsWith("\r\n")) bytes.chop(2);
    return QString::fromLocal8Bit(bytes).split(QLatin1Char('#'));
}

} // namespace

class tst_snapshot : public QObject
{
    Q_OBJECT

private slots:
    // Every case gets a directory of its own.
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
    }
    void buildRecord_data();
    void buildRecord();
    void emptyGridLine();
    void oneLineWhateverWasThere();
    void slotOnUnconnectedLink();
    void slotWithFewerThanFourRegisters();
    void tickWritesBeforeItsReply();
    void fileThatCannotBeWritten();
    void smallGrid();

private:
    QString dataPath() const { return m_tmp->filePath(QStringLiteral("data.txt")); }
    std::unique_ptr<QTemporaryDir> m_tmp;
};

void tst_snapshot::buildRecord_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("filled");
    QTest::addColumn<QString>("record");

    QTest::newRow("empty grid") << 30 << 30 << false << "###########D#T";
    QTest::newRow("every cell") << 30 << 30 << true
                                << "#1:2#1:4#1:6#1:8#1:10#4:2#4:4#4:6#4:8#4:10#D#T";
    QTest::newRow("four rows") << 4 << 30 << true << "#1:2#1:4#1:6#1:8#1:10#D#T";
    QTest::newRow("seven columns") << 30 << 7 << true << "#1:2#1:4#1:6#4:2#4:4#4:6#D#T";
    QTest::newRow("no cells") << 1 << 1 << true << "#D#T";
}

void tst_snapshot::buildRecord()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(bool, filled);
    QFETCH(QString, record);

    QList<QPair<int, int>> asked;
    const auto cell = [&](int row, int column) -> std::optional<QString> {
        asked << qMakePair(row, column);
        if (row >= rows || column >= columns) return std::nullopt;
        return filled ? QStringLiteral("%1:%2").arg(row).arg(column) : QString();
    };
    QCOMPARE(snapshot::buildRecord(cell, QStringLiteral("D"), QStringLiteral("T")), record);
    const QList<QPair<int, int>> order = {{1, 2}, {1, 4}, {1, 6}, {1, 8}, {1, 10},
                                          {4, 2}, {4, 4}, {4, 6}, {4, 8}, {4, 10}};
    QCOMPARE(asked, order);
}

void tst_snapshot::emptyGridLine()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    w.Timer1_Timer(); // the labels as the clock sets them
    const QString date = w.lbtgl->text();
    const QString time = w.lbjam->text();
    QVERIFY(date != QStringLiteral("Label6") && time != QStringLiteral("Label6"));

    w.print_click();
    const QString line = QStringLiteral("###########") + date + QLatin1Char('#') + time;
    QCOMPARE(w.txt_print->text(), line);
    QCOMPARE(w.lb_file->text(), snapshot::fileCaption());
#ifndef Q_OS_WIN
    QCOMPARE(w.lb_file->text(), QStringLiteral("/data.txt"));
#endif
    QCOMPARE(fileBytes(dataPath()), line.toLocal8Bit() + "\r\n");
    QCOMPARE(recordFields(dataPath()).size(), 13);
}

void tst_snapshot::oneLineWhateverWasThere()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    {
        QFile old(dataPath());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older record\r\nand another\r\nand a third, longer than the new ones\r\n");
    }

    w.setCellText(1, 2, QStringLiteral("500"));
    w.print_click();
    QCOMPARE(fileBytes(dataPath()), QByteArray("#500##########07 / Dec / 2026#09:34:54\r\n"));

    w.setCellText(1, 2, QStringLiteral("65535"));
    w.setCellText(4, 10, QStringLiteral("0"));
    w.lbtgl->setText(QStringLiteral("08 / Dec / 2026"));
    w.lbjam->setText(QStringLiteral("00:00:01"));
    w.print_click();
    const QByteArray expected("#65535#########0#08 / Dec / 2026#00:00:01\r\n");
    QCOMPARE(fileBytes(dataPath()), expected);
    QCOMPARE(w.txt_print->text().toLocal8Bit() + "\r\n", expected);
    QCOMPARE(fileBytes(dataPath()).count("\r\n"), qsizetype(1));

    // Non-ASCII text (a month name, say) goes out in the local 8-bit encoding.
    w.lbtgl->setText(QStringLiteral("07 / d\u00e9c. / 2026"));
    w.print_click();
    QCOMPARE(fileBytes(dataPath()), w.txt_print->text().toLocal8Bit() + "\r\n");
    QVERIFY(fileBytes(dataPath()).contains(QStringLiteral("d\u00e9c.").toLocal8Bit()));
    // Nothing is left beside the file.
    QCOMPARE(QDir(m_tmp->path()).entryList(QDir::Files | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("data.txt")}));
}

void tst_snapshot::slotOnUnconnectedLink()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    setSlot(w, 2, 2, QStringLiteral("1"), QStringLiteral("5"));
    w.slotIdx = 2;
    w.cmdRead_Click();
    ui::disableTimer(w.Timer4);

    w.print_click();
    const QStringList fields = recordFields(dataPath());
    QCOMPARE(fields.size(), 13);
    QCOMPARE(fields[3], QStringLiteral("???"));
    QCOMPARE(fields[8], QStringLiteral("???"));
    for (const int k : {1, 2, 4, 5, 6, 7, 9, 10})
        QCOMPARE(fields[k], QString());
    QCOMPARE(fields[11], QStringLiteral("07 / Dec / 2026"));
    QCOMPARE(fields[12], QStringLiteral("09:34:54"));
}

void tst_snapshot::slotWithFewerThanFourRegisters()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    ModbusDevice device;
    QVERIFY(device.start());
    QVERIFY(connectLink(w, 0, device.port()));
    const QVector<quint16> first = {100, 200, 300, 400};
    for (int k = 0; k < 4; ++k)
        device.setRegister(k, first[k]);
    setSlot(w, 4, 0, QStringLiteral("1"), QStringLiteral("4"));

    w.slotIdx = 3;
    w.cmdConnectDev_Click();
    QTRY_VERIFY_WITH_TIMEOUT(resting(w) && w.cellText(4, 10) == QStringLiteral("400"), 10000);

    // Now only two registers: the edit empties the slot, so row 4 no longer offers a value
    // that the slot does not read any more.
    device.setRegister(0, 7);
    device.setRegister(3, 9);
    w.LegReg[4]->setText(QStringLiteral("2"));
    w.slotIdx = 3;
    w.cmdConnectDev_Click();
    QTRY_VERIFY_WITH_TIMEOUT(resting(w) && w.cellText(1, 10) == QStringLiteral("7"), 10000);
    w.print_click();
    const QStringList fields = recordFields(dataPath());
    QCOMPARE(fields[5], QStringLiteral("7"));
    QCOMPARE(fields[10], QString());
}

void tst_snapshot::tickWritesBeforeItsReply()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    ModbusDevice device;
    QVERIFY(device.start());
    QVERIFY(connectLink(w, 0, device.port()));
    device.setRegister(0, 1111);
    device.setRegister(3, 4444);
    setSlot(w, 0, 0, QStringLiteral("1"), QStringLiteral("4"));
    for (int s = 1; s < 5; ++s)
        setSlot(w, s, 2, QStringLiteral("1"), QStringLiteral("0"));

    w.Timer3_Timer();
    // Written right after the request went out: the grid was still empty.
    QCOMPARE(recordFields(dataPath())[1], QString());
    QTRY_VERIFY_WITH_TIMEOUT(resting(w) && w.cellText(1, 2) == QStringLiteral("1111"), 10000);
    QCOMPARE(recordFields(dataPath())[1], QString());

    device.setRegister(0, 2222);
    device.setRegister(3, 5555);
    w.Timer3_Timer();
    QStringList fields = recordFields(dataPath());
    QCOMPARE(fields[1], QStringLiteral("1111"));
    QCOMPARE(fields[6], QStringLiteral("4444"));
    QTRY_VERIFY_WITH_TIMEOUT(resting(w) && w.cellText(1, 2) == QStringLiteral("2222"), 10000);
    fields = recordFields(dataPath());
    QCOMPARE(fields[1], QStringLiteral("1111"));
    QCOMPARE(fields[6], QStringLiteral("4444"));
}

void tst_snapshot::fileThatCannotBeWritten()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    QVERIFY(QDir(m_tmp->path()).mkdir(QStringLiteral("data.txt")));
    w.setCellText(1, 4, QStringLiteral("42"));

    w.print_click();
    const QString record = QStringLiteral("##42#########07 / Dec / 2026#09:34:54");
    QCOMPARE(w.txt_print->text(), record);
    QCOMPARE(w.lb_file->text(), snapshot::fileCaption());
    QVERIFY(QFileInfo(dataPath()).isDir());
    QCOMPARE(QDir(m_tmp->path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(!snapshot::writeRecordFile(dataPath(), record));

    // The window carries on: the next call that can write, writes.
    QVERIFY(QDir(m_tmp->path()).rmdir(QStringLiteral("data.txt")));
    w.print_click();
    QCOMPARE(fileBytes(dataPath()), record.toLocal8Bit() + "\r\n");

    // A directory that does not exist: nothing is created, nothing else changes.
    QVERIFY(
        !snapshot::writeRecordFile(m_tmp->filePath(QStringLiteral("missing/data.txt")), record));
    QVERIFY(!QFileInfo::exists(m_tmp->filePath(QStringLiteral("missing"))));
}

void tst_snapshot::smallGrid()
{
    OptionIP w(m_tmp->path());
    shapeForSnapshot(w);
    w.tabel->setRowCount(3);
    w.tabel->setColumnCount(7);
    w.setCellText(1, 2, QStringLiteral("a"));
    w.setCellText(1, 6, QStringLiteral("c"));
    w.print_click();
    QCOMPARE(w.txt_print->text(), QStringLiteral("#a##c#07 / Dec / 2026#09:34:54"));
}

QTEST_MAIN(tst_snapshot)
#include "tst_snapshot.moc"
