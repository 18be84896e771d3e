#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// The traffic log: one line per frame sent or received and per connection event, appended to
// a file the operator names. Lines are buffered and written at least once a second; the file
// is rotated to FILE.1 at 10 MB. A log that cannot be written is reported once on standard
// error and from then on every call does nothing.
class TrafficLog : public QObject
{
    Q_OBJECT

public:
    explicit TrafficLog(const QString &path, QObject *parent = nullptr);
    // Writes what is still buffered.
    ~TrafficLog() override;

    QString path() const { return m_path; }
    // Opens the file for appending; false (and reported) when it cannot be written.
    bool open();
    // Open, and nothing has failed since.
    bool isWorking() const { return m_file.isOpen() && !m_failed; }

    // A connection event of a link: "connecting to host:port", "connected", ...
    void connectionEvent(int link, const QString &text);
    // A frame that went out on a link.
    void sent(int link, const QByteArray &frame);
    // A frame (or bytes dropped as one) taken from a link, with what was made of it.
    void received(int link, const QByteArray &frame, const QString &verdict);

    // Writes the buffered lines now.
    void flush();

    // An event of the MQTT broker connection, on a line of its own: "... MQTT -- lost: ...".
    void brokerEvent(const QString &text);

    static constexpr qint64 RotateBytes = 10 * 1024 * 1024;
    static constexpr int FlushIntervalMs = 1000;
    // A burst larger than this is written at once rather than waiting for the timer.
    static constexpr int BufferBytes = 64 * 1024;

private:
    void append(const QByteArray &line);
    bool rotate();
    void fail(const QString &what, const QString &reason);

    QString m_path;
    QFile m_file;
    qint64 m_size = 0;
    QByteArray m_buffer;
    QTimer m_flushTimer;
    bool m_failed = false;
};

namespace frames
{
struct ReplyVerdict;
}

// The parts of a traffic log line, as plain functions.
namespace traffic
{

enum class Direction { Sent, Received, Event };

// A transaction identifier as the log shows it: 0x0001.
QString transactionText(quint16 id);
// A frame's transaction identifier and its bytes in hex; over 64 bytes, the first 64 and the
// frame's length.
QString frameText(const QByteArray &frame);
// One whole line with its end: local time with milliseconds, link letter, direction, text.
QByteArray line(const QDateTime &time, int link, Direction direction, const QString &text);

// The standard name of a Modbus exception code, empty for a code without one.
QString exceptionName(quint8 code);
// "exception 02 (illegal data address)".
QString exceptionText(quint8 code);

// What the reply path made of a received frame, in words: "slot 2 received 10 registers",
// "late, slot 0 received 4 registers", "dropped: no outstanding request 0x1234", ...
QString verdictText(const frames::ReplyVerdict &verdict);

constexpr int ShownFrameBytes = 64;

} // namespace traffic
