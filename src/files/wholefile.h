#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Replacing a small file whole, so that a reader or a crash never meets it empty, short or
// mixed. Plain functions: no widgets.
namespace files
{

// Why a file was not replaced: the step that failed and the system's reason.
struct Failure {
    QString what;
    QString reason;
};

// The failure as one line for standard error: the file, what failed, the reason.
QString describe(const QString &path, const Failure &failure);
// The system's text for an error number.
QString systemReason(int errorNumber);

// Writes `bytes` to a new file beside `path` and renames it over the old one once every
// write and the flush have succeeded; the old file stays exactly as it was otherwise. The
// replacement keeps the old file's mode and owner. Where the directory allows no new file,
// the existing file is rewritten in place: first grown to its new size, so that a full disk
// fails before any old byte is touched. A file with no write permission bit is left alone
// even where the system would allow writing it; so is anything that is not a regular file.
// Symbolic links are followed.
std::optional<Failure> replaceFile(const QString &path, const QByteArray &bytes);

// Removes what saves of `path` that were killed half-way left beside it: Qt's temporary
// names, `path` followed by a dot and six letters of both cases.
void removeSaveLeftovers(const QString &path);

// Prints describe() as a warning, which goes to standard error.
void report(const QString &path, const Failure &failure);

} // namespace files
