#include "settings/inifile.h"

#include <cstring>

namespace inifile
{

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

char foldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Names compare by ASCII letter case only, so a multi-byte character never folds into another.
bool sameName(const char *data, qsizetype size, const QByteArray &name)
{
    if (size != name.size()) return false;
    for (qsizetype i = 0; i < size; ++i)
        if (foldAscii(data[i]) != foldAscii(name[i])) return false;
    return true;
}

// Position of the first `c` in [from, to), or `to`: a search never runs past its line.
qsizetype findInLine(const QByteArray &text, char c, qsizetype from, qsizetype to)
{
    if (from >= to) return to;
    const void *found = std::memchr(text.constData() + from, c, size_t(to - from));
    return found ? static_cast<const char *>(found) - text.constData() : to;
}

enum class LineKind { Other, Blank, Comment, Section, Entry };

// One line of the text: [start, bodyEnd) is its content, [bodyEnd, next) its line ending.
struct Line {
    qsizetype start = 0;
    qsizetype bodyEnd = 0;
    qsizetype next = 0;
    LineKind kind = LineKind::Other;
    qsizetype nameStart = 0; // section or key name, blanks around it left out
    qsizetype nameEnd = 0;
    qsizetype valueStart = 0; // entries only: just after the first '='
};

Line lineAt(const QByteArray &text, qsizetype start)
{
    Line line;
    line.start = start;
    const qsizetype newline = text.indexOf('\n', start);
    line.next = newline < 0 ? text.size() : newline + 1;
    line.bodyEnd = newline < 0 ? text.size() : newline;
    if (line.bodyEnd > start && text[line.bodyEnd - 1] == '\r') --line.bodyEnd;

    qsizetype pos = start;
    // A byte-order mark in front of the first line is no part of it.
    if (start == 0 && text.startsWith("\xEF\xBB\xBF")) pos = 3;
    while (pos < line.bodyEnd && isBlank(text[pos]))
        ++pos;

    if (pos == line.bodyEnd) {
        line.kind = LineKind::Blank;
    } else if (text[pos] == ';') {
        line.kind = LineKind::Comment;
    } else if (text[pos] == '[') {
        line.kind = LineKind::Section;
        line.nameStart = pos + 1;
        line.nameEnd = findInLine(text, ']', line.nameStart, line.bodyEnd);
    } else {
        const qsizetype equals = findInLine(text, '=', pos, line.bodyEnd);
        if (equals == line.bodyEnd) return line;
        line.kind = LineKind::Entry;
        line.nameStart = pos;
        line.nameEnd = equals;
        line.valueStart = equals + 1;
    }
    while (line.nameStart < line.nameEnd && isBlank(text[line.nameStart]))
        ++line.nameStart;
    while (line.nameEnd > line.nameStart && isBlank(text[line.nameEnd - 1]))
        --line.nameEnd;
    return line;
}

bool hasName(const QByteArray &text, const Line &line, const QByteArray &name)
{
    return sameName(text.constData() + line.nameStart, line.nameEnd - line.nameStart, name);
}

// Where a key lives in the text, or would go.
struct Place {
    bool sectionFound = false;
    bool keyFound = false;
    Line keyLine;   // when keyFound
    Line lastEntry; // the section's last entry, or its header
};

Place locate(const QByteArray &text, const QByteArray &section, const QByteArray &key)
{
    Place place;
    bool inSection = false;
    for (qsizetype start = 0; start < text.size();) {
        const Line line = lineAt(text, start);
        start = line.next;
        if (line.kind == LineKind::Section) {
            // Only the first section of that name counts; a repeat of it is left alone.
            if (inSection) break;
            if (hasName(text, line, section)) {
                inSection = true;
                place.sectionFound = true;
                place.lastEntry = line;
            }
            continue;
        }
        if (!inSection) continue;
        if (line.kind == LineKind::Entry && hasName(text, line, key)) {
            place.keyFound = true;
            place.keyLine = line;
            break;
        }
        if (line.kind != LineKind::Blank && line.kind != LineKind::Comment) place.lastEntry = line;
    }
    return place;
}

bool hasEdgeBlank(const QByteArray &name)
{
    return isBlank(name.front()) || isBlank(name.back());
}

} // namespace

bool isStorableSection(const QByteArray &section)
{
    return !section.isEmpty() && !hasEdgeBlank(section) && !section.contains(']') &&
           !section.contains('\n') && !section.contains('\r');
}

bool isStorableKey(const QByteArray &key)
{
    // A key that starts like a comment or a section header would not read back as a key.
    return !key.isEmpty() && !hasEdgeBlank(key) && !key.contains('=') && !key.contains('\n') &&
           !key.contains('\r') && key.front() != ';' && key.front() != '[';
}

QByteArray storableValue(const QByteArray &value)
{
    qsizetype end = 0;
    while (end < value.size() && value[end] != '\0' && value[end] != '\r' && value[end] != '\n')
        ++end;
    return value.left(end);
}

std::optional<QByteArray> readValue(const QByteArray &text, const QByteArray &section,
                                    const QByteArray &key)
{
    const Place place = locate(text, section, key);
    if (!place.keyFound) return std::nullopt;
    const Line &line = place.keyLine;
    return text.mid(line.valueStart, line.bodyEnd - line.valueStart);
}

QList<Entry> sectionEntries(const QByteArray &text, const QByteArray &section)
{
    QList<Entry> entries;
    bool inSection = false;
    for (qsizetype start = 0; start < text.size();) {
        const Line line = lineAt(text, start);
        start = line.next;
        if (line.kind == LineKind::Section) {
            if (inSection) break;
            inSection = hasName(text, line, section);
        } else if (inSection && line.kind == LineKind::Entry) {
            entries.append({text.mid(line.nameStart, line.nameEnd - line.nameStart),
                            text.mid(line.valueStart, line.bodyEnd - line.valueStart)});
        }
    }
    return entries;
}

std::optional<QByteArray> valueOf(const QList<Entry> &entries, const QByteArray &key)
{
    for (const Entry &entry : entries)
        if (sameName(entry.first.constData(), entry.first.size(), key)) return entry.second;
    return std::nullopt;
}

namespace
{

// Ends the last line of `text` before something is appended after it. A lone CR at the end
// already ends a line for the reader, so only its LF is added: another CR would become part
// of that line's value.
void closeLastLine(QByteArray &text, const QByteArray &lineEnding)
{
    if (text.isEmpty() || text.endsWith('\n')) return;
    text.append(text.endsWith('\r') ? QByteArray("\n") : lineEnding);
}

} // namespace

std::optional<QByteArray> writeValue(const QByteArray &text, const QByteArray &section,
                                     const QByteArray &key, const QByteArray &value,
                                     const QByteArray &lineEnding)
{
    if (!isStorableSection(section) || !isStorableKey(key)) return std::nullopt;
    const QByteArray entry = key + '=' + storableValue(value);
    const Place place = locate(text, section, key);

    QByteArray result;
    result.reserve(text.size() + entry.size() + section.size() + 4 * lineEnding.size() + 2);
    if (place.keyFound) {
        const Line &line = place.keyLine;
        result.append(text.constData(), line.start);
        result.append(entry);
        result.append(text.constData() + line.bodyEnd, text.size() - line.bodyEnd);
    } else if (place.sectionFound) {
        const Line &after = place.lastEntry;
        result.append(text.constData(), after.next);
        closeLastLine(result, lineEnding);
        result.append(entry);
        result.append(lineEnding);
        result.append(text.constData() + after.next, text.size() - after.next);
    } else {
        result = text;
        closeLastLine(result, lineEnding);
        result.append('[' + section + ']');
        result.append(lineEnding);
        result.append(entry);
        result.append(lineEnding);
    }
    return result;
}

} // namespace inifile
