#pragma once

#include <QString>
#include <QVariant>

// The settings file, setting.ini, and the only three operations that touch it. No state:
// nothing is cached, every call opens, reads or replaces the file and lets it go.
// `dir` is the directory that holds the file (the window's appDir()).
namespace Module1
{

// dir followed by the native separator and "setting.ini". A dir that already ends in a
// separator gives a doubled one, which still names the same file.
QString setting_path(const QString &dir);

// The stored value of `key` in `section`, at most 254 characters; the default's text when
// the file, the section or the key is missing. A Boolean default reads "True" or "False".
// An entry with nothing after '=' reads as the empty text. Never creates the file.
QString setting_read(const QString &dir, const QString &section, const QString &key,
                     const QVariant &defaultValue);

// Stores `value` (the empty text as an empty entry) and returns nonzero, or returns 0 and
// leaves the file as it was when the write cannot be done. The file is replaced whole.
qint32 setting_write(const QString &dir, const QString &section, const QString &key,
                     const QString &value);

} // namespace Module1
