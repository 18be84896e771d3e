#include "traffic/trafficlog.h"

#include "modbus/outstanding.h"

#include <QtGlobal>

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
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        fail(QStringLiteral("cannot open"), m_file.errorString());
        return false;
    }
    m_size = m_file.size();
    return true;
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

void TrafficLog::sent(int link, const QByteArray &frame)
{
    if (!isWorking()) return;
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Sent,
                         traffic::frameText(frame)));
}

void TrafficLog::received(int link, const QByteArray &frame, const QString &verdict)
{
    if (!isWorking()) return;
    append(traffic::line(QDateTime::currentDateTime(), link, traffic::Direction::Received,
                         traffic::frameText(frame) + QStringLiteral(" | ") + verdict));
}

void TrafficLog::append(const QByteArray &line)
{
    m_buffer += line;
    if (m_buffer.size() >= BufferBytes)
        flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void TrafficLog::flush()
{
    m_flushTimer.stop();
    if (m_buffer.isEmpty() || !isWorking()) {
        m_buffer.clear();
        return;
    }
    // The file never grows past the limit: a write that would take it there starts a new one.
    if (m_size > 0 && m_size + m_buffer.size() > RotateBytes && !rotate()) return;
    if (m_file.write(m_buffer) != m_buffer.size() || !m_file.flush()) {
        fail(QStringLiteral("cannot write"), m_file.errorString());
        return;
    }
    m_size += m_buffer.size();
    m_buffer.clear();
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
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        fail(QStringLiteral("cannot start a new file"), m_file.errorString());
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

QString verdictText(const frames::ReplyVerdict &verdict)
{
    using Kind = frames::ReplyVerdict::Kind;
    using Loss = frames::ReplyVerdict::Loss;
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
    text += QStringLiteral("slot %1 ").arg(verdict.request ? verdict.request->slot : -1);
    if (verdict.kind == Kind::Registers)
        return text + QStringLiteral("received %1 registers").arg(verdict.registers);

    text += QStringLiteral("data loss: ");
    const int asked = verdict.request ? verdict.request->quantity : 0;
    switch (verdict.loss) {
    case Loss::Exception:
        return text + exceptionText(quint8(verdict.exceptionCode));
    case Loss::ByteCount:
        return text + QStringLiteral("byte count %1, asked %2 registers")
                          .arg(verdict.byteCount)
                          .arg(asked);
    case Loss::Function:
        return text + QStringLiteral("function ") + upperHex(uint(verdict.function), 2);
    case Loss::Truncated:
        return text + QStringLiteral("byte count %1, frame cut short").arg(verdict.byteCount);
    case Loss::None:
        break;
    }
    return text + QStringLiteral("no registers");
}

} // namespace traffic
