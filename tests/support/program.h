#pragma once

#include <QList>
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

// A service manager's notification socket as the test opens it: a datagram socket in a folder
// of its own, handed to the program through NOTIFY_SOCKET. What the program says there (READY=1
// once its close handlers are in place, WATCHDOG=1 and STATUS= from its poll cycle) only the
// program can say.
class NotifySocket
{
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    // NOTIFY_SOCKET, plus WATCHDOG_USEC when `watchdogUsec` is given.
    QProcessEnvironment environment(qint64 watchdogUsec = 0) const;
    // Waits until a message holds a line that starts with `line` (READY=1, WATCHDOG=1).
    bool waitFor(const QByteArray &line, int timeoutMs);
    // Every message so far, in order.
    QList<QByteArray> messages();

private:
    void drain();
    QString m_path;
    int m_fd = -1;
    QList<QByteArray> m_messages;
};

// Waits until the program has started and put its close handlers in place (READY=1 on
// `notify`), while it still runs.
bool waitUntilReady(QProcess &process, NotifySocket &notify, int timeoutMs = 30000);
