#pragma once

#include <QByteArray>
#include <QString>
#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run with a message; libFuzzer keeps the input that did it.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "\n%s:%d: invariant broken: %s\n", __FILE__, __LINE__,            \
                         #condition);                                                              \
            fuzzcheck::describe(what);                                                             \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzzcheck
{

inline void describe(const QString &what)
{
    std::fprintf(stderr, "  %s\n", what.toUtf8().constData());
}

inline QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// A text with everything outside printable ASCII written as \uXXXX.
inline QString quoted(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'"' && c != u'\\')
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out + u'"';
}

} // namespace fuzzcheck
