#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <utility>

// The settings file, setting.ini, and the only operations that touch it. Every call opens,
// reads or replaces the file and lets it go. `dir` is the directory that holds the file
// (the window's appDir()).
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

using Entries = QList<std::pair<QString, QString>>;

// Stores every entry in one replacement of the file, so that it holds either all the old
// values or all the new ones; every line not written stays as it was. Returns nonzero, or 0
// with the file untouched. A file that cannot be saved is named on standard error, with
// what failed and why.
qint32 setting_write_all(const QString &dir, const QString &section, const Entries &entries);

// One section of the settings file, read once for a load that asks for many keys; read()
// answers as setting_read would have at the moment of reading.
class StoredSettings
{
public:
    StoredSettings(const QString &dir, const QString &section);
    QString read(const QString &key, const QVariant &defaultValue) const;
    // True when the section holds the key, whatever its value.
    bool holds(const QString &key) const;

private:
    QList<std::pair<QByteArray, QByteArray>> m_entries;
};

} // namespace Module1
