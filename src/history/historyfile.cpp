#include "history/historyfile.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

// A header longer than this is no header of ours: five slots of 29 named rows fit easily.
constexpr qint64 LongestHeader = 64 * 1024;
// Files tried for one layout within the same second before the row is given up.
constexpr int NameAttempts = 100;

// Whether rows of `header` may be appended to `path`: it is new or empty, or it was started
// with the same header and ends with a whole line.
bool appendable(const QString &path, const QString &header)
{
    QFile file(path);
    if (!file.exists()) return true;
    if (!file.open(QIODevice::ReadOnly)) return false;
    if (file.size() == 0) return true;
    const QByteArray first = file.readLine(LongestHeader);
    if (first != header.toUtf8() + '\n') return false;
    char last = 0;
    return file.seek(file.size() - 1) && file.getChar(&last) && last == '\n';
}

bool noSpace(int error)
{
    return error == ENOSPC
#ifdef EDQUOT
           || error == EDQUOT
#endif
        ;
}

} // namespace

HistoryFile::HistoryFile(const QString &dir, Clock clock) : m_dir(dir), m_clock(std::move(clock)) {}

void HistoryFile::write(const std::vector<snapshot::ShownValue> &shown)
{
    if (m_disabled) return;
    const QDateTime now = m_clock ? m_clock() : QDateTime::currentDateTime();
    const QString head = history::header(shown);
    if (!openFor(now, head)) {
        if (!m_disabled) ++m_lostRows;
        return;
    }
    QByteArray bytes = history::row(now, shown);
    // A file whose first write was lost is empty again and still needs its header.
    if (m_file.size() == 0) bytes.prepend(head.toUtf8() + '\n');
    if (!appendWhole(bytes)) {
        ++m_lostRows;
        return;
    }
    m_losing = false;
}

bool HistoryFile::openFor(const QDateTime &now, const QString &header)
{
    const bool sameDay = m_file.isOpen() && now.date() == m_day;
    // An edit that was undone before the next row leaves the layout, and the file, as it was.
    if (sameDay && header == m_header) return true;
    m_file.close();
    if (!QDir().mkpath(m_dir)) {
        disable(QStringLiteral("cannot create the folder"),
                QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    // A layout change within the day, or a day file that holds another layout, gets a file
    // of its own, named after the moment it starts.
    const QDir dir(m_dir);
    QString path;
    QStringList names;
    if (!sameDay) names << history::dayFileName(now.date());
    const QString started = history::layoutFileName(now);
    names << started;
    for (int k = 2; k < NameAttempts; ++k)
        names << started.chopped(4) + QStringLiteral("-%1.csv").arg(k);
    for (const QString &name : names) {
        if (appendable(dir.filePath(name), header)) {
            path = dir.filePath(name);
            break;
        }
    }
    if (path.isEmpty()) {
        lose(QStringLiteral("no file name left for this layout"));
        return false;
    }

    m_file.setFileName(path);
    // Unbuffered: a failed write leaves nothing behind in Qt that a later call would retry.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        const int error = errno;
        const QString reason = m_file.errorString();
        if (noSpace(error))
            lose(reason);
        else
            disable(QStringLiteral("cannot open ") + path, reason);
        return false;
    }
    m_header = header;
    m_day = now.date();
    return true;
}

bool HistoryFile::appendWhole(const QByteArray &bytes)
{
    const qint64 before = m_file.size();
    if (m_file.write(bytes) == bytes.size()) return true;
    const QString reason = m_file.errorString();
    // What part of the row did go in is taken back, so the file ends with a whole line.
    m_file.resize(before);
    m_file.unsetError();
    lose(reason);
    return false;
}

void HistoryFile::lose(const QString &reason)
{
    if (m_losing) return;
    m_losing = true;
    qWarning().noquote() << QStringLiteral("quorvel: history %1: rows are lost while it cannot "
                                           "be written: %2")
                                .arg(m_dir, reason);
}

void HistoryFile::disable(const QString &what, const QString &reason)
{
    m_disabled = true;
    m_file.close();
    qWarning().noquote() << QStringLiteral("quorvel: history %1: %2: %3; polling goes on "
                                           "without it")
                                .arg(m_dir, what, reason);
}

namespace history
{

QString csvField(const QString &text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString header(const std::vector<snapshot::ShownValue> &shown)
{
    QString text = QStringLiteral("time");
    for (const snapshot::ShownValue &value : shown)
        text += u',' + csvField(value.name());
    return text;
}

QByteArray row(const QDateTime &time, const std::vector<snapshot::ShownValue> &shown)
{
    QString text = timeText(time);
    for (const snapshot::ShownValue &value : shown) {
        text += u',';
        if (value.current) text += csvField(value.text);
    }
    text += u'\n';
    return text.toUtf8();
}

QString timeText(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString dayFileName(const QDate &day)
{
    return QStringLiteral("quorvel-") + day.toString(QStringLiteral("yyyy-MM-dd")) +
           QStringLiteral(".csv");
}

QString layoutFileName(const QDateTime &time)
{
    return QStringLiteral("quorvel-") + time.toString(QStringLiteral("yyyy-MM-dd-HHmmss")) +
           QStringLiteral(".csv");
}

} // namespace history
