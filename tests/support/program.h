#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// Copies the real program (QUORVEL_BINARY) into `dir`, where its settings and snapshot then
// live, and starts it there offscreen with `arguments`. False when either step fails.
bool startProgram(QProcess &process, const QString &dir, const QStringList &arguments);
