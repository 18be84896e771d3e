#include "simfleet.h"

#include "soakclock.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <csignal>
#include <sys/prctl.h>

namespace soak
{

namespace
{

// How long a simulator stays up, and down, between the soak's stops.
constexpr int MinUpMs = 10000;
constexpr int MaxUpMs = 30000;
constexpr int MinDownMs = 2000;
constexpr int MaxDownMs = 8000;
constexpr double KillShare = 0.3;
constexpr int RetryMs = 500;

} // namespace

SimProcess::SimProcess(const QString &program, std::mt19937 &random, QObject *parent)
    : QObject(parent), m_program(program), m_random(random)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    // Whatever ends the soak, the simulator goes with it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_action.setSingleShot(true);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &SimProcess::onOutput);
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray text = m_process.readAllStandardError().trimmed();
        if (!text.isEmpty()) m_lastError = QString::fromLocal8Bit(text.right(200));
    });
    connect(&m_process, &QProcess::finished, this, &SimProcess::onFinished);
}

SimProcess::~SimProcess()
{
    shutdown();
}

bool SimProcess::startFirst()
{
    // A free port can be taken before the simulator binds it: try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) return false;
        m_port = probe.serverPort();
        probe.close();
        launch();
        QElapsedTimer waited;
        waited.start();
        while (m_state == State::Starting && waited.elapsed() < 5000 &&
               m_process.state() != QProcess::NotRunning)
            m_process.waitForReadyRead(100);
        if (m_state == State::Up) return true;
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
        m_state = State::Down;
    }
    return false;
}

void SimProcess::runChaos(double fromMs, double untilMs)
{
    m_chaosFrom = fromMs;
    m_chaosUntil = untilMs;
    if (m_state == State::Up) scheduleStop();
}

void SimProcess::shutdown()
{
    m_action.stop();
    m_action.disconnect();
    m_state = State::Shut;
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

void SimProcess::launch()
{
    m_state = State::Starting;
    m_pending.clear();
    m_process.start(m_program, {QString::number(m_port)});
}

void SimProcess::onOutput()
{
    m_pending += m_process.readAllStandardOutput();
    // Only whole lines count; the rest waits for the next read.
    const qsizetype end = m_pending.lastIndexOf('\n');
    if (end < 0) return;
    const QByteArray lines = m_pending.left(end + 1);
    m_pending.remove(0, end + 1);
    if (m_state == State::Starting && lines.contains("listening on")) {
        m_state = State::Up;
        if (!m_restarts.empty() && m_restarts.back().upMs < 0) m_restarts.back().upMs = nowMs();
        scheduleStop();
    }
}

void SimProcess::onFinished()
{
    const double now = nowMs();
    switch (m_state) {
    case State::Stopping:
        m_state = State::Down;
        if (!m_restarts.empty()) m_restarts.back().goneMs = now;
        break;
    case State::Starting:
        // The port may still be held for a moment; the start is tried again.
        ++m_failedStarts;
        m_state = State::Down;
        m_downUntilMs = now + RetryMs;
        break;
    case State::Up:
        // Not our doing: recorded, and brought back like a stop of ours.
        ++m_unexpectedExits;
        if (!m_restarts.empty() && m_restarts.back().nextStopMs < 0)
            m_restarts.back().nextStopMs = now;
        m_restarts.push_back({now, now, -1, -1, false});
        m_state = State::Down;
        m_downUntilMs = now + RetryMs;
        break;
    case State::Down:
    case State::Shut:
        return;
    }
    m_action.disconnect();
    connect(&m_action, &QTimer::timeout, this, [this] {
        if (m_state == State::Down) launch();
    });
    m_action.start(int(std::max(0.0, m_downUntilMs - now)));
}

void SimProcess::scheduleStop()
{
    m_action.stop();
    m_action.disconnect();
    if (m_chaosUntil < 0) return;
    std::uniform_int_distribution<int> upFor(MinUpMs, MaxUpMs);
    const double now = nowMs();
    const double at = std::max(now + upFor(m_random), m_chaosFrom);
    if (at > m_chaosUntil) return;
    connect(&m_action, &QTimer::timeout, this, &SimProcess::stopNow);
    m_action.start(int(at - now));
}

void SimProcess::stopNow()
{
    if (m_state != State::Up) return;
    const double now = nowMs();
    std::uniform_int_distribution<int> downFor(MinDownMs, MaxDownMs);
    std::bernoulli_distribution kill(KillShare);
    const bool killed = kill(m_random);
    if (!m_restarts.empty() && m_restarts.back().nextStopMs < 0) m_restarts.back().nextStopMs = now;
    m_restarts.push_back({now, -1, -1, -1, killed});
    m_downUntilMs = now + downFor(m_random);
    m_state = State::Stopping;
    if (killed)
        m_process.kill();
    else
        m_process.terminate();
}

} // namespace soak
