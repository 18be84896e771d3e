#pragma once

#include "snapshot/shownvalues.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

// The history: one CSV row per poll cycle, appended to a file per local day in a folder the
// operator names, each file starting with its header. A row is written whole or not at all;
// while the disk is full rows are lost (said once on standard error) and they resume when
// space returns. A folder that cannot be used is reported once, then left alone.
class HistoryFile
{
public:
    using Clock = std::function<QDateTime()>;

    // `clock` gives the local time of each row; the system's clock when empty.
    explicit HistoryFile(const QString &dir, Clock clock = {});

    QString dir() const { return m_dir; }
    // The file the last row went to; empty before the first.
    QString currentPath() const { return m_file.fileName(); }
    // Rows lost since start, for want of space or a failing write.
    qint64 lostRows() const { return m_lostRows; }
    // The folder could not be used: every row is ignored from now on.
    bool isDisabled() const { return m_disabled; }

    // Appends one row made of what the window shows now. A row whose header differs from
    // the file's (the slots' layout changed) starts a file of its own with its own header.
    void write(const std::vector<snapshot::ShownValue> &shown);

private:
    bool openFor(const QDateTime &now, const QString &header);
    bool appendWhole(const QByteArray &bytes);
    void lose(const QString &reason);
    void disable(const QString &what, const QString &reason);

    QString m_dir;
    Clock m_clock;
    QFile m_file;
    QString m_header;
    QDate m_day;
    bool m_losing = false;
    bool m_disabled = false;
    qint64 m_lostRows = 0;
};

namespace history
{

// One CSV field as RFC 4180 writes it: quoted only when it holds a comma, quote or line end.
QString csvField(const QString &text);
// "time" then each shown value's name ("A 100"), comma-separated, without the line end.
QString header(const std::vector<snapshot::ShownValue> &shown);
// The time and each current value's text, an empty field for a value not current, and "\n".
QByteArray row(const QDateTime &time, const std::vector<snapshot::ShownValue> &shown);
// Local time in ISO 8601 with milliseconds and the UTC offset: 2026-12-08T16:55:09.123+01:00.
QString timeText(const QDateTime &time);
// quorvel-2026-12-08.csv
QString dayFileName(const QDate &day);
// quorvel-2026-12-08-165509.csv, for a file started by a layout change.
QString layoutFileName(const QDateTime &time);

} // namespace history
