#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The warnings printed while it lives (what the program writes to standard error).
class WarningCatcher
{
public:
    WarningCatcher()
    {
        s_lines.clear();
        s_previous = qInstallMessageHandler(&handle);
    }
    ~WarningCatcher() { qInstallMessageHandler(s_previous); }
    WarningCatcher(const WarningCatcher &) = delete;
    WarningCatcher &operator=(const WarningCatcher &) = delete;

    QStringList containing(const QString &text) const { return s_lines.filter(text); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtWarningMsg) s_lines << text;
    }
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};
