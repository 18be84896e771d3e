#include "traffic/trafficlog.h"

#include "modbus/outstanding.h"
#include "modbus/rtu.h"
#include "modbus/valueformat.h"

#include <QtGlobal>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

TrafficLog::TrafficLog(const QString &path, QObject *parent) : QObject(parent), m_path(path)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(FlushIntervalMs);
    m_flushTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_flushTimer, &QTimer::timeout, this, &TrafficLog::flush);
}

TrafficLog::~TrafficLog()
{
    flush();
}

bool TrafficLog::open()
{
    if (m_failed) return false;
    if (m_file.isOpen()) return true;
    if (const std::optional<QString> reason = openFile()) {
        fail(QStringLiteral("cannot open"), *reason);
        return false;
    }
    return true;
}

std::optional<QString> TrafficLog::openFile()
{
    m_file.setFileName(m_path);
#ifdef Q_OS_UNIX
    // Non-blocking: a FIFO without a reader then fails at once instead of waiting for one.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ENXIO) return QStringLiteral("nothing reads this FIFO");
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    struct stat info = {};
    m_regular = ::fstat(fd, &info) != 0 || S_ISREG(info.st_mode);
    m_size = m_regular ? qint64(info.st_size) : 0;
    // A reader that goes away must not end the program: the write then only fails.
    if (!m_regular) ::signal(SIGPIPE, SIG_IGN);
    // O_APPEND does the appending; Qt would seek to the end, which a FIFO refuses.
    if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                     QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return m_file.errorString();
    }
#else
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return m_file.errorString();
    m_size = m_file.size();
#endif
    return std::nullopt;
}

std::optional<qint64> TrafficLog::writeSome(const QByteArray &bytes)
{
#ifdef Q_OS_UNIX
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::write(m_file.handle(), bytes.constData() + done, size_t(bytes.size() - done));
        if (written > 0) {
            done += written;
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        // The reader is behind, or gone for now: the rest waits.
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EPIPE)) break;
        fail(QStringLiteral("cannot write"),
             QString::fromLocal8Bit(std::strerror(written < 0 ? errno : EIO)));
        return std::nullopt;
    }
    return done;
#else
    const qint64 written = m_file.write(bytes);
    if (written != bytes.size()) {
        fail(QStringLiteral("cannot write"), m_file.errorString());
        return std::nullopt;
    }
    return written;
#endif
}

void TrafficLog::connectionEvent(int link, const QString &text)
{
    if (!isWorking()) return;
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Event, text));
}

void TrafficLog::brokerEvent(const QString &text)
{
    if (!isWorking()) return;
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    append((stamp + QStringLiteral(" MQTT -- ") + text + u'\n').toUtf8());
}

void TrafficLog::sent(int link, int slot, const QByteArray &frame)
{
    if (!isWorking()) return;
    const bool rtu = m_rtuLinks.contains(link);
    QString text = (rtu ? traffic::rtuFrameText(frame) : traffic::frameText(frame)) +
                   QStringLiteral(" | slot %1").arg(slot);
    if (m_skippedOn.remove(slot)) text += QStringLiteral(", read again");
    text += traffic::addressText(frame);
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Sent, text));
}

void TrafficLog::slotSkipped(int link, int slot)
{
    if (!isWorking()) return;
    const auto skipped = m_skippedOn.constFind(slot);
    if (skipped != m_skippedOn.cend() && *skipped == link) return;
    m_skippedOn.insert(slot, link);
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Event,
                         QStringLiteral("slot %1 skipped: not connected").arg(slot)));
}

void TrafficLog::received(int link, const QByteArray &frame, const QString &verdict)
{
    if (!isWorking()) return;
    const bool rtu = m_rtuLinks.contains(link);
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Received,
                         (rtu ? traffic::rtuFrameText(frame) + QStringLiteral(" ok")
                              : traffic::frameText(frame)) +
                             QStringLiteral(" | ") + verdict + traffic::addressText(frame)));
}

void TrafficLog::setRtu(int link, bool rtu)
{
    if (rtu)
        m_rtuLinks.insert(link);
    else
        m_rtuLinks.remove(link);
}

void TrafficLog::rtuDropped(int link, const QByteArray &bytes, bool crcError)
{
    if (!isWorking()) return;
    QString text = QStringLiteral("rtu ") + QString::fromLatin1(bytes.left(64).toHex(' ').toUpper());
    if (bytes.size() > 64) text += QStringLiteral(" ... (%1 bytes)").arg(bytes.size());
    text += crcError ? QStringLiteral(" | dropped: CRC error")
                     : QStringLiteral(" | dropped: %1 bytes no request asked for").arg(bytes.size());
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Received, text));
}

void TrafficLog::append(const QByteArray &line)
{
    // Once lines are dropped, they are until the file has taken everything before them, so
    // the gap is one and its line stands where it is.
    if (m_dropped > 0 && !m_buffer.isEmpty()) {
        ++m_dropped;
        return;
    }
    if (m_dropped > 0) {
        m_buffer += traffic::droppedLine(QDateTime::currentDateTime(), m_dropped);
        m_dropped = 0;
    }
    if (m_buffer.size() + line.size() > BufferBytes) {
        flush();
        if (!isWorking()) return;
        if (m_buffer.size() + line.size() > BufferBytes) {
            ++m_dropped;
            return;
        }
    }
    m_buffer += line;
    if (!m_flushTimer.isActive()) m_flushTimer.start();
}

void TrafficLog::flush()
{
    m_flushTimer.stop();
    if (m_buffer.isEmpty() || !isWorking()) {
        m_buffer.clear();
        return;
    }
    // The file never grows past the limit: a write that would take it there starts a new one.
    if (m_regular && m_size > 0 && m_size + m_buffer.size() > RotateBytes && !rotate()) return;
    const std::optional<qint64> written = writeSome(m_buffer);
    if (!written) return;
    m_size += *written;
    m_buffer.remove(0, *written);
    // What the reader did not take yet is tried again a second later.
    if (!m_buffer.isEmpty()) m_flushTimer.start();
}

bool TrafficLog::rotate()
{
    m_file.close();
    const QString older = m_path + QStringLiteral(".1");
    QFile::remove(older);
    QFile current(m_path);
    if (!current.rename(older)) {
        fail(QStringLiteral("cannot rename it to ") + older, current.errorString());
        return false;
    }
    m_size = 0;
    if (const std::optional<QString> reason = openFile()) {
        fail(QStringLiteral("cannot start a new file"), *reason);
        return false;
    }
    return true;
}

void TrafficLog::fail(const QString &what, const QString &reason)
{
    if (m_failed) return;
    m_failed = true;
    m_buffer.clear();
    m_flushTimer.stop();
    m_file.close();
    qWarning().noquote() << QStringLiteral("quorvel: traffic log %1: %2: %3; polling goes on "
                                           "without it")
                                .arg(m_path, what, reason);
}

namespace traffic
{

namespace
{

QString upperHex(uint value, int digits)
{
    return QString::number(value, 16).toUpper().rightJustified(digits, u'0');
}

} // namespace

QString transactionText(quint16 id)
{
    return QStringLiteral("0x") + upperHex(id, 4);
}

QString frameText(const QByteArray &frame)
{
    // Fewer than two bytes hold no identifier.
    const QString id =
        frame.size() >= 2
            ? transactionText(quint16((quint8(frame.at(0)) << 8) | quint8(frame.at(1))))
            : QStringLiteral("------");
    QString text =
        id + u' ' + QString::fromLatin1(frame.left(ShownFrameBytes).toHex(' ').toUpper());
    if (frame.size() > ShownFrameBytes) text += QStringLiteral(" ... (%1 bytes)").arg(frame.size());
    return text;
}

QString rtuFrameText(const QByteArray &mbap)
{
    const QByteArray frame = rtu::fromMbap(mbap);
    if (frame.isEmpty()) return frameText(mbap);
    const QByteArray body = frame.left(frame.size() - 2);
    return QStringLiteral("rtu ") + QString::fromLatin1(body.left(64).toHex(' ').toUpper()) +
           QStringLiteral(" CRC ") + QString::fromLatin1(frame.right(2).toHex().toUpper());
}

QString addressText(const QByteArray &frame)
{
    // Only a whole frame of the protocol says which unit and function it is about.
    if (frame.size() < 8 || frame.at(2) != 0 || frame.at(3) != 0 ||
        ((quint8(frame.at(4)) << 8) | quint8(frame.at(5))) != frame.size() - 6)
        return QString();
    const int unit = quint8(frame.at(6));
    const quint8 function = quint8(frame.at(7));
    if (unit == 1 && (function & 0x7F) == 0x03) return QString();
    return QStringLiteral(", unit %1 function %2").arg(unit).arg(upperHex(function, 2));
}

QByteArray line(const QDateTime &time, int link, Direction direction, const QString &text)
{
    const QChar letter = link >= 0 && link < 26 ? QChar(u'A' + link) : QChar(u'?');
    const char *arrow = direction == Direction::Sent       ? "TX"
                        : direction == Direction::Received ? "RX"
                                                           : "--";
    QString result = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    result += u' ';
    result += letter;
    result += u' ';
    result += QLatin1String(arrow);
    result += u' ';
    result += text;
    result += u'\n';
    return result.toUtf8();
}

QByteArray droppedLine(const QDateTime &time, qint64 count)
{
    return (time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
            QStringLiteral(" - -- %1 lines dropped: the log's reader fell behind\n").arg(count))
        .toUtf8();
}

QString exceptionName(quint8 code)
{
    switch (code) {
    case 0x01:
        return QStringLiteral("illegal function");
    case 0x02:
        return QStringLiteral("illegal data address");
    case 0x03:
        return QStringLiteral("illegal data value");
    case 0x04:
        return QStringLiteral("server device failure");
    case 0x05:
        return QStringLiteral("acknowledge");
    case 0x06:
        return QStringLiteral("server device busy");
    case 0x08:
        return QStringLiteral("memory parity error");
    case 0x0A:
        return QStringLiteral("gateway path unavailable");
    case 0x0B:
        return QStringLiteral("gateway target device failed to respond");
    default:
        return QString();
    }
}

QString exceptionText(quint8 code)
{
    const QString name = exceptionName(code);
    QString text = QStringLiteral("exception ") + upperHex(code, 2);
    if (!name.isEmpty()) text += QStringLiteral(" (") + name + u')';
    return text;
}

namespace
{

bool readsBits(const frames::ReplyVerdict &verdict)
{
    return verdict.request && valueformat::readsBits(verdict.request->function);
}

} // namespace

QString verdictText(const frames::ReplyVerdict &verdict)
{
    using Kind = frames::ReplyVerdict::Kind;
    switch (verdict.kind) {
    case Kind::Unmatched:
        // Identifier 0 with several requests owed: taken as the oldest one's answer, not shown.
        if (verdict.retired)
            return QStringLiteral("dropped: identifier 0 with several requests outstanding, "
                                  "slot %1 taken as answered")
                .arg(verdict.retired->slot);
        return QStringLiteral("dropped: no outstanding request ") +
               transactionText(verdict.transaction);
    case Kind::Malformed: {
        QString text = QStringLiteral("malformed: length field %1, %2 bytes dropped")
                           .arg(verdict.lengthField)
                           .arg(verdict.droppedBytes);
        if (verdict.owed) text += QStringLiteral(", data loss");
        return text;
    }
    case Kind::Registers:
    case Kind::DataLoss:
        break;
    }

    QString text = verdict.late() ? QStringLiteral("late, ") : QString();
    const int slot = verdict.request ? verdict.request->slot : -1;
    if (verdict.kind == Kind::Registers && verdict.slotEdited)
        return text +
               QStringLiteral("%1 %2 not shown: slot %3 was edited since the request")
                   .arg(verdict.registers)
                   .arg(readsBits(verdict) ? QStringLiteral("bits") : QStringLiteral("registers"))
                   .arg(slot);
    text += QStringLiteral("slot %1 ").arg(slot);
    if (verdict.kind == Kind::Registers)
        return text +
               QStringLiteral("received %1 %2")
                   .arg(verdict.registers)
                   .arg(readsBits(verdict) ? QStringLiteral("bits") : QStringLiteral("registers"));

    return text + QStringLiteral("data loss: ") + lossText(verdict);
}

QString lossText(const frames::ReplyVerdict &verdict)
{
    using Loss = frames::ReplyVerdict::Loss;
    const int asked = verdict.request ? verdict.request->quantity : 0;
    switch (verdict.loss) {
    case Loss::Exception:
        return exceptionText(quint8(verdict.exceptionCode));
    case Loss::ByteCount:
        return QStringLiteral("byte count %1, asked %2 %3")
            .arg(verdict.byteCount)
            .arg(asked)
            .arg(readsBits(verdict) ? QStringLiteral("bits") : QStringLiteral("registers"));
    case Loss::Function:
        return QStringLiteral("function ") + upperHex(uint(verdict.function), 2);
    case Loss::Truncated:
        return QStringLiteral("byte count %1, frame cut short").arg(verdict.byteCount);
    case Loss::None:
        break;
    }
    return QStringLiteral("no registers");
}

} // namespace traffic
