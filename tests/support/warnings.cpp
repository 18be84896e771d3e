#include "support/warnings.h"

WarningCatcher::WarningCatcher()
{
    s_lines.clear();
    s_previous = qInstallMessageHandler(&WarningCatcher::handle);
}

WarningCatcher::~WarningCatcher()
{
    qInstallMessageHandler(s_previous);
}

QStringList WarningCatcher::containing(const QString &text) const
{
    return s_lines.filter(text);
}

void WarningCatcher::handle(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg) s_lines << text;
}
