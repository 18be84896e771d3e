#include "publish/password.h"

#include <QFile>
#include <cstdlib>
#include <cstring>

namespace publish
{

std::variant<QByteArray, QString> readPasswordFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("--mqtt-password-file %1: %2").arg(path, file.errorString());
    // A password is a line; anything longer than a few kB is not a password file.
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return QStringLiteral("--mqtt-password-file %1: the first line is empty").arg(path);
    return line;
}

void scrubEnvironmentVariable(const char *name)
{
    // getenv() points into the block the kernel shows as the process's environment.
    if (char *value = std::getenv(name)) std::memset(value, '*', std::strlen(value));
    ::unsetenv(name);
}

} // namespace publish
