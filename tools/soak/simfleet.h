#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <random>
#include <vector>

// A quorvel-sim process that the soak stops and starts again at random, always on the port it
// first listened on (127.0.0.1).
namespace soak
{

// One stop of a simulator and its return.
struct Restart {
    double stopMs = 0;      // the signal was sent
    double goneMs = -1;     // the process had ended
    double upMs = -1;       // listening again; -1 while it has not come back
    double nextStopMs = -1; // its next stop; -1 when it stayed up to the end
    bool killed = false;    // SIGKILL rather than SIGTERM
};

class SimProcess : public QObject
{
    Q_OBJECT

public:
    SimProcess(const QString &program, std::mt19937 &random, QObject *parent = nullptr);
    ~SimProcess() override;

    // Starts it on a free port and waits until it listens.
    bool startFirst();
    quint16 port() const { return m_port; }

    // From now on it is stopped and started at random; stops fall between fromMs and untilMs.
    void runChaos(double fromMs, double untilMs);
    // Ends the chaos and the process.
    void shutdown();

    const std::vector<Restart> &restarts() const { return m_restarts; }
    int failedStarts() const { return m_failedStarts; }
    int unexpectedExits() const { return m_unexpectedExits; }
    bool up() const { return m_state == State::Up; }
    QString lastError() const { return m_lastError; }

private:
    enum class State { Starting, Up, Stopping, Down, Shut };

    void launch();
    void onOutput();
    void onFinished();
    void scheduleStop();
    void stopNow();

    QString m_program;
    std::mt19937 &m_random;
    QProcess m_process;
    QTimer m_action;
    QByteArray m_pending;
    quint16 m_port = 0;
    State m_state = State::Down;
    double m_chaosFrom = 0, m_chaosUntil = -1;
    double m_downUntilMs = 0;
    std::vector<Restart> m_restarts;
    int m_failedStarts = 0;
    int m_unexpectedExits = 0;
    QString m_lastError;
};

} // namespace soak
