#include "snapshot/snapshot.h"

#include "app/optionip.h"
#include "files/wholefile.h"

#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <algorithm>

namespace snapshot
{

QString buildRecord(const CellReader &cell, const QString &date, const QString &time)
{
    QString record;
    for (const int row : RecordRows) {
        for (const int column : ValueColumns) {
            if (const std::optional<QString> text = cell(row, column))
                record += QLatin1Char('#') + *text;
        }
    }
    return record + QLatin1Char('#') + date + QLatin1Char('#') + time;
}

QString fileCaption()
{
#ifdef Q_OS_WIN
    return QStringLiteral("\\data.txt");
#else
    return QStringLiteral("/data.txt");
#endif
}

namespace
{

std::optional<files::Failure> replaceWithRecord(const QString &path, const QString &record)
{
    return files::replaceFile(path, record.toLocal8Bit() + "\r\n");
}

} // namespace

bool writeRecordFile(const QString &path, const QString &record)
{
    return !replaceWithRecord(path, record);
}

bool RecordFile::write(const QString &path, const QString &record)
{
    const std::optional<files::Failure> failure = replaceWithRecord(path, record);
    if (failure && !m_failing) files::report(path, *failure);
    m_failing = bool(failure);
    return !failure;
}

} // namespace snapshot

void OptionIP::print_click()
{
    const QString record = snapshot::buildRecord(
        [this](int row, int column) -> std::optional<QString> {
            if (row >= tabel->rowCount() || column >= tabel->columnCount()) return std::nullopt;
            return cellText(row, column);
        },
        lbtgl->text(), lbjam->text());
    // A selection the operator made stays over the new record, so Copy still has it.
    const int selected = txt_print->selectionStart();
    const int selectedLength = int(txt_print->selectedText().size());
    txt_print->setText(record);
    if (selected >= 0 && selected < record.size())
        txt_print->setSelection(selected, std::min(selectedLength, int(record.size()) - selected));
    else // The record is read from its start: the leading '#' and the first values.
        txt_print->setCursorPosition(0);
    lb_file->setText(snapshot::fileCaption());

    // A file that cannot be written keeps what it held.
    m_recordFile.write(appDir() + lb_file->text(), txt_print->text());
    emit snapshotTaken();
}
