#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The warnings printed while it lives (what the program writes to standard error).
class WarningCatcher
{
public:
    WarningCatcher();
    ~WarningCatcher();
    WarningCatcher(const WarningCatcher &) = delete;
    WarningCatcher &operator=(const WarningCatcher &) = delete;

    // Those that contain `text`.
    QStringList containing(const QString &text) const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};
