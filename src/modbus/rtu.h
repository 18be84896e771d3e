#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

// Modbus RTU framing, for links on a serial line or passing RTU frames over TCP. The rest of
// the program speaks Modbus/TCP frames; a link that speaks RTU turns its requests into RTU
// frames on the way out and the replies it takes back into Modbus/TCP frames. Plain functions
// and one small value class: no widgets, no sockets.
namespace rtu
{

// CRC-16 of the Modbus polynomial (0xA001 reflected, starting at 0xFFFF).
quint16 crc16(const QByteArray &bytes);
// The bytes with their CRC appended, low byte first.
QByteArray withCrc(const QByteArray &bytes);
// True when the frame's last two bytes are the CRC of the rest.
bool crcHolds(const QByteArray &frame);

// The RTU frame of a Modbus/TCP request: its unit (the RTU address) and PDU, then the CRC.
// Empty when the request is shorter than a header and a function code.
QByteArray fromMbap(const QByteArray &mbap);
// An RTU frame (with its CRC) as the Modbus/TCP frame the reply path reads, carrying the
// transaction identifier of the request it answers.
QByteArray toMbap(const QByteArray &rtuFrame, quint16 transaction);

// The silence that separates frames: 3.5 characters of 11 bits, at least 1750 microseconds
// (the fixed value above 19,200 baud).
int silenceMicroseconds(int baud);

// How a serial line is set up, from the port box: "BAUD" or "BAUD DPS", e.g. "19200",
// "9600 8N1", "19200 8E1". A baud alone means 8 data bits, even parity and 1 stop bit.
struct LineSettings {
    int baud = 19200;
    int dataBits = 8;
    char parity = 'E';
    int stopBits = 1;
};
std::optional<LineSettings> parseLineSettings(const QString &text);
// A pseudo-terminal carries bytes, not characters on a wire: it takes no parity, so a line
// set up for one is used as it is (tests and line simulators use them).
bool isPseudoTerminal(const QString &device);
QString lineSettingsText(const LineSettings &line);

// What a link's two boxes name: Modbus/TCP as always, RTU frames over TCP ("rtu:HOST"), or
// a serial port (a host text that is an absolute path such as /dev/ttyUSB0, or COM and
// digits).
struct LinkTarget {
    enum class Kind { Tcp, RtuOverTcp, Serial };
    Kind kind = Kind::Tcp;
    QString host; // the TCP host, or the serial device
    LineSettings line;
};
// The kind and host the host text names; the port box is read by the caller for TCP.
LinkTarget targetOf(const QString &hostText);

// Takes the bytes a line delivers and hands back the replies among them, one request at a
// time. A reply is whole when the length its function and byte count give (5 bytes for an
// exception) has arrived; it is taken only with the request's address and function and a
// right CRC. Everything else is dropped and said why.
class Receiver
{
public:
    struct Dropped {
        enum class Why {
            Crc,       // a frame of the expected address and function, its CRC wrong
            Unexpected // another address, noise, or bytes with no request out
        };
        Why why = Why::Unexpected;
        QByteArray bytes;
    };
    struct Result {
        QList<QByteArray> replies; // as Modbus/TCP frames
        QList<Dropped> dropped;
    };

    // A request went out (as the Modbus/TCP frame it was built as): what is left over from
    // before is dropped, and its reply is looked for.
    Result expect(const QByteArray &mbapRequest);
    // No reply is looked for any more (the link closed).
    void forget();
    Result feed(const QByteArray &bytes);
    bool expecting() const { return m_expected.has_value(); }

private:
    struct Expected {
        quint8 unit = 0;
        quint8 function = 0;
        quint16 transaction = 0;
    };
    QByteArray m_buffer;
    std::optional<Expected> m_expected;
};

} // namespace rtu
