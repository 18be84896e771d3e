#pragma once

#include "instance/folderlock.h"

#include <QString>
#include <optional>

// Decides the folder of setting.ini and data.txt (`chosen` is --dir's value, empty for none)
// under the running application.
QString dataFolder(const QString &chosen);

// Creates `folder` when missing and takes `lock` on it. When the program must not run there,
// says why on standard error (and in a message box when there is a display) and returns the
// exit status: 3 when another copy runs on the folder, 1 when it cannot be created.
std::optional<int> claimFolder(const QString &folder, instance::FolderLock &lock);

// Status of a start refused because another copy runs on the same folder.
constexpr int FolderInUseStatus = 3;
