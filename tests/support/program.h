#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QProcess;

// Copies the real program (QUORVEL_BINARY) into `dir`, where its settings and snapshot then
// live, and starts it there offscreen with `arguments`, adding `extra` to its environment.
// False when either step fails.
bool startProgram(QProcess &process, const QString &dir, const QStringList &arguments,
                  const QProcessEnvironment &extra = {});

// Starts `program` (a copy of the real one) offscreen in `workDir` with `arguments`, adding
// `extra` to its environment. False when it does not start.
bool launchProgram(QProcess &process, const QString &program, const QString &workDir,
                   const QStringList &arguments, const QProcessEnvironment &extra = {});

// Whether process `pid` has put a handler in place for `signalNumber` (/proc/PID/status SigCgt).
bool catchesSignal(qint64 pid, int signalNumber);
