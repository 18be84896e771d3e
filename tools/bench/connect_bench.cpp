// Measures what the connect handler costs while it waits: CPU time (user + system, all
// threads) against wall time, for a listener that never completes the handshake and for a
// refused port. Only 127.0.0.1 is dialled, on ports this program opened itself.

#include "app/optionip.h"
#include "links/winsock.h"
#include "silentlistener.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace
{

// Above this share of one core the wait counts as spinning.
constexpr double SpinningShare = 0.25;

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measurement {
    double wallMs = 0;
    double cpuMs = 0;   // getrusage, user + system
    double clockMs = 0; // std::clock
    QList<int> states;  // the socket's state, sampled every 100 ms during the wait
    QString caption;
    int finalState = -1;
};

Measurement measureConnect(OptionIP &w, int link, quint16 port)
{
    const auto i = size_t(link);
    w.cmdDisconnect_Click(link);
    w.txtPort[i]->setText(QString::number(port));

    Measurement m;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { m.states << w.Winsock1[i]->state(); });
    sampler.start(100);

    const double cpuBefore = cpuSeconds();
    const std::clock_t clockBefore = std::clock();
    QElapsedTimer wall;
    wall.start();
    w.cmdConnect_Click(link);
    m.wallMs = double(wall.nsecsElapsed()) / 1e6;
    m.clockMs = double(std::clock() - clockBefore) * 1000.0 / CLOCKS_PER_SEC;
    m.cpuMs = (cpuSeconds() - cpuBefore) * 1000.0;

    sampler.stop();
    m.caption = w.lblStatus[i]->text();
    m.finalState = w.Winsock1[i]->state();
    return m;
}

// The same wait as the sequence makes it: inside a tick of the 5 ms timer tloading, which
// keeps falling due (and is held back) while its own handler waits.
Measurement measureInsideSequence(OptionIP &w, int link, quint16 port)
{
    const auto i = size_t(link);
    w.cmdDisconnect_Click(link);
    w.txtPort[i]->setText(QString::number(port));
    for (int k = 0; k < OptionIP::LinkCount; ++k)
        w.linkMarks.readSaved(k, k == link ? QStringLiteral("False") : QStringLiteral("True"));
    const int connectTick = 300 + 200 * link;
    w.loadTick = qint16(connectTick - 1);

    Measurement m;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { m.states << w.Winsock1[i]->state(); });
    QEventLoop done;
    // Connected after the handler, so it runs once the tick with the connect has returned.
    const QMetaObject::Connection afterTick = QObject::connect(w.tloading, &QTimer::timeout, [&] {
        if (w.loadTick >= connectTick) done.quit();
    });

    const double cpuBefore = cpuSeconds();
    const std::clock_t clockBefore = std::clock();
    QElapsedTimer wall;
    wall.start();
    sampler.start(100);
    w.tloading->start();
    done.exec();
    m.wallMs = double(wall.nsecsElapsed()) / 1e6;
    m.clockMs = double(std::clock() - clockBefore) * 1000.0 / CLOCKS_PER_SEC;
    m.cpuMs = (cpuSeconds() - cpuBefore) * 1000.0;

    w.tloading->stop();
    sampler.stop();
    QObject::disconnect(afterTick);
    w.loadTick = 0;
    m.caption = w.lblStatus[i]->text();
    m.finalState = w.Winsock1[i]->state();
    return m;
}

bool report(const char *name, const Measurement &m, bool expectConnecting)
{
    const double share = m.wallMs > 0 ? m.cpuMs / m.wallMs : 0;
    int connecting = 0;
    for (const int s : m.states)
        connecting += s == Winsock::Connecting ? 1 : 0;
    std::printf("%-26s wall %7.1f ms   cpu %6.1f ms (std::clock %6.1f ms)   %5.1f %% of a core\n",
                name, m.wallMs, m.cpuMs, m.clockMs, share * 100.0);
    std::printf("%-26s caption \"%s\", final state %d, %d samples, %d of them in state 6\n", "",
                qPrintable(m.caption), m.finalState, int(m.states.size()), connecting);
    bool ok = share < SpinningShare;
    if (expectConnecting && (connecting != m.states.size() || m.states.isEmpty())) {
        std::printf("%-26s the handshake did not stay pending; the listener is not silent\n", "");
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    OptionIP w(dir.path());
    for (QLineEdit *host : w.txtIP)
        host->setText(QStringLiteral("127.0.0.1"));

    SilentListener silent;
    quint16 refused = 0;
    {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, 0)) refused = probe.serverPort();
    }
    if (silent.port() == 0 || refused == 0) {
        std::fprintf(stderr, "cannot open loopback ports\n");
        return 2;
    }

    std::printf("connect wait of cmdConnect_Click, 127.0.0.1 only (limit %.0f %% of a core)\n",
                SpinningShare * 100.0);
    bool ok = report("silent listener:", measureConnect(w, 0, silent.port()), true);
    ok = report("refused port:", measureConnect(w, 1, refused), false) && ok;
    ok = report("silent, in a tloading tick:", measureInsideSequence(w, 2, silent.port()), true) &&
         ok;
    for (int link = 0; link < OptionIP::LinkCount; ++link)
        w.cmdDisconnect_Click(link);
    std::printf("%s\n", ok ? "OK: the wait blocks" : "FAIL");
    return ok ? 0 : 1;
}
