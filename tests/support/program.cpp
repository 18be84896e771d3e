#include "support/program.h"

#include <QFile>
#include <QProcess>

bool startProgram(QProcess &process, const QString &dir, const QStringList &arguments)
{
    const QString program = dir + QStringLiteral("/quorvel");
    if (!QFile::copy(qEnvironmentVariable("QUORVEL_BINARY"), program)) return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Otherwise Qt remarks on its absence, and standard error is to hold only the program's.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
    return process.waitForStarted();
}
