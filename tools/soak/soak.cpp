// quorvel-soak: runs the real program for a bounded time against devices that come and go and
// a device that answers badly, while data.txt is read as often as possible. Everything listens
// and dials on 127.0.0.1 only, on ports opened here.
//
// The program has three links, so two copies of it run, each in a directory of its own:
// monitor 1 polls the three simulators (links A, B, C); monitor 2 polls the broken device on
// link A and two of the simulators on links B and C.

#include "brokendevice.h"
#include "simfleet.h"
#include "snapshotreader.h"
#include "soakclock.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int LinkCount = 3;
constexpr int SlotCount = 5;
constexpr int RegistersPerSlot = 10;
constexpr int SimCount = 3;
constexpr int Broken = -1; // a link or slot on the broken device

// No simulator is stopped before the monitors have started and polled for a while.
constexpr double QuietStartMs = 15000;
// Allowed RSS growth between the warm-up sample and the end.
constexpr long RssNoiseKb = 2048;
// Longest time data.txt may stay unchanged while its monitor runs; it changes every second.
constexpr double LongestStillMs = 10000;
constexpr int ProgressEveryMs = 30000;
// A snapshot holds what the previous cycle read: up to two Timer3 intervals old.
constexpr double StaleSnapshotMs = 2000;

void say(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

long rssKbOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly)) return -1;
    // /proc files report no size, so they are read whole.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

QString mb(long kb)
{
    return kb < 0 ? QStringLiteral("?") : QString::number(double(kb) / 1024.0, 'f', 1) + " MB";
}

// One copy of the program in a temporary directory, with the links and slots it polls.
struct Monitor {
    QString name;
    std::array<int, LinkCount> linkDevice{}; // simulator index, or Broken
    std::array<int, SlotCount> slotLink{};   // link of each slot
    QTemporaryDir dir;
    QProcess process;
    QByteArray output; // the last of what it printed, for a failure report
    bool stopping = false;
    std::optional<QString> died;
    long rssWarmKb = -1, rssEndKb = -1, rssMaxKb = -1;

    QString dataPath() const { return dir.filePath(QStringLiteral("data.txt")); }

    int slotDevice(int slot) const { return linkDevice[size_t(slotLink[size_t(slot)])]; }

    bool prepare(const QString &binary, const std::array<quint16, SimCount> &simPorts,
                 quint16 brokenPort)
    {
        if (!dir.isValid()) return false;
        const QString program = dir.filePath(QStringLiteral("quorvel"));
        if (!QFile::copy(binary, program)) return false;
        QByteArray text = "[set]\r\n";
        // "False": in use at the last close, so the start-up sequence connects every link.
        for (int i = 0; i < LinkCount; ++i)
            text += "Scon" + QByteArray::number(i) + "=False\r\n";
        for (int i = 0; i < LinkCount; ++i) {
            const int device = linkDevice[size_t(i)];
            const quint16 port = device == Broken ? brokenPort : simPorts[size_t(device)];
            text += "port" + QByteArray::number(i) + "=" + QByteArray::number(port) + "\r\n";
        }
        for (int i = 0; i < LinkCount; ++i)
            text += "txtIP" + QByteArray::number(i) + "=127.0.0.1\r\n";
        for (int s = 0; s < SlotCount; ++s)
            text += "strreg" + QByteArray::number(s) + "=" +
                    QByteArray::number(1 + RegistersPerSlot * s) + "\r\n";
        for (int s = 0; s < SlotCount; ++s)
            text += "legreg" + QByteArray::number(s) + "=" + QByteArray::number(RegistersPerSlot) +
                    "\r\n";
        for (int s = 0; s < SlotCount; ++s)
            text += "LstIP" + QByteArray::number(s) + "=" +
                    QByteArray::number(slotLink[size_t(s)]) + "\r\n";
        QFile ini(dir.filePath(QStringLiteral("setting.ini")));
        return ini.open(QIODevice::WriteOnly) && ini.write(text) == text.size();
    }

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            output += process.readAllStandardOutput();
            if (output.size() > 8192) output = output.right(8192);
        });
        QObject::connect(
            &process, &QProcess::finished, &process, [this](int code, QProcess::ExitStatus status) {
                if (stopping) return;
                died = status == QProcess::CrashExit
                           ? QStringLiteral("crashed at %1 s").arg(soak::nowMs() / 1000, 0, 'f', 1)
                           : QStringLiteral("exited with %1 at %2 s")
                                 .arg(code)
                                 .arg(soak::nowMs() / 1000, 0, 'f', 1);
            });
        process.start(dir.filePath(QStringLiteral("quorvel")), {});
        return process.waitForStarted(5000);
    }

    void sampleRss(bool warm, bool end)
    {
        if (process.state() != QProcess::Running) return;
        const long kb = rssKbOf(process.processId());
        if (kb < 0) return;
        rssMaxKb = std::max(rssMaxKb, kb);
        if (warm) rssWarmKb = kb;
        if (end) rssEndKb = kb;
    }

    // A normal close on SIGTERM, as the program handles it; true when it ended so.
    bool stop()
    {
        stopping = true;
        if (process.state() == QProcess::NotRunning) return false;
        process.terminate();
        if (process.waitForFinished(10000))
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        process.kill();
        process.waitForFinished(3000);
        return false;
    }
};

enum class Outcome { Recovered, CutShort, Unfinished, NeverShownDown, ValuesWhileDown, Failed };

struct RecoveryCheck {
    Outcome outcome = Outcome::Failed;
    double delayMs = 0;
};

soak::FieldClass classAt(const std::vector<soak::Transition> &transitions, double ms)
{
    soak::FieldClass at = soak::FieldClass::Empty;
    for (const soak::Transition &t : transitions) {
        if (t.ms > ms) break;
        at = t.to;
    }
    return at;
}

// Once a stopped simulator has gone, its slot must show "???", then numbers again within the
// limit after the simulator listens again.
RecoveryCheck checkRecovery(const std::vector<soak::Transition> &transitions,
                            const soak::Restart &restart, double endMs, double limitMs)
{
    if (restart.upMs < 0) return {Outcome::Unfinished, 0};
    const double gone = restart.goneMs >= 0 ? restart.goneMs : restart.stopMs;
    std::optional<double> downSince;
    if (classAt(transitions, gone) == soak::FieldClass::Unread)
        downSince = gone;
    else
        for (const soak::Transition &t : transitions)
            if (t.ms > gone && t.to == soak::FieldClass::Unread) {
                downSince = t.ms;
                break;
            }
    std::optional<double> back;
    if (downSince)
        for (const soak::Transition &t : transitions)
            if (t.ms > *downSince && t.to == soak::FieldClass::Number) {
                back = t.ms;
                break;
            }

    if (back && *back < restart.upMs) return {Outcome::ValuesWhileDown, 0};
    const double deadline = restart.upMs + limitMs;
    // A snapshot can still show what was read just before the next stop.
    const bool beforeNextStop =
        back && (restart.nextStopMs < 0 || *back <= restart.nextStopMs + StaleSnapshotMs);
    if (back && *back <= deadline && beforeNextStop)
        return {Outcome::Recovered, *back - restart.upMs};
    if (deadline > endMs) return {Outcome::Unfinished, 0};
    if (restart.nextStopMs >= 0 && restart.nextStopMs < deadline) return {Outcome::CutShort, 0};
    if (!downSince) return {Outcome::NeverShownDown, 0};
    return {Outcome::Failed, 0};
}

int g_signalFds[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalFds[0], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    soak::startTime();
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Soak run of the program against restarting simulators and a broken device, with "
        "data.txt read as often as possible. Exits 0 when it passes."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of the run (default 600)."),
                                           QStringLiteral("s"), QStringLiteral("600"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the random schedule."),
                                        QStringLiteral("n"));
    const QCommandLineOption limitOption(
        QStringLiteral("recovery-limit"),
        QStringLiteral("Seconds a restarted simulator's slots may take to show numbers again."),
        QStringLiteral("s"), QStringLiteral("30"));
    const QCommandLineOption quorvelOption(
        QStringLiteral("quorvel"), QStringLiteral("The program (default: beside this one)."),
        QStringLiteral("path"));
    const QCommandLineOption simOption(QStringLiteral("sim"),
                                       QStringLiteral("quorvel-sim (default: beside this one)."),
                                       QStringLiteral("path"));
    parser.addOptions({secondsOption, seedOption, limitOption, quorvelOption, simOption});
    parser.process(app);

    bool ok = false;
    const int seconds = parser.value(secondsOption).toInt(&ok);
    bool limitOk = false;
    const int limitSeconds = parser.value(limitOption).toInt(&limitOk);
    if (!ok || seconds < 20 || seconds > 24 * 3600 || !limitOk || limitSeconds < 1) {
        std::fprintf(stderr, "quorvel-soak: --seconds takes 20 to 86400, --recovery-limit at "
                             "least 1\n");
        return 2;
    }
    const quint32 seed = parser.isSet(seedOption)
                             ? parser.value(seedOption).toUInt()
                             : quint32(QDateTime::currentMSecsSinceEpoch() & 0xffffffffu);
    const QString here = QCoreApplication::applicationDirPath();
    const QString binary =
        parser.isSet(quorvelOption) ? parser.value(quorvelOption) : here + "/quorvel";
    const QString simProgram =
        parser.isSet(simOption) ? parser.value(simOption) : here + "/quorvel-sim";
    const double durationMs = seconds * 1000.0;
    const double limitMs = limitSeconds * 1000.0;
    std::mt19937 random(seed);

    say(QStringLiteral("quorvel-soak, %1").arg(QDateTime::currentDateTime().toString(Qt::ISODate)));
    say(QStringLiteral("command line: %1").arg(QCoreApplication::arguments().join(u' ')));
    say(QStringLiteral("run of %1 s, seed %2, recovery limit %3 s")
            .arg(seconds)
            .arg(seed)
            .arg(limitSeconds));

    // Ctrl+C and SIGTERM end the run early, with the usual clean-up and report.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0) return 2;
    ::fcntl(g_signalFds[0], F_SETFL, O_NONBLOCK);
    QSocketNotifier signalNotifier(g_signalFds[1], QSocketNotifier::Read);
    bool interrupted = false;
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char byte;
        while (::read(g_signalFds[1], &byte, 1) == 1) {
        }
        interrupted = true;
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);

    std::vector<std::unique_ptr<soak::SimProcess>> sims;
    std::array<quint16, SimCount> simPorts{};
    for (int k = 0; k < SimCount; ++k) {
        sims.push_back(std::make_unique<soak::SimProcess>(simProgram, random));
        if (!sims.back()->startFirst()) {
            std::fprintf(stderr, "quorvel-soak: cannot start %s on 127.0.0.1 (%s)\n",
                         qPrintable(simProgram), qPrintable(sims.back()->lastError()));
            return 2;
        }
        simPorts[size_t(k)] = sims.back()->port();
    }
    soak::BrokenDevice broken(random);
    if (!broken.listen()) {
        std::fprintf(stderr, "quorvel-soak: the broken device cannot listen on 127.0.0.1\n");
        return 2;
    }

    std::array<Monitor, 2> monitors;
    monitors[0].name = QStringLiteral("monitor 1");
    monitors[0].linkDevice = {0, 1, 2};
    monitors[0].slotLink = {0, 1, 2, 0, 1};
    monitors[1].name = QStringLiteral("monitor 2");
    monitors[1].linkDevice = {Broken, 1, 2};
    monitors[1].slotLink = {0, 1, 0, 2, 0};
    for (Monitor &m : monitors) {
        if (!m.prepare(binary, simPorts, broken.port()) || !m.start()) {
            std::fprintf(stderr, "quorvel-soak: cannot run a copy of %s\n", qPrintable(binary));
            return 2;
        }
    }
    say(QStringLiteral("simulators on 127.0.0.1:%1, :%2, :%3; broken device on 127.0.0.1:%4")
            .arg(simPorts[0])
            .arg(simPorts[1])
            .arg(simPorts[2])
            .arg(broken.port()));
    for (const Monitor &m : monitors) {
        QStringList slotDevices;
        for (int s = 0; s < SlotCount; ++s) {
            const int device = m.slotDevice(s);
            slotDevices << (device == Broken ? QStringLiteral("broken")
                                             : QStringLiteral("sim %1").arg(device + 1));
        }
        say(QStringLiteral("%1 (pid %2) in %3: slots on %4")
                .arg(m.name)
                .arg(m.process.processId())
                .arg(m.dir.path(), slotDevices.join(QStringLiteral(", "))));
    }

    soak::SnapshotReader reader(
        {monitors[0].dataPath().toStdString(), monitors[1].dataPath().toStdString()});
    reader.start();

    // Stops end early enough for the last restart to be checked within the limit.
    const double chaosUntil = durationMs - limitMs - 5000;
    if (chaosUntil > QuietStartMs)
        for (auto &sim : sims)
            sim->runChaos(QuietStartMs, chaosUntil);
    else
        say(QStringLiteral("too short for restarts: no simulator is stopped"));

    const double warmMs = std::clamp(durationMs / 3, 15000.0, 60000.0);
    QTimer rssTimer;
    bool warmTaken = false;
    QObject::connect(&rssTimer, &QTimer::timeout, &app, [&] {
        const bool warm = !warmTaken && soak::nowMs() >= warmMs;
        warmTaken = warmTaken || warm;
        for (Monitor &m : monitors)
            m.sampleRss(warm, false);
    });
    rssTimer.start(1000);

    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &app, [&] {
        long reads = 0, bad = 0;
        for (size_t k = 0; k < reader.size(); ++k) {
            reads += reader.watch(k).reads;
            bad += reader.watch(k).badReads;
        }
        size_t restarts = 0;
        for (const auto &sim : sims)
            restarts += sim->restarts().size();
        say(QStringLiteral("%1 s: %2 reads, %3 bad; %4 simulator stops; RSS %5, %6")
                .arg(qRound(soak::nowMs() / 1000))
                .arg(reads)
                .arg(bad)
                .arg(restarts)
                .arg(mb(rssKbOf(monitors[0].process.processId())),
                     mb(rssKbOf(monitors[1].process.processId()))));
    });
    progress.start(ProgressEveryMs);

    QTimer::singleShot(int(durationMs - soak::nowMs()), &app, &QCoreApplication::quit);
    app.exec();
    progress.stop();
    rssTimer.stop();

    const double endMs = soak::nowMs();
    for (Monitor &m : monitors)
        m.sampleRss(false, true);
    reader.stop();
    std::array<bool, 2> closedNormally{};
    for (size_t k = 0; k < monitors.size(); ++k) {
        const bool alive = !monitors[k].died && monitors[k].process.state() == QProcess::Running;
        closedNormally[k] = monitors[k].stop() && alive;
    }
    for (auto &sim : sims)
        sim->shutdown();
    broken.close();

    // Report.
    QStringList failures;
    say(QStringLiteral("\nresults after %1 s%2")
            .arg(endMs / 1000, 0, 'f', 1)
            .arg(interrupted ? QStringLiteral(" (interrupted)") : QString()));
    if (interrupted) failures << QStringLiteral("the run was interrupted");
    for (size_t k = 0; k < monitors.size(); ++k) {
        const Monitor &m = monitors[k];
        const soak::FileWatch &w = reader.watch(k);
        say(QStringLiteral("%1: %2 reads of data.txt, %3 bad (%4 with the file missing); "
                           "first snapshot at %5 s; longest unchanged %6 s")
                .arg(m.name)
                .arg(w.reads.load())
                .arg(w.badReads.load())
                .arg(w.missing.load())
                .arg(w.firstSeenMs / 1000, 0, 'f', 1)
                .arg(w.longestUnchangedMs / 1000, 0, 'f', 1));
        for (const std::string &example : w.badExamples)
            say(QStringLiteral("  bad read: %1").arg(QString::fromStdString(example)));
        if (!w.seen) failures << m.name + QStringLiteral(" never wrote data.txt");
        if (w.badReads > 0) failures << m.name + QStringLiteral(": bad reads");
        if (w.seen && w.longestUnchangedMs > LongestStillMs)
            failures << m.name + QStringLiteral(": data.txt stood still too long");
        say(QStringLiteral("  process: %1; closed on SIGTERM %2")
                .arg(m.died ? *m.died : QStringLiteral("lived throughout"),
                     closedNormally[k] ? QStringLiteral("normally")
                                       : QStringLiteral("NOT normally")));
        if (m.died) failures << m.name + QStringLiteral(" died");
        if (!closedNormally[k]) failures << m.name + QStringLiteral(" did not close normally");
        const long growth = m.rssEndKb - m.rssWarmKb;
        say(QStringLiteral("  RSS: %1 kB at warm-up (%2 s), %3 kB at the end, %4 kB at most; "
                           "growth %5 kB (allowed < %6 kB)")
                .arg(m.rssWarmKb)
                .arg(warmMs / 1000, 0, 'f', 0)
                .arg(m.rssEndKb)
                .arg(m.rssMaxKb)
                .arg(growth)
                .arg(RssNoiseKb));
        if (m.rssWarmKb < 0 || m.rssEndKb < 0 || growth >= RssNoiseKb)
            failures << m.name + QStringLiteral(": resident memory grew or was not sampled");
        if (!m.output.trimmed().isEmpty() && (m.died || !closedNormally[k]))
            say(QStringLiteral("  its last output: %1")
                    .arg(QString::fromLocal8Bit(m.output.right(600))));
    }

    // Recoveries: every slot on a restarted simulator, in both monitors, both of its fields.
    std::array<int, 6> outcomes{};
    std::vector<double> delays;
    int stops = 0, kills = 0;
    for (int k = 0; k < SimCount; ++k) {
        const soak::SimProcess &sim = *sims[size_t(k)];
        stops += int(sim.restarts().size());
        for (const soak::Restart &restart : sim.restarts()) {
            kills += restart.killed ? 1 : 0;
            for (size_t m = 0; m < monitors.size(); ++m) {
                for (int s = 0; s < SlotCount; ++s) {
                    if (monitors[m].slotDevice(s) != k) continue;
                    RecoveryCheck slotCheck{Outcome::Recovered, 0};
                    for (const int field : {s, s + SlotCount}) {
                        const RecoveryCheck c = checkRecovery(
                            reader.watch(m).transitions[size_t(field)], restart, endMs, limitMs);
                        // The slot is back when its later field is; any other outcome wins.
                        if (c.outcome != Outcome::Recovered)
                            slotCheck = c;
                        else if (slotCheck.outcome == Outcome::Recovered)
                            slotCheck.delayMs = std::max(slotCheck.delayMs, c.delayMs);
                    }
                    ++outcomes[size_t(slotCheck.outcome)];
                    if (slotCheck.outcome == Outcome::Recovered)
                        delays.push_back(slotCheck.delayMs);
                    if (slotCheck.outcome == Outcome::Failed ||
                        slotCheck.outcome == Outcome::NeverShownDown ||
                        slotCheck.outcome == Outcome::ValuesWhileDown)
                        say(QStringLiteral("  sim %1 stopped at %2 s, up at %3 s: %4 slot %5 %6")
                                .arg(k + 1)
                                .arg(restart.stopMs / 1000, 0, 'f', 1)
                                .arg(restart.upMs / 1000, 0, 'f', 1)
                                .arg(monitors[m].name)
                                .arg(s)
                                .arg(slotCheck.outcome == Outcome::Failed
                                         ? QStringLiteral("did not show numbers again in time")
                                     : slotCheck.outcome == Outcome::NeverShownDown
                                         ? QStringLiteral("never showed ??? while it was away")
                                         : QStringLiteral("showed numbers while it was stopped")));
                }
            }
        }
    }
    int failedStarts = 0, unexpectedExits = 0;
    for (const auto &sim : sims) {
        failedStarts += sim->failedStarts();
        unexpectedExits += sim->unexpectedExits();
    }
    std::sort(delays.begin(), delays.end());
    const double worst = delays.empty() ? 0 : delays.back();
    const double median = delays.empty() ? 0 : delays[delays.size() / 2];
    say(QStringLiteral("simulators: %1 stops (%2 by SIGKILL, the rest SIGTERM), %3 failed starts, "
                       "%4 exits not ours")
            .arg(stops)
            .arg(kills)
            .arg(failedStarts)
            .arg(unexpectedExits));
    say(QStringLiteral("recoveries (slot by slot, both monitors): %1 back in time, worst %2 s, "
                       "median %3 s; %4 stopped again first; %5 too near the end; %6 failed")
            .arg(outcomes[size_t(Outcome::Recovered)])
            .arg(worst / 1000, 0, 'f', 1)
            .arg(median / 1000, 0, 'f', 1)
            .arg(outcomes[size_t(Outcome::CutShort)])
            .arg(outcomes[size_t(Outcome::Unfinished)])
            .arg(outcomes[size_t(Outcome::Failed)] + outcomes[size_t(Outcome::NeverShownDown)] +
                 outcomes[size_t(Outcome::ValuesWhileDown)]));
    if (outcomes[size_t(Outcome::Failed)] + outcomes[size_t(Outcome::NeverShownDown)] +
            outcomes[size_t(Outcome::ValuesWhileDown)] >
        0)
        failures << QStringLiteral("a restarted simulator's slot did not come back properly");
    if (unexpectedExits > 0) failures << QStringLiteral("a simulator exited by itself");

    QStringList answered;
    long requests = 0;
    for (int b = 0; b < soak::BrokenDevice::BehaviourCount; ++b) {
        requests += broken.answered()[size_t(b)];
        answered << QStringLiteral("%1 %2")
                        .arg(broken.answered()[size_t(b)])
                        .arg(QString::fromLatin1(
                            soak::BrokenDevice::name(soak::BrokenDevice::Behaviour(b))));
    }
    say(QStringLiteral("broken device: %1 requests over %2 connections: %3")
            .arg(requests)
            .arg(broken.connections())
            .arg(answered.join(QStringLiteral(", "))));
    if (requests == 0) failures << QStringLiteral("the broken device was never asked");

    if (failures.isEmpty()) {
        say(QStringLiteral("PASS"));
        return 0;
    }
    say(QStringLiteral("FAIL: %1").arg(failures.join(QStringLiteral("; "))));
    return 1;
}
