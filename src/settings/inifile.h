#pragma once

#include <QByteArray>
#include <QList>
#include <optional>
#include <utility>

// Text rules of the private-profile (INI) format, on the file's raw bytes: "[section]"
// lines open a section, "key=value" lines hold the entries, lines starting with ';' are
// comments. Section and key names match without regard to ASCII letter case; a value is
// everything after the first '=' up to the end of its line. Lines end in LF or CRLF.
// Plain functions: no files, no widgets.
namespace inifile
{

// Largest settings file that is looked at; anything bigger is not one we wrote.
constexpr qint64 MaxFileBytes = 4 * 1024 * 1024;

// A section name can be stored when it is not empty and holds no ']' and no line break;
// a key name when it is not empty and holds no '=' and no line break. Neither may start
// or end with a blank, which the reader would not see.
bool isStorableSection(const QByteArray &section);
bool isStorableKey(const QByteArray &key);

// A value as one line can hold it: cut before the first NUL, CR or LF.
QByteArray storableValue(const QByteArray &value);

// The value of `key` in the first section named `section`, exactly as stored; nothing
// when the section or the key is missing. The first of repeated keys counts.
std::optional<QByteArray> readValue(const QByteArray &text, const QByteArray &section,
                                    const QByteArray &key);

// A key name and its value, exactly as stored.
using Entry = std::pair<QByteArray, QByteArray>;

// Every entry of the first section named `section`, in file order: one pass over the text
// for a reader that wants many keys.
QList<Entry> sectionEntries(const QByteArray &text, const QByteArray &section);

// The value of the first of `entries` named `key`, as readValue() would find it.
std::optional<QByteArray> valueOf(const QList<Entry> &entries, const QByteArray &key);

// `text` with `key` in `section` set to `value`: an existing entry is replaced where it
// stands, a new key goes after the last entry of the first such section, a missing
// section is appended at the end. Every other byte stays as it was; new lines end in
// `lineEnding`. Nothing when the names cannot be stored.
std::optional<QByteArray> writeValue(const QByteArray &text, const QByteArray &section,
                                     const QByteArray &key, const QByteArray &value,
                                     const QByteArray &lineEnding);

} // namespace inifile
