#include "modbus/rtu.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace rtu
{

quint16 crc16(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

QByteArray withCrc(const QByteArray &bytes)
{
    const quint16 crc = crc16(bytes);
    return bytes + char(crc & 0xFF) + char(crc >> 8);
}

bool crcHolds(const QByteArray &frame)
{
    if (frame.size() < 3) return false;
    const quint16 crc = crc16(frame.left(frame.size() - 2));
    return quint8(frame.at(frame.size() - 2)) == (crc & 0xFF) &&
           quint8(frame.at(frame.size() - 1)) == (crc >> 8);
}

QByteArray fromMbap(const QByteArray &mbap)
{
    if (mbap.size() < 8) return {};
    return withCrc(mbap.mid(6));
}

QByteArray toMbap(const QByteArray &rtuFrame, quint16 transaction)
{
    const QByteArray body = rtuFrame.left(std::max<qsizetype>(rtuFrame.size() - 2, 0));
    QByteArray mbap;
    mbap += char(transaction >> 8);
    mbap += char(transaction & 0xFF);
    mbap += QByteArray(2, '\0');
    mbap += char(body.size() >> 8);
    mbap += char(body.size() & 0xFF);
    return mbap + body;
}

int silenceMicroseconds(int baud)
{
    if (baud <= 0 || baud > 19200) return 1750;
    return int((3.5 * 11 * 1000000.0) / baud + 0.5);
}

std::optional<LineSettings> parseLineSettings(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^\\s*([1-9][0-9]{1,6})(?:\\s+([5-8])([NEOneo])([12]))?\\s*$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) return std::nullopt;
    LineSettings line;
    line.baud = match.captured(1).toInt();
    if (line.baud < 50 || line.baud > 4000000) return std::nullopt;
    if (match.hasCaptured(2)) {
        line.dataBits = match.captured(2).toInt();
        line.parity = match.captured(3).toUpper().at(0).toLatin1();
        line.stopBits = match.captured(4).toInt();
    }
    return line;
}

bool isPseudoTerminal(const QString &device)
{
    return QFileInfo(device).canonicalFilePath().startsWith(QLatin1String("/dev/pts/"));
}

QString lineSettingsText(const LineSettings &line)
{
    return QStringLiteral("%1 %2%3%4")
        .arg(line.baud)
        .arg(line.dataBits)
        .arg(QChar::fromLatin1(line.parity))
        .arg(line.stopBits);
}

LinkTarget targetOf(const QString &hostText)
{
    static const QRegularExpression comPort(QStringLiteral("^COM[0-9]+$"),
                                            QRegularExpression::CaseInsensitiveOption);
    LinkTarget target;
    // No host name starts with a slash: any absolute path is a device, or a link to one.
    if (hostText.startsWith(u'/') || comPort.match(hostText).hasMatch()) {
        target.kind = LinkTarget::Kind::Serial;
        target.host = hostText;
    } else if (hostText.startsWith(QLatin1String("rtu:"))) {
        target.kind = LinkTarget::Kind::RtuOverTcp;
        target.host = hostText.mid(4);
    } else {
        target.host = hostText;
    }
    return target;
}

Receiver::Result Receiver::expect(const QByteArray &mbapRequest)
{
    Result result;
    if (!m_buffer.isEmpty()) result.dropped.append({Dropped::Why::Unexpected, m_buffer});
    m_buffer.clear();
    m_expected.reset();
    if (mbapRequest.size() >= 8)
        m_expected = Expected{quint8(mbapRequest[6]), quint8(mbapRequest[7]),
                              quint16((quint8(mbapRequest[0]) << 8) | quint8(mbapRequest[1]))};
    return result;
}

void Receiver::forget()
{
    m_buffer.clear();
    m_expected.reset();
}

Receiver::Result Receiver::feed(const QByteArray &bytes)
{
    Result result;
    m_buffer += bytes;
    while (!m_buffer.isEmpty()) {
        if (!m_expected) {
            result.dropped.append({Dropped::Why::Unexpected, m_buffer});
            m_buffer.clear();
            break;
        }
        const quint8 unit = m_expected->unit;
        const quint8 function = m_expected->function;
        const quint8 exception = function | 0x80;
        // The reply starts with the request's address and its function (or its exception).
        qsizetype start = 0;
        while (start < m_buffer.size()) {
            if (quint8(m_buffer[start]) == unit &&
                (start + 1 == m_buffer.size() || quint8(m_buffer[start + 1]) == function ||
                 quint8(m_buffer[start + 1]) == exception))
                break;
            ++start;
        }
        if (start > 0) {
            result.dropped.append({Dropped::Why::Unexpected, m_buffer.left(start)});
            m_buffer.remove(0, start);
        }
        if (m_buffer.size() < 3) break;
        const qsizetype whole =
            quint8(m_buffer[1]) == exception ? 5 : 5 + qsizetype(quint8(m_buffer[2]));
        if (m_buffer.size() < whole) break;
        const QByteArray frame = m_buffer.left(whole);
        m_buffer.remove(0, whole);
        if (!crcHolds(frame)) {
            result.dropped.append({Dropped::Why::Crc, frame});
            continue;
        }
        result.replies.append(toMbap(frame, m_expected->transaction));
        m_expected.reset();
    }
    return result;
}

} // namespace rtu
