// The settings file: arbitrary file content, one key written, everything read back.
//
// Input: four control bytes, then the file content.
//   byte 0  the key written: one of the 24 keys, a few odd names, or the n-th entry name
//           found in the file
//   byte 1  the section: "set", "SET", the first section named in the file, or a new one
//   byte 2  bit 0: CRLF instead of LF for new lines; bits 1-5 all clear: also go through
//           real files with Module1 (one input in 32: under the sanitizers each round
//           trip costs tens of milliseconds)
//   byte 3  the value written: the last 2 * byte3 bytes of the file content
// Every input checks the pure INI functions; the file round trip adds Module1's reading,
// writing and the 254-character limit.

#include "fuzzcheck.h"
#include "settings/inifile.h"
#include "settings/module1.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <cstdint>
#include <cstdlib>
#include <optional>

using fuzzcheck::hex;

namespace
{

constexpr qsizetype MaxValueLength = 254;

const QList<QByteArray> &namedKeys()
{
    static const QList<QByteArray> keys = [] {
        QList<QByteArray> all;
        for (const char *name : {"Scon", "port", "txtIP"})
            for (int i = 0; i < 3; ++i)
                all.append(name + QByteArray::number(i));
        for (const char *name : {"strreg", "legreg", "LstIP"})
            for (int i = 0; i < 5; ++i)
                all.append(name + QByteArray::number(i));
        // Another letter case, a new key, and names the writer has to refuse.
        all.append({"SCON0", "newkey", "a b", " port0", "x=y", ";port0", "[set]", ""});
        return all;
    }();
    return keys;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimmedName(const QByteArray &name)
{
    qsizetype start = 0, end = name.size();
    while (start < end && isBlank(name[start]))
        ++start;
    while (end > start && isBlank(name[end - 1]))
        --end;
    return name.mid(start, end - start);
}

// The text split after every LF; each piece keeps its line ending.
QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype newline = text.indexOf('\n', start);
        const qsizetype next = newline < 0 ? text.size() : newline + 1;
        lines.append(text.mid(start, next - start));
        start = next;
    }
    return lines;
}

// What follows a line's content: LF or CRLF, a lone CR at the very end, or nothing.
QByteArray endingOf(const QByteArray &line)
{
    qsizetype body = line.endsWith('\n') ? line.size() - 1 : line.size();
    if (body > 0 && line[body - 1] == '\r') --body;
    return line.mid(body);
}

// Names of the key=value lines and of the sections, in file order, as a reader sees them.
struct Names {
    QList<QByteArray> keys;
    QList<QByteArray> sections;
};

Names namesIn(const QByteArray &text)
{
    Names names;
    bool first = true;
    for (const QByteArray &line : linesOf(text)) {
        QByteArray body = line.left(line.size() - endingOf(line).size());
        // A byte-order mark in front of the file is no part of its first line.
        if (first && body.startsWith("\xEF\xBB\xBF")) body.remove(0, 3);
        first = false;
        const QByteArray content = trimmedName(body);
        if (content.startsWith('[')) {
            const qsizetype close = content.indexOf(']');
            names.sections.append(trimmedName(content.mid(1, close < 0 ? -1 : close - 1)));
        } else if (!content.startsWith(';') && content.contains('=')) {
            names.keys.append(trimmedName(content.left(content.indexOf('='))));
        }
    }
    return names;
}

// Names match by ASCII letter case only.
bool sameName(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size()) return false;
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (qsizetype i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

// Reads as Module1 reports them: at most 254 characters, never half a surrogate pair.
QString limited(const QString &text)
{
    if (text.size() <= MaxValueLength) return text;
    const qsizetype length =
        text.at(MaxValueLength - 1).isHighSurrogate() ? MaxValueLength - 1 : MaxValueLength;
    return text.left(length);
}

struct Write {
    QByteArray section;
    QByteArray key;
    QByteArray value;
    QByteArray lineEnding;
};

QString context(const QByteArray &text, const Write &w)
{
    return QStringLiteral("[%1] %2=%3 into %4")
        .arg(hex(w.section), hex(w.key), hex(w.value), hex(text.left(200)));
}

// What closes a last line that has no line ending: a lone CR already ends it for the
// reader, so it only gains its LF.
QByteArray closingOf(const QByteArray &lastLine, const Write &w)
{
    return lastLine.endsWith('\r') ? QByteArray("\n") : w.lineEnding;
}

// `after` is `before` with key in section set: the key's own line replaced where it stood,
// one line added to the section, or the section and the line appended. Every other line is
// kept byte for byte; only a last line without a line ending may gain one.
void checkLinesSurvive(const QByteArray &before, const QByteArray &after, const Write &w)
{
    const QString where = context(before, w);
    const QByteArray entry = w.key + '=' + inifile::storableValue(w.value);
    const QList<QByteArray> old = linesOf(before);
    const QList<QByteArray> now = linesOf(after);
    const bool keyExisted = inifile::readValue(before, w.section, w.key).has_value();
    bool sectionExisted = false;
    for (const QByteArray &section : namesIn(before).sections)
        sectionExisted = sectionExisted || sameName(section, w.section);

    if (keyExisted) {
        FUZZ_CHECK(now.size() == old.size(), where);
        int changed = 0;
        for (qsizetype i = 0; i < old.size(); ++i) {
            if (now[i] == old[i]) continue;
            ++changed;
            FUZZ_CHECK(now[i] == entry + endingOf(old[i]), where);
            const QByteArray oldBody = old[i].left(old[i].size() - endingOf(old[i]).size());
            const qsizetype equals = oldBody.indexOf('=');
            FUZZ_CHECK(equals >= 0 && sameName(trimmedName(oldBody.left(equals)), w.key), where);
        }
        FUZZ_CHECK(changed <= 1, where);
        return;
    }

    if (!sectionExisted) {
        QByteArray expected = before;
        if (!expected.isEmpty() && !expected.endsWith('\n')) expected += closingOf(expected, w);
        expected += '[' + w.section + ']' + w.lineEnding + entry + w.lineEnding;
        FUZZ_CHECK(after == expected, where);
        return;
    }

    // One line added inside the section.
    FUZZ_CHECK(now.size() == old.size() + 1, where);
    qsizetype i = 0;
    while (i < old.size() && now[i] == old[i])
        ++i;
    if (i == old.size() - 1 && !old[i].endsWith('\n') && now[i] == old[i] + closingOf(old[i], w)) {
        FUZZ_CHECK(now[i + 1] == entry + w.lineEnding, where);
        return;
    }
    FUZZ_CHECK(i < now.size() && now[i] == entry + w.lineEnding, where);
    for (qsizetype j = i; j < old.size(); ++j)
        FUZZ_CHECK(now[j + 1] == old[j], where);
}

void checkPureWrite(const QByteArray &text, const Write &w)
{
    const QString where = context(text, w);
    const std::optional<QByteArray> before = inifile::readValue(text, w.section, w.key);
    if (before) FUZZ_CHECK(!before->contains('\n'), where);
    // The one-pass reader of a whole section finds the same value.
    FUZZ_CHECK(inifile::valueOf(inifile::sectionEntries(text, w.section), w.key) == before, where);

    const std::optional<QByteArray> after =
        inifile::writeValue(text, w.section, w.key, w.value, w.lineEnding);
    const bool storable = inifile::isStorableSection(w.section) && inifile::isStorableKey(w.key);
    FUZZ_CHECK(after.has_value() == storable, where);
    if (!after) return;

    const QByteArray stored = inifile::storableValue(w.value);
    FUZZ_CHECK(!stored.contains('\r') && !stored.contains('\n') && !stored.contains('\0'), where);
    FUZZ_CHECK(inifile::readValue(*after, w.section, w.key) == stored, where);
    checkLinesSurvive(text, *after, w);

    // Every other key reads as it did, in this section and in the others.
    const Names names = namesIn(text);
    QList<QByteArray> sections = {w.section, QByteArrayLiteral("set")};
    if (!names.sections.isEmpty()) sections.append(names.sections.first());
    int looked = 0;
    for (const QByteArray &other : names.keys) {
        if (other.isEmpty() || sameName(other, w.key)) continue;
        if (++looked > 24) break;
        for (const QByteArray &section : sections)
            FUZZ_CHECK(inifile::readValue(*after, section, other) ==
                           inifile::readValue(text, section, other),
                       where + QStringLiteral(" other key ") + hex(other) + QStringLiteral(" in ") +
                           hex(section));
    }
}

const QString &scratchDir()
{
    // One directory per process, reused by every input and removed at exit.
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/quorvel-fuzz-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory: %s\n", qPrintable(dir.errorString()));
        std::abort();
    }
    static const QString path = dir.path();
    return path;
}

QByteArray platformLineEnding()
{
#ifdef Q_OS_WIN
    return QByteArrayLiteral("\r\n");
#else
    return QByteArrayLiteral("\n");
#endif
}

bool roundTrips(const QByteArray &name)
{
    return QString::fromLocal8Bit(name).toLocal8Bit() == name;
}

void checkFileRoundTrip(const QByteArray &text, const Write &w)
{
    const QString dir = scratchDir();
    const QString path = Module1::setting_path(dir);
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                       file.write(text) == text.size(),
                   QStringLiteral("cannot write ") + path);
    }
    const QString where = context(text, w);

    // Reads as the window's load does them, and the chosen key.
    struct Read {
        QByteArray key;
        QVariant defaultValue;
    };
    const QList<Read> reads = {{"Scon0", true},
                               {"port0", QStringLiteral("502")},
                               {"txtIP1", QStringLiteral("192.168.1.1")},
                               {w.key, QStringLiteral("000")}};
    for (const Read &read : reads) {
        if (!roundTrips(read.key) || !roundTrips(w.section)) continue;
        const QString defaultText = read.defaultValue.typeId() == QMetaType::Bool
                                        ? QStringLiteral("True")
                                        : read.defaultValue.toString();
        const std::optional<QByteArray> stored = inifile::readValue(text, "set", read.key);
        const QString expected = limited(stored ? QString::fromLocal8Bit(*stored) : defaultText);
        FUZZ_CHECK(Module1::setting_read(dir, QStringLiteral("set"),
                                         QString::fromLocal8Bit(read.key),
                                         read.defaultValue) == expected,
                   where + QStringLiteral(" reading ") + hex(read.key));
    }

    if (!roundTrips(w.key) || !roundTrips(w.section)) return;
    // A value as a text box holds it: no line breaks, no NUL.
    QString value = QString::fromUtf8(w.value);
    value.remove(QChar(u'\r')).remove(QChar(u'\n')).remove(QChar(u'\0'));
    const QString section = QString::fromLocal8Bit(w.section);
    const QString key = QString::fromLocal8Bit(w.key);

    const qint32 result = Module1::setting_write(dir, section, key, value);
    const bool storable = inifile::isStorableSection(w.section) && inifile::isStorableKey(w.key);
    FUZZ_CHECK((result != 0) == storable, where);

    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), QStringLiteral("cannot read ") + path);
    const QByteArray written = file.readAll();
    if (!storable) {
        FUZZ_CHECK(written == text, where);
        return;
    }
    const Write asWritten{w.section, w.key, value.toLocal8Bit(), platformLineEnding()};
    FUZZ_CHECK(written == inifile::writeValue(text, w.section, w.key, asWritten.value,
                                              asWritten.lineEnding),
               where);
    checkLinesSurvive(text, written, asWritten);
    FUZZ_CHECK(Module1::setting_read(dir, section, key, QStringLiteral("000")) == limited(value),
               where);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int headerSize = 4;
    const auto control = [&](int i) { return size_t(i) < size ? data[i] : 0; };
    const QByteArray text = size > size_t(headerSize)
                                ? QByteArray(reinterpret_cast<const char *>(data) + headerSize,
                                             qsizetype(size) - headerSize)
                                : QByteArray();

    const Names names = namesIn(text);
    const QList<QByteArray> &keys = namedKeys();
    Write w;
    const int keyChoice = control(0);
    if (keyChoice < keys.size())
        w.key = keys[keyChoice];
    else if (!names.keys.isEmpty())
        w.key = names.keys[(keyChoice - keys.size()) % names.keys.size()];
    else
        w.key = "Scon0";

    switch (control(1) % 4) {
    case 0:
        w.section = "set";
        break;
    case 1:
        w.section = "SET";
        break;
    case 2:
        w.section = names.sections.isEmpty() ? QByteArrayLiteral("set") : names.sections.first();
        break;
    default:
        w.section = "extra";
        break;
    }
    w.lineEnding = (control(2) & 1) ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    w.value = text.right(2 * control(3));

    checkPureWrite(text, w);
    // The same write with the value as a text box would hold it.
    Write clean = w;
    clean.value = inifile::storableValue(w.value);
    checkPureWrite(text, clean);

    if ((control(2) & 0x3E) == 0) checkFileRoundTrip(text, w);
    return 0;
}
