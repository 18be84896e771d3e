#pragma once

#include <QString>

namespace instance
{

// The folder that holds setting.ini and data.txt, as an absolute path: `chosen` (--dir) when
// given; else the program's own directory when the program may write there, as a copy kept
// in a folder of its own expects; else `userDataDir`, since an installed copy may not write
// beside itself. The system's program folders (/usr/bin, ...) count as unwritable even for
// the superuser: an installed copy started by root must not litter them.
QString chooseDataFolder(const QString &chosen, const QString &programDir,
                         const QString &userDataDir);

// Whether the program may keep its files in `dir`: it may create files there, or the
// settings file is already there and writable (a folder an administrator prepared).
bool mayWriteIn(const QString &dir);

// Whether `dir` is one of the system's shared program folders.
bool isSystemProgramFolder(const QString &dir);

// Creates `folder` with its parents when missing. Empty on success, else the reason.
QString makeFolder(const QString &folder);

} // namespace instance
