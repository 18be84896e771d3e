#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

// The traffic log: one line per frame sent or received and per connection event, appended to
// a file the operator names. Lines are buffered and written at least once a second; a regular
// file is rotated to FILE.1 at 10 MB. Nothing here ever waits for the file: it is opened and
// written without blocking, so a FIFO without a reader, or one whose reader stopped, never
// holds up the window. While the file takes nothing, lines are dropped and counted, and one
// line says how many once it takes lines again. A log that cannot be opened or written is
// reported once on standard error and from then on every call does nothing.
class TrafficLog : public QObject
{
    Q_OBJECT

public:
    explicit TrafficLog(const QString &path, QObject *parent = nullptr);
    // Writes what is still buffered.
    ~TrafficLog() override;

    QString path() const { return m_path; }
    // Opens the file for appending; false (and reported) when it cannot be opened at once.
    bool open();
    // Open, and nothing has failed since.
    bool isWorking() const { return m_file.isOpen() && !m_failed; }

    // A connection event of a link: "connecting to host:port", "connected", ...
    void connectionEvent(int link, const QString &text);
    // A frame that went out on a link, reading a slot; also says when that slot had been
    // skipped until then.
    void sent(int link, int slot, const QByteArray &frame);
    // A slot not read because its link is not connected: one line when that starts, not one
    // for every skip.
    void slotSkipped(int link, int slot);
    // A frame (or bytes dropped as one) taken from a link, with what was made of it.
    void received(int link, const QByteArray &frame, const QString &verdict);

    // Whether a link speaks RTU: its frames are then shown as they go over the line, each
    // with its CRC, instead of as the Modbus/TCP frames the reply path reads.
    void setRtu(int link, bool rtu);
    // Bytes an RTU link dropped: a frame whose CRC is wrong, or bytes no request asked for.
    void rtuDropped(int link, const QByteArray &bytes, bool crcError);

    // Writes the buffered lines now, as far as the file takes them.
    void flush();

    // An event of the MQTT broker connection, on a line of its own: "... MQTT -- lost: ...".
    void brokerEvent(const QString &text);

    static constexpr qint64 RotateBytes = 10 * 1024 * 1024;
    static constexpr int FlushIntervalMs = 1000;
    // A burst larger than this is written at once rather than waiting for the timer; lines
    // that do not fit while the file takes nothing are dropped.
    static constexpr int BufferBytes = 64 * 1024;

private:
    void append(const QByteArray &line);
    // Opens m_path into m_file without waiting; the system's reason when it cannot.
    std::optional<QString> openFile();
    // Writes what the file takes now of `bytes`: how many, or nothing when it failed.
    std::optional<qint64> writeSome(const QByteArray &bytes);
    bool rotate();
    void fail(const QString &what, const QString &reason);

    QString m_path;
    QFile m_file;
    // A FIFO or device is neither measured nor rotated.
    bool m_regular = true;
    qint64 m_size = 0;
    QByteArray m_buffer;
    QTimer m_flushTimer;
    bool m_failed = false;
    // Lines dropped since the file last took everything.
    qint64 m_dropped = 0;
    // The link each skipped slot was last skipped on.
    QHash<int, int> m_skippedOn;
    QSet<int> m_rtuLinks;
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
// The RTU frame a Modbus/TCP frame stands for on an RTU link, in hex: "rtu 07 04 ... CRC 3A41".
QString rtuFrameText(const QByteArray &mbap);
// One whole line with its end: local time with milliseconds, link letter, direction, text.
// ", unit 7 function 04" for a frame of another unit or function than a holding-register read
// of unit 1; nothing for those, whose lines read as they always did.
QString addressText(const QByteArray &frame);

QByteArray line(const QDateTime &time, int link, Direction direction, const QString &text);

// The line that stands for `count` lines dropped while the log's reader was behind.
QByteArray droppedLine(const QDateTime &time, qint64 count);

// The standard name of a Modbus exception code, empty for a code without one.
QString exceptionName(quint8 code);
// "exception 02 (illegal data address)".
QString exceptionText(quint8 code);

// What the reply path made of a received frame, in words: "slot 2 received 10 registers",
// "late, slot 0 received 4 registers", "dropped: no outstanding request 0x1234",
// "4 registers not shown: slot 3 was edited since the request", ...
QString verdictText(const frames::ReplyVerdict &verdict);
// Why a reply that answered a request brought no registers: "exception 02 (illegal data
// address)", "byte count 4, asked 10 registers", ...
QString lossText(const frames::ReplyVerdict &verdict);

constexpr int ShownFrameBytes = 64;

} // namespace traffic
