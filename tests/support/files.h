#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Writes `bytes` to `path`, replacing what was there; a test failure when it cannot.
void writeBytes(const QString &path, const QByteArray &bytes);

// The whole content of `path`, or "<unreadable>" when it cannot be opened.
QByteArray readBytes(const QString &path);
// The same as UTF-8 text, split at each line feed (a last empty part when it ends with one).
QStringList readLines(const QString &path);
