#pragma once

#include <QString>
#include <array>
#include <functional>
#include <optional>

// The one-line value snapshot: its record and the file that holds it.
namespace snapshot
{

// Value columns of the five slots, and the registers (grid rows) the record takes from each.
constexpr std::array<int, 5> ValueColumns = {2, 4, 6, 8, 10};
constexpr std::array<int, 2> RecordRows = {1, 4};

// A grid cell's text, or nothing when the grid has no such cell.
using CellReader = std::function<std::optional<QString>(int row, int column)>;

// "#" and a cell for row 1 of every value column, the same for row 4, then "#" date "#"
// time. A cell the grid does not have adds nothing, not even its "#".
QString buildRecord(const CellReader &cell, const QString &date, const QString &time);

// The file name as lb_file shows it: the platform's path separator, then data.txt.
QString fileCaption();

// Replaces the file with the record and CRLF in the local 8-bit encoding. The new content
// is written beside the file and renamed over it, so a reader sees the old line or the new
// one, never an empty or half-written file. False when it cannot be written; the old file
// then stays as it was.
bool writeRecordFile(const QString &path, const QString &record);

// The writer the window keeps: a file that keeps failing is named on standard error once,
// at the first failure of the run, not once a second.
class RecordFile
{
public:
    bool write(const QString &path, const QString &record);

private:
    bool m_failing = false;
};

} // namespace snapshot
