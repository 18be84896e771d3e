#include "app/closesignals.h"

#include <QWidget>
#include <QtGlobal>

#ifdef Q_OS_UNIX

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signalNumber)
{
    // Only async-signal-safe work here: hand the signal to the event loop. The interrupted
    // code may be about to read errno.
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

sigset_t terminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, signalNumber);
    return set;
}

} // namespace

void holdTerminationSignals()
{
    const sigset_t set = terminationSignals();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

void closeOnTerminationSignals(QWidget *window)
{
    if (signalPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return;
        ::fcntl(signalPipe[0], F_SETFL, O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, window);
    QPointer<QWidget> target(window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [target] {
        char byte = 0;
        while (::read(signalPipe[1], &byte, 1) == 1) {
        }
        if (target) target->close();
        QCoreApplication::quit();
    });
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
    // Threads started since inherited the held mask and keep it, so these reach this one.
    const sigset_t set = terminationSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

#else

// These signals are POSIX; elsewhere the window closes only as the operator closes it.
void holdTerminationSignals() {}
void closeOnTerminationSignals(QWidget *) {}

#endif
