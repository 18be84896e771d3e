#pragma once

#include <QByteArray>
#include <QString>

// Writes `bytes` to `path`, replacing what was there; a test failure when it cannot.
void writeBytes(const QString &path, const QByteArray &bytes);

// The whole content of `path`, or "<unreadable>" when it cannot be opened.
QByteArray readBytes(const QString &path);
