#include "support/program.h"

#include <QFile>
#include <QProcess>

bool startProgram(QProcess &process, const QString &dir, const QStringList &arguments,
                  const QProcessEnvironment &extra)
{
    const QString program = dir + QStringLiteral("/quorvel");
    if (!QFile::copy(qEnvironmentVariable("QUORVEL_BINARY"), program)) return false;
    return launchProgram(process, program, dir, arguments, extra);
}

bool launchProgram(QProcess &process, const QString &program, const QString &workDir,
                   const QStringList &arguments, const QProcessEnvironment &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Otherwise Qt remarks on its absence, and standard error is to hold only the program's.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), workDir);
    env.insert(extra);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    return process.waitForStarted();
}

bool catchesSignal(qint64 pid, int signalNumber)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("SigCgt:")) continue;
        bool ok = false;
        const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
        return ok && (mask >> (signalNumber - 1)) & 1u;
    }
    return false;
}
