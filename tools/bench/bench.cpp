// quorvel-bench: start-up time, poll timing, CPU share and memory of the real window while it
// polls three quorvel-sim devices, then how often each slot refreshes when all five read one
// device that answers in 300 ms. Everything runs on 127.0.0.1, on ports opened here.
//
// The window is the program's own, unchanged; it is observed from outside:
// - a request is timed when the QTcpSocket inside its Winsock reports bytesWritten, that is
//   when the bytes have been handed to the kernel;
// - a reply is timed by Winsock::dataArrival, connected after the window's own handler, so
//   the moment is just after the window has taken the reply and armed Timer4;
// - timer ticks (tloading, Timer3, Timer4) are timed by an event filter on each QTimer,
//   which sees the timer event before the timer emits timeout to the window.

#include "app/keepers.h"
#include "app/optionip.h"
#include "app/windowfeed.h"
#include "links/winsock.h"
#include "mqttprobe.h"
#include "publish/mqttpublisher.h"
#include "silentlistener.h"
#include "traffic/trafficlog.h"
#include "trend/trendwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#ifndef QUORVEL_BUILD_TYPE
#define QUORVEL_BUILD_TYPE "unknown"
#endif

namespace
{

// The connection sequence: 950 ticks of tloading, then one Timer3 interval.
constexpr double SequenceTicks = 950;
constexpr double TloadingMs = 5;
constexpr double Timer3Ms = 1000;
constexpr double Timer4Ms = 10;
constexpr double IdealStartMs = SequenceTicks * TloadingMs + Timer3Ms;

// Goals on the project's 2-core machines.
constexpr double StartToleranceShare = 0.03;
constexpr double GapMedianToleranceMs = 1.0;
constexpr double GapP99LimitMs = 15.0;
constexpr double PollingCpuLimit = 0.01;
constexpr double ConnectWaitCpuLimit = 0.02;
constexpr double PeakRssLimitKb = 60.0 * 1024;
// RSS may move by allocator noise; a leak of 100 bytes a cycle over 10,000 cycles exceeds it.
constexpr double RssGrowthLimitKb = 1024;

// Values each slot reads (--registers), of the type given with --type.
int RegistersPerSlot = 10;
QString SlotType = QStringLiteral("u16");
// Registers one value of that type takes.
int WordsPerValue = 1;

// First register of slot s: the slots lie one after another.
int firstRegister(int slot)
{
    return 1 + RegistersPerSlot * WordsPerValue * slot;
}
// Reply delay of the slow device of the last phase.
constexpr int SlowReplyMs = 300;
// From the grid showing a value to a subscriber on the same machine holding it.
constexpr double MqttDelayLimitMs = 50.0;
// Slot s reads from link LinkOfSlot[s]: A, B, C, A, B.
constexpr std::array<int, OptionIP::SlotCount> LinkOfSlot = {0, 1, 2, 0, 1};

QElapsedTimer g_clock;

double nowMs()
{
    return double(g_clock.nsecsElapsed()) / 1e6;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKb()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// VmRSS of this process in kB, -1 when it cannot be read.
long currentRssKb()
{
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(status);
    return kb;
}

QString cpuModel()
{
    // /proc files report no size, so they are read whole rather than tested for their end.
    QFile file(QStringLiteral("/proc/cpuinfo"));
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("unknown CPU");
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("model name"))
            return QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
    return QStringLiteral("unknown CPU");
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll()).section(u' ', 0, 2);
}

QString kernel()
{
    utsname name{};
    if (::uname(&name) != 0) return QStringLiteral("unknown kernel");
    return QStringLiteral("%1 %2 %3")
        .arg(QString::fromLocal8Bit(name.sysname), QString::fromLocal8Bit(name.release),
             QString::fromLocal8Bit(name.machine));
}

struct Stats {
    size_t count = 0;
    double median = 0, p99 = 0, min = 0, max = 0;
};

// Nearest-rank percentiles.
Stats statsOf(std::vector<double> values)
{
    Stats s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    auto rank = [&](double share) {
        const auto k = size_t(std::ceil(share * double(values.size())));
        return values[std::clamp<size_t>(k, 1, values.size()) - 1];
    };
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.min = values.front();
    s.max = values.back();
    return s;
}

// One quorvel-sim process on a free 127.0.0.1 port.
class SimDevice
{
public:
    explicit SimDevice(const QString &program) : m_program(program) {}
    ~SimDevice() { stop(); }
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    bool start()
    {
        // A free port can be taken by someone else before the simulator binds it: try again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0)) return false;
            m_port = probe.serverPort();
            probe.close();

            m_process = std::make_unique<QProcess>();
            m_process->setProcessChannelMode(QProcess::SeparateChannels);
            // The simulator must not outlive this process, however it ends.
            m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
            m_process->start(m_program, {QString::number(m_port)});
            if (!m_process->waitForStarted(5000)) return false;
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < 5000 && m_process->state() == QProcess::Running) {
                if (m_process->canReadLine() && m_process->readLine().startsWith("listening on"))
                    return true;
                m_process->waitForReadyRead(200);
            }
            stop();
        }
        return false;
    }

    void stop()
    {
        if (!m_process) return;
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(3000)) {
                m_process->kill();
                m_process->waitForFinished(3000);
            }
        }
        m_process.reset();
    }

    bool running() const { return m_process && m_process->state() == QProcess::Running; }
    quint16 port() const { return m_port; }

private:
    QString m_program;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// A device on a free 127.0.0.1 port that answers every Read Holding Registers request
// after a fixed delay, echoing its transaction identifier; every register of a reply holds
// the number of that reply, so each reply changes what its slot shows.
class SlowDevice : public QObject
{
public:
    // zeroTransaction: answers every request with identifier 0, as some devices do.
    SlowDevice(int delayMs, bool zeroTransaction)
        : m_delayMs(delayMs), m_zeroTransaction(zeroTransaction)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket] { onRequests(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    bool start() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }

private:
    void onRequests(QTcpSocket *socket)
    {
        QByteArray &waiting = m_waiting[socket];
        waiting += socket->readAll();
        while (waiting.size() >= 12) {
            const QByteArray request = waiting.left(12);
            waiting.remove(0, 12);
            const int quantity = std::min((quint8(request[10]) << 8) | quint8(request[11]), 125);
            ++m_replies;
            QByteArray reply = request.left(4);
            if (m_zeroTransaction) reply[0] = reply[1] = 0;
            reply.append(char(0)).append(char(3 + 2 * quantity)).append(request.mid(6, 2));
            reply.append(char(2 * quantity));
            for (int k = 0; k < quantity; ++k)
                reply.append(char((m_replies >> 8) & 0xFF)).append(char(m_replies & 0xFF));
            QPointer<QTcpSocket> target = socket;
            QTimer::singleShot(m_delayMs, Qt::PreciseTimer, this, [target, reply] {
                if (target) target->write(reply);
            });
        }
    }

    int m_delayMs;
    bool m_zeroTransaction;
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_waiting;
    int m_replies = 0;
};

bool writeSettings(const QString &dir, const std::array<quint16, OptionIP::LinkCount> &ports)
{
    QByteArray text = "[set]\r\n";
    // "False" marks each link as in use at the last close, so the sequence connects all three.
    for (int i = 0; i < OptionIP::LinkCount; ++i)
        text += "Scon" + QByteArray::number(i) + "=False\r\n";
    for (int i = 0; i < OptionIP::LinkCount; ++i)
        text +=
            "port" + QByteArray::number(i) + "=" + QByteArray::number(ports[size_t(i)]) + "\r\n";
    for (int i = 0; i < OptionIP::LinkCount; ++i)
        text += "txtIP" + QByteArray::number(i) + "=127.0.0.1\r\n";
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        text +=
            "strreg" + QByteArray::number(s) + "=" + QByteArray::number(firstRegister(s)) + "\r\n";
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        text +=
            "legreg" + QByteArray::number(s) + "=" + QByteArray::number(RegistersPerSlot) + "\r\n";
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        text += "LstIP" + QByteArray::number(s) + "=" + QByteArray::number(LinkOfSlot[size_t(s)]) +
                "\r\n";
    if (SlotType != QLatin1String("u16")) {
        for (int s = 0; s < OptionIP::SlotCount; ++s)
            text += "type" + QByteArray::number(s) + "=" + SlotType.toLatin1() + "\r\n";
    }
    QFile file(dir + QStringLiteral("/setting.ini"));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Watches the window from outside and keeps the figures.
class Probe : public QObject
{
public:
    enum class Phase { Start, Polling, Idle, Long };

    explicit Probe(OptionIP &w) : m_w(w)
    {
        m_w.tloading->installEventFilter(this);
        m_w.Timer3->installEventFilter(this);
        m_w.Timer4->installEventFilter(this);
        for (int i = 0; i < OptionIP::LinkCount; ++i) {
            Winsock *link = m_w.Winsock1[size_t(i)];
            // Connected after the window's handler, which was wired in its constructor.
            connect(link, &Winsock::dataArrival, this,
                    [this](int index, qint64) { onArrival(index); });
            if (auto *socket = link->findChild<QTcpSocket *>())
                connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64) { onSent(); });
            else
                m_instrumented = false;
        }
    }

    bool instrumented() const { return m_instrumented; }
    void setPhase(Phase phase) { m_phase = phase; }

    // Runs the event loop until `done` holds or `deadlineMs` passes; false on the deadline.
    bool runUntil(const std::function<bool()> &done, int deadlineMs)
    {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        bool timedOut = false;
        connect(&deadline, &QTimer::timeout, &loop, [&] {
            timedOut = true;
            loop.quit();
        });
        m_done = done;
        m_loop = &loop;
        deadline.start(deadlineMs);
        if (!m_done()) loop.exec();
        m_loop = nullptr;
        m_done = nullptr;
        return !timedOut;
    }

    // Lets the window run on its own for a while.
    void settle(int ms)
    {
        runUntil([] { return false; }, ms);
    }

    // Start-up.
    double formLoadMs = 0;
    std::optional<double> firstSendMs;
    std::optional<double> tick950Ms; // the tloading tick that enables Timer3
    std::optional<double> firstTimer3Ms;
    double longestTloadingGapMs = 0;

    // Polling at the program's intervals; wantedTicks Timer3 ticks make wantedTicks - 1 periods.
    size_t wantedTicks = 61;
    std::vector<double> timer3Ticks;
    std::vector<double> gaps;        // reply taken -> next slot's request in the kernel
    std::vector<double> replyToTick; // reply taken -> Timer4 tick
    std::vector<double> tickToSend;  // Timer4 tick -> request in the kernel
    std::vector<double> cycles;      // slot 0 request in the kernel -> slot 4 reply taken
    double pollCpuStart = 0, pollCpuEnd = 0, pollWallStart = 0, pollWallEnd = 0;
    long received = 0, dataLoss = 0;

    // The long run with short intervals keeps counters only, so the probe does not grow.
    long longTicks = 0;
    long longCompleteCycles = 0;
    long longReplies = 0;
    long longWarmupCycle = 100;
    long longEndCycle = 10000;
    long trendStep = 1000;
    long rssWarmKb = -1, rssEndKb = -1;
    std::array<long, 11> rssTrendKb{};

private:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Timer) return false;
        const double t = nowMs();
        if (watched == m_w.tloading)
            onTloadingTick(t);
        else if (watched == m_w.Timer3)
            onTimer3Tick(t);
        else if (watched == m_w.Timer4)
            onTimer4Tick(t);
        return false;
    }

    void onTloadingTick(double t)
    {
        if (m_phase != Phase::Start) return;
        if (m_lastTloadingMs)
            longestTloadingGapMs = std::max(longestTloadingGapMs, t - *m_lastTloadingMs);
        m_lastTloadingMs = t;
        // Seen before the handler: this tick raises loadTick to 950 and enables Timer3.
        if (m_w.loadTick == SequenceTicks - 1) tick950Ms = t;
    }

    void onTimer3Tick(double t)
    {
        // A Timer3 step supersedes the Timer4 chain: the request it sends is no Timer4 one.
        m_pendingSlot = -1;
        m_cycleStartMs.reset();
        m_cycleReplies = 0;
        if (m_phase == Phase::Start || m_phase == Phase::Polling) {
            if (timer3Ticks.empty()) {
                firstTimer3Ms = t;
                m_phase = Phase::Polling;
                pollCpuStart = cpuSeconds();
                pollWallStart = t;
            }
            if (timer3Ticks.size() < wantedTicks) timer3Ticks.push_back(t);
            if (timer3Ticks.size() == wantedTicks && pollWallEnd == 0) {
                pollCpuEnd = cpuSeconds();
                pollWallEnd = t;
            }
        } else if (m_phase == Phase::Long) {
            ++longTicks;
            if (longTicks == longWarmupCycle) rssWarmKb = currentRssKb();
            if (trendStep > 0 && longTicks % trendStep == 0 &&
                longTicks / trendStep < long(rssTrendKb.size()))
                rssTrendKb[size_t(longTicks / trendStep)] = currentRssKb();
            if (longTicks == longEndCycle) rssEndKb = currentRssKb();
        }
        checkDone();
    }

    void onTimer4Tick(double t)
    {
        m_timer4TickMs = t;
        if (m_phase == Phase::Polling && m_pendingSlot >= 0)
            replyToTick.push_back(t - m_pendingReplyMs);
    }

    void onSent()
    {
        const double t = nowMs();
        if (!firstSendMs) firstSendMs = t;
        if (m_phase != Phase::Polling) return;
        // The request that just left belongs to the slot the last step moved to.
        const int slot = m_w.slotIdx;
        if (slot == 0) m_cycleStartMs = t;
        if (m_pendingSlot >= 0 && slot == m_pendingSlot + 1) {
            gaps.push_back(t - m_pendingReplyMs);
            tickToSend.push_back(t - m_timer4TickMs);
        }
        m_pendingSlot = -1;
    }

    void onArrival(int link)
    {
        // Only a whole reply on the link being read, taken by the window, counts.
        if (link != int(m_w.devIdx) || m_w.awaitingReply) return;
        const double t = nowMs();
        const int slot = m_w.slotIdx;
        const bool lastSlot = slot == OptionIP::SlotCount - 1;
        ++m_cycleReplies;
        if (m_phase == Phase::Long) {
            ++longReplies;
            if (lastSlot && m_cycleReplies == OptionIP::SlotCount) ++longCompleteCycles;
            return;
        }
        if (m_phase != Phase::Polling) return;
        const bool carried = m_w.lblStatus[size_t(link)]->text() == QStringLiteral("Received");
        carried ? ++received : ++dataLoss;
        if (!lastSlot) {
            m_pendingSlot = slot;
            m_pendingReplyMs = t;
        } else if (m_cycleStartMs) {
            cycles.push_back(t - *m_cycleStartMs);
            m_cycleStartMs.reset();
        }
        checkDone();
    }

    void checkDone()
    {
        if (m_loop && m_done && m_done()) m_loop->quit();
    }

    OptionIP &m_w;
    bool m_instrumented = true;
    Phase m_phase = Phase::Start;
    QEventLoop *m_loop = nullptr;
    std::function<bool()> m_done;

    std::optional<double> m_lastTloadingMs;
    double m_timer4TickMs = 0;
    int m_pendingSlot = -1;
    double m_pendingReplyMs = 0;
    std::optional<double> m_cycleStartMs;
    int m_cycleReplies = 0;
};

int g_unmet = 0;

void figure(const char *name, const QString &value, const QString &goal, std::optional<bool> met)
{
    QString verdict = QStringLiteral("(reported)");
    if (met) verdict = *met ? QStringLiteral("MET") : QStringLiteral("NOT MET");
    if (met && !*met) ++g_unmet;
    std::printf("  %-38s %-44s %-24s %s\n", name, qPrintable(value), qPrintable(goal),
                qPrintable(verdict));
}

QString ms(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals) + QStringLiteral(" ms");
}

QString percentOfCore(double share)
{
    return QString::number(share * 100.0, 'f', 2) + QStringLiteral(" % of a core");
}

QString mb(long kb)
{
    return QString::number(double(kb) / 1024.0, 'f', 1) + QStringLiteral(" MB");
}

void printLine(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char *argv[])
{
    g_clock.start();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Start-up time, poll timing, CPU and memory of the window polling three "
                       "quorvel-sim devices on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption cyclesOption(
        QStringLiteral("cycles"), QStringLiteral("Timer3 cycles at the program's intervals."),
        QStringLiteral("n"), QStringLiteral("60"));
    const QCommandLineOption longOption(
        QStringLiteral("long-cycles"),
        QStringLiteral("Cycles of the memory run with short intervals (0 skips it)."),
        QStringLiteral("n"), QStringLiteral("10000"));
    const QCommandLineOption longTimer3Option(QStringLiteral("long-timer3"),
                                              QStringLiteral("Timer3 interval of the memory run."),
                                              QStringLiteral("ms"), QStringLiteral("20"));
    const QCommandLineOption longTimer4Option(QStringLiteral("long-timer4"),
                                              QStringLiteral("Timer4 interval of the memory run."),
                                              QStringLiteral("ms"), QStringLiteral("1"));
    const QCommandLineOption simOption(
        QStringLiteral("sim"), QStringLiteral("The quorvel-sim binary (default: beside this one)."),
        QStringLiteral("path"));
    const QCommandLineOption slowOption(
        QStringLiteral("slow-seconds"),
        QStringLiteral("Seconds of polling a device that answers in 300 ms (0 skips it)."),
        QStringLiteral("s"), QStringLiteral("30"));
    const QCommandLineOption trafficOption(
        QStringLiteral("traffic"),
        QStringLiteral("Log the window's traffic to <file>, as quorvel --traffic does."),
        QStringLiteral("file"));
    const QCommandLineOption slowZeroOption(
        QStringLiteral("slow-zero"),
        QStringLiteral("The slow device answers every request with transaction identifier 0."));
    const QCommandLineOption registersOption(QStringLiteral("registers"),
                                             QStringLiteral("Registers each slot reads (1 to 29)."),
                                             QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption typeOption(
        QStringLiteral("type"),
        QStringLiteral("Type of every slot's values, as setting.ini writes it (u16, f32, f64:cdab, "
                       "...)."),
        QStringLiteral("type"), QStringLiteral("u16"));
    const QCommandLineOption mqttOption(
        QStringLiteral("mqtt"),
        QStringLiteral("Publish to a mosquitto broker started on 127.0.0.1, as quorvel --mqtt "
                       "does, and time each value from the grid to a subscriber."));
    const QCommandLineOption keepOption(
        QStringLiteral("keep-cycles"),
        QStringLiteral("Cycles polled with the history file written and one trend window open "
                       "(0 skips it)."),
        QStringLiteral("n"), QStringLiteral("60"));
    const QCommandLineOption noWindowOption(
        QStringLiteral("no-window"),
        QStringLiteral("Never show the window, as quorvel --no-window runs (no trend window in "
                       "phase 1b)."));
    parser.addOptions({cyclesOption, longOption, longTimer3Option, longTimer4Option, simOption,
                       slowOption, slowZeroOption, trafficOption, registersOption, typeOption,
                       mqttOption, keepOption, noWindowOption});
    parser.process(app);

    bool numbersOk = true;
    auto number = [&](const QCommandLineOption &option, int lowest) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < lowest) numbersOk = false;
        return value;
    };
    const int pollCycles = number(cyclesOption, 2);
    const int longCycles = number(longOption, 0);
    const int longTimer3 = number(longTimer3Option, 1);
    const int longTimer4 = number(longTimer4Option, 0);
    const int slowSeconds = number(slowOption, 0);
    RegistersPerSlot = number(registersOption, 1);
    if (RegistersPerSlot > 29) numbersOk = false;
    if (const auto type = valueformat::parseType(parser.value(typeOption))) {
        valueformat::SlotFormat format;
        format.type = type->type;
        format.order = type->order;
        SlotType = valueformat::typeText(type->type, type->order);
        WordsPerValue = valueformat::wordsPerValue(format);
    } else {
        std::fprintf(stderr, "quorvel-bench: --type takes a type as setting.ini writes it\n");
        return 2;
    }
    const int keepCycles = number(keepOption, 0);
    if (!numbersOk || (longCycles > 0 && longCycles < 20)) {
        std::fprintf(stderr, "quorvel-bench: --cycles needs at least 2, --long-cycles 0 or at "
                             "least 20, --long-timer3 at least 1, --long-timer4 at least 0\n");
        return 2;
    }
    const QString simProgram = parser.isSet(simOption) ? parser.value(simOption)
                                                       : QCoreApplication::applicationDirPath() +
                                                             QStringLiteral("/quorvel-sim");

    printLine(QStringLiteral("quorvel-bench, %1")
                  .arg(QDateTime::currentDateTime().toString(Qt::ISODate)));
    printLine(QStringLiteral("command line:  %1").arg(QCoreApplication::arguments().join(u' ')));
    printLine(QStringLiteral("machine:       %1, %2 cores online, %3")
                  .arg(cpuModel())
                  .arg(::sysconf(_SC_NPROCESSORS_ONLN))
                  .arg(kernel()));
    printLine(QStringLiteral("Qt:            %1 at run time, built with %2; build type %3")
                  .arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR),
                       QStringLiteral(QUORVEL_BUILD_TYPE)));
    printLine(QStringLiteral("load average:  %1 at start").arg(loadAverage()));

    std::array<std::unique_ptr<SimDevice>, OptionIP::LinkCount> sims;
    std::array<quint16, OptionIP::LinkCount> ports{};
    for (int i = 0; i < OptionIP::LinkCount; ++i) {
        sims[size_t(i)] = std::make_unique<SimDevice>(simProgram);
        if (!sims[size_t(i)]->start()) {
            std::fprintf(stderr, "quorvel-bench: cannot start %s on 127.0.0.1\n",
                         qPrintable(simProgram));
            return 2;
        }
        ports[size_t(i)] = sims[size_t(i)]->port();
    }
    QTemporaryDir dir;
    if (!dir.isValid() || !writeSettings(dir.path(), ports)) {
        std::fprintf(stderr, "quorvel-bench: cannot write setting.ini in a temporary directory\n");
        return 2;
    }
    printLine(QStringLiteral("devices:       quorvel-sim on 127.0.0.1:%1, :%2, :%3; five slots of "
                             "%4 %5 values on links A, B, C, A, B")
                  .arg(ports[0])
                  .arg(ports[1])
                  .arg(ports[2])
                  .arg(RegistersPerSlot)
                  .arg(SlotType));
    printLine(QStringLiteral(
        "timing points: a request when its Winsock's QTcpSocket reports bytesWritten (bytes in "
        "the kernel); a reply when Winsock::dataArrival, connected after the window's handler, "
        "finds it taken; timer ticks by an event filter on each QTimer, before its handler"));

    std::unique_ptr<TrafficLog> traffic;
    if (parser.isSet(trafficOption)) {
        traffic = std::make_unique<TrafficLog>(parser.value(trafficOption));
        if (!traffic->open()) return 2;
        printLine(QStringLiteral("traffic log:   %1").arg(traffic->path()));
    } else {
        printLine(QStringLiteral("traffic log:   off"));
    }

    OptionIP w(dir.path());
    if (traffic) w.setTrafficLog(traffic.get());

    // The publisher as quorvel --mqtt wires it; each slot's first value is timed from the
    // moment the grid shows it (this connection comes before the publisher's) to a subscriber.
    std::unique_ptr<MqttProbe> mqttProbe;
    std::unique_ptr<publish::MqttPublisher> publisher;
    if (parser.isSet(mqttOption)) {
        mqttProbe = std::make_unique<MqttProbe>(&nowMs);
        QString error;
        if (!mqttProbe->start(error)) {
            std::fprintf(stderr, "quorvel-bench: %s\n", qPrintable(error));
            return 2;
        }
        std::array<QString, OptionIP::SlotCount> firstTopic;
        for (int s = 0; s < OptionIP::SlotCount; ++s)
            firstTopic[size_t(s)] = QStringLiteral("quorvel/%1/%2")
                                        .arg(QChar(u'A' + LinkOfSlot[size_t(s)]))
                                        .arg(firstRegister(s));
        QObject::connect(&w, &OptionIP::slotValuesRead, &w, [&, firstTopic](int slot) {
            if (slot >= 0 && slot < OptionIP::SlotCount) mqttProbe->shown(firstTopic[size_t(slot)]);
        });
        publish::MqttTarget target;
        target.host = QStringLiteral("127.0.0.1");
        target.port = mqttProbe->port();
        target.prefix = publish::DefaultPrefix;
        publisher = std::make_unique<publish::MqttPublisher>(
            publish::MqttPublisher::Options{target, {}, {}});
        new publish::WindowFeed(w, *publisher, traffic.get(), std::nullopt, true);
        if (!publisher->start()) {
            std::fprintf(stderr, "quorvel-bench: %s\n", qPrintable(publisher->errorString()));
            return 2;
        }
        mqttProbe->setRecording(true);
        printLine(QStringLiteral("mqtt:          mosquitto on 127.0.0.1:%1, a subscriber to "
                                 "quorvel/# in this process; its thread's CPU is left out")
                      .arg(mqttProbe->port()));
    } else {
        printLine(QStringLiteral("mqtt:          off"));
    }
    Probe probe(w);
    if (!probe.instrumented()) {
        std::fprintf(stderr, "quorvel-bench: a Winsock has no QTcpSocket child to time sends\n");
        return 2;
    }
    probe.wantedTicks = size_t(pollCycles) + 1;
    probe.timer3Ticks.reserve(probe.wantedTicks);
    probe.gaps.reserve(size_t(pollCycles) * 4 + 8);
    probe.replyToTick.reserve(size_t(pollCycles) * 4 + 8);
    probe.tickToSend.reserve(size_t(pollCycles) * 4 + 8);
    probe.cycles.reserve(size_t(pollCycles) + 2);

    // Like the program: load, then show.
    printLine(QStringLiteral("\nphase 1: start-up and %1 cycles at the program's intervals "
                             "(about %2 s)")
                  .arg(pollCycles)
                  .arg(6 + pollCycles));
    probe.formLoadMs = nowMs();
    w.Form_Load();
    const bool noWindow = parser.isSet(noWindowOption);
    if (noWindow)
        printLine(QStringLiteral("window:        not shown (--no-window)"));
    else
        w.show();
    const bool polled = probe.runUntil(
        [&] { return probe.timer3Ticks.size() >= probe.wantedTicks; }, 30000 + pollCycles * 2000);
    w.Timer3->stop();
    w.Timer4->stop();
    probe.setPhase(Probe::Phase::Idle);
    probe.settle(300);
    if (!polled || !probe.firstSendMs) {
        std::fprintf(stderr, "quorvel-bench: polling did not run (%zu Timer3 ticks seen)\n",
                     probe.timer3Ticks.size());
        return 2;
    }
    if (mqttProbe) mqttProbe->setRecording(false);

    // The same polling with the history written (as --history does) and one trend window open.
    double keepCpu = 0, keepWall = 0;
    qint64 keepRows = -1, keepLost = 0;
    int trendPoints = 0;
    if (keepCycles > 0) {
        printLine(QStringLiteral("phase 1b: %1 cycles with the history written and one trend "
                                 "window open (about %2 s)")
                      .arg(keepCycles)
                      .arg(keepCycles + 3));
        QTemporaryDir historyDir;
        auto *keepers = new Keepers(w, historyDir.path());
        w.Timer3->start();
        // A few cycles first, so the trend opens on kept values and the file is open.
        probe.settle(3000);
        TrendWindow *trend = noWindow ? nullptr : keepers->openTrend(3, 2);
        // The subscriber's thread is this process's too, but none of the program's work.
        const double subscriberBefore = mqttProbe ? mqttProbe->subscriberCpu() : 0.0;
        const double cpuBefore = cpuSeconds();
        const double wallBefore = nowMs();
        probe.settle(keepCycles * int(Timer3Ms));
        keepCpu = cpuSeconds() - cpuBefore;
        if (mqttProbe) keepCpu -= mqttProbe->subscriberCpu() - subscriberBefore;
        keepWall = (nowMs() - wallBefore) / 1000.0;
        w.Timer3->stop();
        w.Timer4->stop();
        probe.settle(300);
        if (trend)
            for (const std::vector<QPointF> &line : trend->lines())
                trendPoints += int(line.size());
        if (HistoryFile *history = keepers->history()) {
            QFile file(history->currentPath());
            if (file.open(QIODevice::ReadOnly)) keepRows = file.readAll().count('\n') - 1;
            keepLost = history->lostRows();
        }
        delete keepers;
    }

    // The connect handler's wait against a listener that never completes the handshake, with
    // polling stopped so that the figure is the wait's own.
    printLine(QStringLiteral("phase 2: one 2-second connect wait on link C, polling stopped"));
    SilentListener silent;
    double waitWallMs = 0, waitCpuMs = 0;
    int waitState = -1;
    QString waitCaption;
    if (silent.port() != 0) {
        const int link = 2;
        const QString simPort = w.txtPort[link]->text();
        w.cmdDisconnect_Click(link);
        w.txtPort[link]->setText(QString::number(silent.port()));
        const double cpuBefore = cpuSeconds();
        const double wallBefore = nowMs();
        w.cmdConnect_Click(link);
        waitWallMs = nowMs() - wallBefore;
        waitCpuMs = (cpuSeconds() - cpuBefore) * 1000.0;
        waitState = w.Winsock1[link]->state();
        waitCaption = w.lblStatus[link]->text();
        w.cmdDisconnect_Click(link);
        w.txtPort[link]->setText(simPort);
        w.cmdConnect_Click(link);
    }

    bool longDone = longCycles == 0;
    if (longCycles > 0) {
        printLine(QStringLiteral("phase 3: %1 cycles with Timer3 at %2 ms and Timer4 at %3 ms "
                                 "(about %4 s)")
                      .arg(longCycles)
                      .arg(longTimer3)
                      .arg(longTimer4)
                      .arg(qint64(longCycles) * longTimer3 / 1000 + 1));
        probe.longWarmupCycle = std::min(100, longCycles / 2);
        probe.longEndCycle = longCycles;
        probe.trendStep = longCycles / 10;
        w.Timer3->setInterval(longTimer3);
        w.Timer4->setInterval(longTimer4);
        probe.setPhase(Probe::Phase::Long);
        w.Timer3->start();
        longDone = probe.runUntil(
            [&] { return probe.longTicks >= longCycles; },
            int(std::min<qint64>(qint64(longCycles) * longTimer3 * 5 + 60000, INT_MAX)));
        w.Timer3->stop();
        w.Timer4->stop();
        probe.setPhase(Probe::Phase::Idle);
        w.Timer3->setInterval(int(Timer3Ms));
        w.Timer4->setInterval(int(Timer4Ms));
    }
    const long peakKb = peakRssKb();

    // All five slots on one device that answers in SlowReplyMs: how long each slot waits
    // between refreshes of what it shows.
    std::vector<double> refreshGaps;
    std::array<int, OptionIP::SlotCount> refreshes{};
    bool slowRan = false;
    const bool slowZero = parser.isSet(slowZeroOption);
    SlowDevice slowDevice(SlowReplyMs, slowZero);
    if (slowSeconds > 0 && slowDevice.start()) {
        printLine(QStringLiteral("phase 4: %1 s of five slots on one device answering in %2 ms%3")
                      .arg(slowSeconds)
                      .arg(SlowReplyMs)
                      .arg(slowZero ? QStringLiteral(", identifier 0") : QString()));
        for (int i = 0; i < OptionIP::LinkCount; ++i)
            w.cmdDisconnect_Click(i);
        w.txtPort[0]->setText(QString::number(slowDevice.port()));
        w.cmdConnect_Click(0);
        for (QComboBox *device : w.LstIP)
            device->setCurrentIndex(0);
        std::array<QString, OptionIP::SlotCount> shown;
        std::array<std::optional<double>, OptionIP::SlotCount> refreshedAt;
        QObject::connect(w.Winsock1[0], &Winsock::dataArrival, &probe, [&](int, qint64) {
            const double t = nowMs();
            for (int slot = 0; slot < OptionIP::SlotCount; ++slot) {
                const QString text = w.cellText(1, (slot + 1) * 2);
                if (text == shown[size_t(slot)]) continue;
                shown[size_t(slot)] = text;
                ++refreshes[size_t(slot)];
                if (refreshedAt[size_t(slot)])
                    refreshGaps.push_back(t - *refreshedAt[size_t(slot)]);
                refreshedAt[size_t(slot)] = t;
            }
        });
        w.Timer3->start();
        probe.settle(slowSeconds * 1000);
        w.Timer3->stop();
        w.Timer4->stop();
        slowRan = w.Winsock1[0]->state() == Winsock::Connected;
    }

    // Figures.
    printLine(QStringLiteral("\nresults (goal, verdict)"));
    const double startMs = *probe.firstSendMs - probe.formLoadMs;
    const double startDeviation = (startMs - IdealStartMs) / IdealStartMs;
    figure("start: Form_Load to first request",
           QStringLiteral("%1 s (%2%3 %)")
               .arg(startMs / 1000.0, 0, 'f', 3)
               .arg(startDeviation >= 0 ? QStringLiteral("+") : QString())
               .arg(startDeviation * 100.0, 0, 'f', 2),
           QStringLiteral("5.750 s +- 3 %"), std::abs(startDeviation) <= StartToleranceShare);
    if (probe.tick950Ms)
        figure(
            "  of which 950 tloading ticks",
            QStringLiteral("%1 s").arg((*probe.tick950Ms - probe.formLoadMs) / 1000.0, 0, 'f', 3),
            QStringLiteral("ideal 4.750 s"), std::nullopt);
    if (probe.tick950Ms && probe.firstTimer3Ms)
        figure("  then to the first Timer3 tick", ms(*probe.firstTimer3Ms - *probe.tick950Ms, 1),
               QStringLiteral("ideal 1000 ms"), std::nullopt);
    if (probe.firstTimer3Ms)
        figure("  then to the request in the kernel",
               ms(*probe.firstSendMs - *probe.firstTimer3Ms, 3), QStringLiteral("ideal 0"),
               std::nullopt);
    figure("  longest gap between tloading ticks", ms(probe.longestTloadingGapMs, 1),
           QStringLiteral("ideal 5 ms"), std::nullopt);

    const Stats gap = statsOf(probe.gaps);
    figure("reply to next request, median", ms(gap.median, 3),
           QStringLiteral("10 ms +- %1 ms").arg(GapMedianToleranceMs),
           gap.count > 0 && std::abs(gap.median - Timer4Ms) <= GapMedianToleranceMs);
    figure("reply to next request, 99th pct", ms(gap.p99, 3),
           QStringLiteral("< %1 ms").arg(GapP99LimitMs), gap.count > 0 && gap.p99 < GapP99LimitMs);
    figure("  samples, min, max",
           QStringLiteral("%1, %2, %3").arg(gap.count).arg(ms(gap.min, 3), ms(gap.max, 3)),
           QString(), std::nullopt);
    const Stats toTick = statsOf(probe.replyToTick);
    const Stats toSend = statsOf(probe.tickToSend);
    figure("  reply to Timer4 tick, median/99th",
           QStringLiteral("%1 / %2").arg(ms(toTick.median, 3), ms(toTick.p99, 3)),
           QStringLiteral("ideal 10 ms"), std::nullopt);
    figure("  Timer4 tick to request, median/99th",
           QStringLiteral("%1 / %2").arg(ms(toSend.median, 3), ms(toSend.p99, 3)), QString(),
           std::nullopt);
    const Stats cycle = statsOf(probe.cycles);
    figure("five-slot cycle, median/99th",
           QStringLiteral("%1 / %2").arg(ms(cycle.median, 2), ms(cycle.p99, 2)),
           QStringLiteral("4 x 10 ms + 5 replies"), std::nullopt);

    std::vector<double> periods;
    for (size_t k = 1; k < probe.timer3Ticks.size(); ++k)
        periods.push_back(probe.timer3Ticks[k] - probe.timer3Ticks[k - 1]);
    const Stats period = statsOf(periods);
    double worstDeviation = 0;
    size_t worstPeriod = 0;
    int offByMore = 0;
    for (size_t k = 0; k < periods.size(); ++k) {
        const double deviation = periods[k] - Timer3Ms;
        if (std::abs(deviation) > 5.0) ++offByMore;
        if (std::abs(deviation) > std::abs(worstDeviation)) {
            worstDeviation = deviation;
            worstPeriod = k + 1;
        }
    }
    figure("Timer3 period, median",
           QStringLiteral("%1 over %2 periods").arg(ms(period.median, 2)).arg(period.count),
           QStringLiteral("1000 ms"), std::nullopt);
    figure("Timer3 period, worst deviation",
           QStringLiteral("%1 (period %2)").arg(ms(worstDeviation, 2)).arg(worstPeriod),
           QStringLiteral("0 ms"), std::nullopt);
    figure("  periods off by more than 5 ms", QString::number(offByMore), QString(), std::nullopt);
    figure("replies taken while polling",
           QStringLiteral("%1 received, %2 data loss").arg(probe.received).arg(probe.dataLoss),
           QStringLiteral("all received"), probe.dataLoss == 0 && probe.received > 0);

    const double pollWall = (probe.pollWallEnd - probe.pollWallStart) / 1000.0;
    const double subscriberCpu =
        mqttProbe ? mqttProbe->subscriberCpuBetween(probe.pollWallStart, probe.pollWallEnd) : 0.0;
    const double pollCpu = probe.pollCpuEnd - probe.pollCpuStart - subscriberCpu;
    const double pollShare = pollWall > 0 ? pollCpu / pollWall : 0;
    figure(mqttProbe ? "CPU while polling, --mqtt on" : "CPU while polling",
           QStringLiteral("%1 (%2 s cpu / %3 s)")
               .arg(percentOfCore(pollShare))
               .arg(pollCpu, 0, 'f', 3)
               .arg(pollWall, 0, 'f', 1),
           QStringLiteral("< 1 % of a core"), pollShare < PollingCpuLimit);
    if (mqttProbe) {
        figure("  subscriber's thread, left out",
               QStringLiteral("%1 s cpu").arg(subscriberCpu, 0, 'f', 3), QString(), std::nullopt);
        const Stats delay = statsOf(mqttProbe->delays());
        figure("value shown to subscriber, median", ms(delay.median, 3), QStringLiteral("< 50 ms"),
               delay.count > 0 && delay.median < MqttDelayLimitMs);
        figure("value shown to subscriber, worst", ms(delay.max, 3), QStringLiteral("< 50 ms"),
               delay.count > 0 && delay.max < MqttDelayLimitMs);
        figure("  values timed, lost; messages",
               QStringLiteral("%1, %2; %3 received, %4 dropped by the publisher")
                   .arg(delay.count)
                   .arg(mqttProbe->unmatched())
                   .arg(mqttProbe->received())
                   .arg(publisher->dropped()),
               QStringLiteral("none lost"), delay.count > 0 && mqttProbe->unmatched() == 0);
    }

    if (keepCycles > 0) {
        const double share = keepWall > 0 ? keepCpu / keepWall : 0;
        if (noWindow)
            figure("CPU with history, no window",
                   QStringLiteral("%1 (%2 s cpu / %3 s)")
                       .arg(percentOfCore(share))
                       .arg(keepCpu, 0, 'f', 3)
                       .arg(keepWall, 0, 'f', 1),
                   QStringLiteral("< 0.3 % of a core"), share < 0.003);
        else
            figure("CPU with history and a trend open",
                   QStringLiteral("%1 (%2 s cpu / %3 s)")
                       .arg(percentOfCore(share))
                       .arg(keepCpu, 0, 'f', 3)
                       .arg(keepWall, 0, 'f', 1),
                   QStringLiteral("< 1 % of a core"), share < PollingCpuLimit && trendPoints > 0);
        figure("  history rows, lost; trend points",
               QStringLiteral("%1, %2; %3").arg(keepRows).arg(keepLost).arg(trendPoints),
               QStringLiteral("a row a cycle"), std::nullopt);
    }

    if (silent.port() != 0) {
        const double share = waitWallMs > 0 ? waitCpuMs / waitWallMs : 0;
        figure("CPU during a 2 s connect wait",
               QStringLiteral("%1 (%2 / %3)")
                   .arg(percentOfCore(share), ms(waitCpuMs, 1), ms(waitWallMs, 0)),
               QStringLiteral("< 2 % of a core"),
               share < ConnectWaitCpuLimit && waitState == Winsock::Connecting);
        figure("  the wait ended with",
               QStringLiteral("state %1, \"%2\"").arg(waitState).arg(waitCaption),
               QStringLiteral("state 6, still connecting"), std::nullopt);
    } else {
        figure("CPU during a 2 s connect wait", QStringLiteral("no silent listener"),
               QStringLiteral("< 2 % of a core"), false);
    }

    figure("peak resident memory", mb(peakKb), QStringLiteral("< 60 MB"), peakKb < PeakRssLimitKb);
    if (longCycles > 0) {
        const long growth = probe.rssEndKb - probe.rssWarmKb;
        figure("RSS growth over the short-interval run",
               QStringLiteral("%1 kB (cycle %2: %3 kB, cycle %4: %5 kB)")
                   .arg(growth)
                   .arg(probe.longWarmupCycle)
                   .arg(probe.rssWarmKb)
                   .arg(probe.longEndCycle)
                   .arg(probe.rssEndKb),
               QStringLiteral("< %1 kB").arg(RssGrowthLimitKb),
               longDone && probe.rssWarmKb > 0 && probe.rssEndKb > 0 && growth < RssGrowthLimitKb);
        QStringList trend;
        for (size_t k = 1; k < probe.rssTrendKb.size(); ++k)
            if (probe.rssTrendKb[k] > 0) trend << QString::number(probe.rssTrendKb[k]);
        figure("  RSS every tenth of the run, kB", trend.join(u' '), QString(), std::nullopt);
        figure("  cycles run, complete, replies",
               QStringLiteral("%1, %2, %3")
                   .arg(probe.longTicks)
                   .arg(probe.longCompleteCycles)
                   .arg(probe.longReplies),
               QStringLiteral("Timer3 %1 ms, Timer4 %2 ms").arg(longTimer3).arg(longTimer4),
               std::nullopt);
    }

    if (slowSeconds > 0) {
        const Stats refresh = statsOf(refreshGaps);
        const int leastRefreshed = *std::min_element(refreshes.begin(), refreshes.end());
        figure(slowZero ? "slot refresh, identifier-0 device answering in 300 ms"
                        : "slot refresh, device answering in 300 ms",
               slowRan && refresh.count > 0
                   ? QStringLiteral("median %1, worst %2 over %3 refreshes")
                         .arg(ms(refresh.median, 0), ms(refresh.max, 0))
                         .arg(refresh.count)
                   : QStringLiteral("no refresh seen"),
               QStringLiteral("every slot refreshed, each within 3 s"),
               slowRan && leastRefreshed >= 2 && refresh.max <= 3000);
    }

    printLine(QStringLiteral("\nload average:  %1 at end").arg(loadAverage()));
    if (g_unmet == 0)
        printLine(QStringLiteral("all goals met"));
    else
        printLine(QStringLiteral("%1 goal(s) not met").arg(g_unmet));

    w.hide();
    for (auto &sim : sims)
        sim->stop();
    return g_unmet == 0 ? 0 : 1;
}
