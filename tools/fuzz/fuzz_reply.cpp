// The reply path of a real window over a real loopback connection: the read transaction
// sends its request, a device written here answers with arbitrary bytes in arbitrary
// arrivals, and the data-arrival handler must fill the grid only from a reply that carries
// exactly the registers asked for.
//
// Input: a control byte, the count text up to the first line break, the start register text
// up to the next one, then the arrivals, each a length byte followed by that many bytes (at
// most 16 arrivals; the last one takes whatever is left).
//   control bits 0-2  slotIdx: 0, 1, 2, 3, 4, or the out-of-range -1, 5, 300
//   control bit 3     the slot's device list has no selection (devIdx stays at link 0)
//   control bits 4-6  what the slot reads: u16 holding registers of unit 1, f32:cdab, f64:dcba,
//                     s32:badc, coils, discrete inputs of unit 0, hex input registers of unit
//                     247, s16

#include "app/optionip.h"
#include "fuzzcheck.h"
#include "links/winsock.h"
#include "modbus/frames.h"
#include "modbus/valueformat.h"
#include "numbers/numbers.h"

#include <QLocale>
#include <QSpinBox>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/socket.h>

using fuzzcheck::hex;
using fuzzcheck::quoted;

namespace
{

constexpr int GridSize = 30;
constexpr int MaxArrivals = 16;
constexpr int WaitMs = 5000;
const QString Untouched = QStringLiteral("-");

// Not a finding of the code under test: the harness itself could not do its part.
[[noreturn]] void harnessFailure(const char *what)
{
    std::fprintf(stderr, "fuzz_reply harness: %s\n", what);
    std::abort();
}

struct Harness {
    QTemporaryDir dir;
    OptionIP *window = nullptr;
    QTcpServer server;
    QTcpSocket *device = nullptr; // the device's end of link 0
    QByteArray received;          // what link 0 sent the device
    quint64 sent = 0;             // what the device sent link 0 since it connected
};

Harness *harness = nullptr;

// Bytes waiting in the kernel for a socket's reader.
int kernelWaiting(qintptr descriptor)
{
    int waiting = 0;
    if (::ioctl(int(descriptor), SIOCINQ, &waiting) != 0) harnessFailure("SIOCINQ failed");
    return waiting;
}

// Bytes a socket's TCP has received since it connected, read or not.
quint64 tcpBytesReceived(qintptr descriptor)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(int(descriptor), IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        harnessFailure("TCP_INFO without tcpi_bytes_received");
    return info.tcpi_bytes_received;
}

// Runs the event loop until `done` holds; the harness gives up after a few seconds.
template <typename Done> void processUntil(Done done, const char *what)
{
    const QDeadlineTimer deadline(WaitMs);
    while (!done()) {
        if (deadline.hasExpired()) harnessFailure(what);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

QtMessageHandler qtHandler = nullptr;

// Texts in scripts that no installed font shapes make Qt warn once per font; that says
// nothing about the code under test and would bury the report of a finding.
void quietFontWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("OpenType support missing"))) return;
    if (qtHandler)
        qtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

void setUp()
{
    qtHandler = qInstallMessageHandler(quietFontWarnings);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_reply";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);

    // The harness lives as long as the process; only its directory is cleaned up at exit.
    harness = new Harness;
    if (!harness->dir.isValid()) harnessFailure("no temporary directory");
    std::atexit([] { harness->dir.remove(); });
    auto *w = new OptionIP(harness->dir.path());
    harness->window = w;
    w->tabel->setRowCount(GridSize);
    w->tabel->setColumnCount(GridSize);
    // No host text that anything could dial, and no next poll step behind the reply: the
    // grid must show this one read only.
    for (QLineEdit *host : w->txtIP)
        host->clear();
    QObject::disconnect(w->Timer4, &QTimer::timeout, w, nullptr);

    if (!harness->server.listen(QHostAddress(QHostAddress::LocalHost), 0))
        harnessFailure("cannot listen on 127.0.0.1");
    Winsock *link = w->Winsock1[0];
    if (!link->setRemoteHost(QStringLiteral("127.0.0.1")) ||
        !link->setRemotePort(harness->server.serverPort()) || !link->connectToRemote())
        harnessFailure("cannot start the connection of link 0");
    processUntil(
        [&] {
            if (!harness->device && harness->server.hasPendingConnections())
                harness->device = harness->server.nextPendingConnection();
            return harness->device && link->state() == Winsock::Connected;
        },
        "link 0 did not connect");
    // Arrivals go out at once, not held back by Nagle until the previous one is acknowledged.
    harness->device->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QObject::connect(harness->device, &QTcpSocket::readyRead,
                     [] { harness->received += harness->device->readAll(); });
}

struct FormatChoice {
    int unit;
    const char *object;
    const char *type;
};
constexpr std::array<FormatChoice, 8> FormatChoices = {{
    {1, "holding", "u16"},
    {1, "holding", "f32:cdab"},
    {1, "input", "f64:dcba"},
    {1, "holding", "s32:badc"},
    {1, "coil", "u16"},
    {0, "discrete", "u16"},
    {247, "input", "hex"},
    {1, "holding", "s16"},
}};

valueformat::SlotFormat formatOf(const FormatChoice &choice)
{
    valueformat::SlotFormat format;
    format.unit = quint8(choice.unit);
    format.object = *valueformat::parseObject(QLatin1String(choice.object));
    const auto type = valueformat::parseType(QLatin1String(choice.type));
    format.type = type->type;
    format.order = type->order;
    return format;
}

struct Input {
    qint16 slot = 0;
    bool noSelection = false;
    FormatChoice format = FormatChoices[0];
    QString count;
    QString start;
    QList<QByteArray> arrivals;
    QByteArray stream; // all arrivals in order
};

Input parse(const uint8_t *data, size_t size)
{
    static constexpr std::array<qint16, 8> slotChoices = {0, 1, 2, 3, 4, -1, 5, 300};
    Input in;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const quint8 control = bytes.isEmpty() ? 0 : quint8(bytes[0]);
    in.slot = slotChoices[control & 7];
    in.noSelection = (control & 8) != 0;
    in.format = FormatChoices[(control >> 4) & 7];

    qsizetype pos = bytes.isEmpty() ? 0 : 1;
    const auto line = [&] {
        const qsizetype newline = bytes.indexOf('\n', pos);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        const QString text = QString::fromUtf8(bytes.mid(pos, end - pos));
        pos = newline < 0 ? bytes.size() : newline + 1;
        return text;
    };
    in.count = line();
    in.start = line();

    while (pos < bytes.size()) {
        const qsizetype length = quint8(bytes[pos++]);
        const bool last = in.arrivals.size() == MaxArrivals - 1;
        QByteArray arrival = bytes.mid(pos, last ? -1 : length);
        pos += arrival.size();
        if (arrival.isEmpty()) continue;
        in.stream += arrival;
        in.arrivals.append(arrival);
    }
    return in;
}

bool isSlot(int slot)
{
    return slot >= 0 && slot < OptionIP::SlotCount;
}

// How the handler reads the arrivals: whole frames in order, each by its MBAP length field.
// The first whose identifier is the request's, or 0 (the request being the only one owed),
// answers it; others answer nothing. A length field out of range drops everything waiting.
struct Reading {
    std::optional<QByteArray> answer;
    bool malformed = false; // seen before the answer
};

Reading readArrivals(const QList<QByteArray> &arrivals, quint16 transaction)
{
    Reading reading;
    QByteArray waiting;
    for (const QByteArray &arrival : arrivals) {
        waiting += arrival;
        while (waiting.size() >= 7) {
            const int length = quint8(waiting[4]) * 256 + quint8(waiting[5]);
            if (length < 2 || length > 254) {
                reading.malformed = true;
                waiting.clear();
                break;
            }
            if (waiting.size() < 6 + length) break;
            const QByteArray frame = waiting.left(6 + length);
            waiting.remove(0, 6 + length);
            const quint16 id = quint16(quint8(frame[0]) * 256 + quint8(frame[1]));
            if (id == transaction || id == 0) {
                reading.answer = frame;
                return reading;
            }
        }
    }
    return reading;
}

void deliver(const QByteArray &arrival)
{
    QTcpSocket *device = harness->device;
    Winsock *link = harness->window->Winsock1[0];
    device->write(arrival);
    device->flush();
    harness->sent += quint64(arrival.size());
    // Every byte received by link 0's TCP and taken from its kernel queue: the arrival event
    // for these bytes has been handled. (Waiting for the acknowledgement instead would wait
    // out the delayed ACK, some 40 ms, on every arrival.)
    const qintptr descriptor = link->socketDescriptor();
    processUntil(
        [&] {
            return device->bytesToWrite() == 0 && tcpBytesReceived(descriptor) >= harness->sent &&
                   kernelWaiting(descriptor) == 0;
        },
        "the bytes did not reach link 0");
}

void checkOutcome(const Input &in, const std::optional<QByteArray> &request)
{
    OptionIP &w = *harness->window;
    const QString where = QStringLiteral("slot %1, %2 %3 %4, count %5, start %6, stream %7")
                              .arg(in.slot)
                              .arg(in.format.unit)
                              .arg(QLatin1String(in.format.object), QLatin1String(in.format.type),
                                   quoted(in.count), quoted(in.start), hex(in.stream.left(80)));
    const valueformat::SlotFormat format = formatOf(in.format);
    const quint8 function = valueformat::functionCode(format.object);
    const bool bits = valueformat::readsBits(format.object);
    const int words = valueformat::wordsPerValue(format);

    const int quantity = request ? (quint8((*request)[10]) << 8 | quint8((*request)[11])) : -1;
    const int values = bits ? quantity : quantity / words;
    const quint16 transaction =
        request ? quint16(quint8((*request)[0]) * 256 + quint8((*request)[1])) : 0;
    const Reading reading = readArrivals(in.arrivals, transaction);
    const std::optional<QByteArray> frame = request ? reading.answer : std::nullopt;
    const int dataBytes = bits ? (quantity + 7) / 8 : 2 * quantity;
    const bool carries = request && frame && quint8((*frame)[7]) == function &&
                         quint8((*frame)[8]) == dataBytes && frame->size() >= 9 + dataBytes;
    const int column = isSlot(in.slot) ? (in.slot + 1) * 2 : -1;

    // Only the slot's value column may change, and only with the registers of the reply,
    // row m holding register m, from row 1 on without a gap.
    int rowsWritten = 0;
    for (int row = 0; row < GridSize; ++row) {
        for (int col = 0; col < GridSize; ++col) {
            const QString text = w.cellText(row, col);
            if (text.isEmpty()) continue;
            const QString cell =
                where + QStringLiteral(": cell %1,%2 holds %3").arg(row).arg(col).arg(quoted(text));
            FUZZ_CHECK(col == column && row >= 1, cell);
            FUZZ_CHECK(carries, cell);
            FUZZ_CHECK(row == rowsWritten + 1 && row <= values, cell);
            // Row m holds value m: its bit, or its registers from byte 9 + 2 * words * (m - 1).
            const auto *data = reinterpret_cast<const quint8 *>(frame->constData()) + 9;
            if (bits) {
                FUZZ_CHECK(text == QString::number((data[(row - 1) / 8] >> ((row - 1) % 8)) & 1),
                           cell);
            } else {
                const int at = 2 * words * (row - 1);
                FUZZ_CHECK(at + 2 * words <= dataBytes, cell);
                FUZZ_CHECK(text == valueformat::registerValueText(data + at, 2 * words, format),
                           cell);
            }
            rowsWritten = row;
        }
    }

    const QString status = w.lblStatus[0]->text();
    const QString label6 = w.Label6->text();
    if (!request) {
        // Nothing was asked, so whatever arrives is a reply to nothing and changes nothing.
        FUZZ_CHECK(status == Untouched, where + QStringLiteral(": ") + status);
        FUZZ_CHECK(label6 == Untouched, where + QStringLiteral(": ") + label6);
        return;
    }
    if (carries) {
        FUZZ_CHECK(status == QStringLiteral("Received"), where + QStringLiteral(": ") + status);
        FUZZ_CHECK(label6 == QString::number(dataBytes + 9),
                   where + QStringLiteral(": ") + label6);
        // A count that is a plain whole number shows that many registers, up to row 29.
        const std::optional<double> count = numbers::readLocaleNumber(in.count);
        if (count && *count >= 1 && *count == std::floor(*count) && *count <= 65535)
            FUZZ_CHECK(rowsWritten == std::min({int(*count), values, frames::LastRow}),
                       where + QStringLiteral(": %1 rows").arg(rowsWritten));
    } else {
        FUZZ_CHECK(status != QStringLiteral("Received"), where);
        FUZZ_CHECK(label6 == Untouched, where + QStringLiteral(": ") + label6);
    }
    if (!frame && !reading.malformed)
        FUZZ_CHECK(status == QStringLiteral("Transmit"), where + QStringLiteral(": ") + status);
    else if (!carries)
        FUZZ_CHECK(status == QStringLiteral("Data Loss"), where + QStringLiteral(": ") + status);
}

} // namespace

// Font configuration, loaded for the widgets, keeps a few blocks until the process ends.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Input in = parse(data, size);
    OptionIP &w = *harness->window;
    Winsock *link = w.Winsock1[0];
    if (link->state() != Winsock::Connected) harnessFailure("link 0 is no longer connected");

    // Each input starts on a quiet link: nothing waiting, no request owed.
    link->discardWaiting();
    w.outstanding[0].clear();
    w.slotReads = frames::SlotReads();
    w.lblStatus[0]->setText(Untouched);
    w.Label6->setText(Untouched);
    w.slotIdx = in.slot;
    if (isSlot(in.slot)) {
        const auto slot = size_t(in.slot);
        w.LstIP[slot]->setCurrentIndex(in.noSelection ? -1 : 0);
        w.strReg[slot]->setText(in.start);
        w.LegReg[slot]->setText(in.count);
        w.txtUnit[slot]->setValue(in.format.unit);
        w.LstObject[slot]->setCurrentText(QLatin1String(in.format.object));
        w.LstType[slot]->setCurrentText(QLatin1String(in.format.type));
    }
    // After the texts: an edit rewrites the slot's register labels, which only the reply's
    // cells may stand beside here.
    w.tabel->clearContents();
    harness->received.clear();

    w.cmdRead_Click();

    std::optional<QByteArray> request;
    const frames::Request built =
        frames::buildReadRequest(in.start, in.count, formatOf(in.format), QLocale());
    // A slot that would ask for no register sends nothing.
    if (isSlot(in.slot) && frames::requestedQuantity(built) > 0) {
        const QByteArray expected(reinterpret_cast<const char *>(built.data()),
                                  frames::RequestSize);
        processUntil([] { return harness->received.size() >= frames::RequestSize; },
                     "the request did not arrive");
        request = harness->received;
        FUZZ_CHECK(request->size() == frames::RequestSize && request->mid(2) == expected.mid(2) &&
                       request->left(2) != QByteArray(2, 0),
                   QStringLiteral("sent %1, built %2").arg(hex(*request), hex(expected)));
        FUZZ_CHECK(w.lblStatus[0]->text() == QStringLiteral("Transmit"), w.lblStatus[0]->text());
    }

    for (const QByteArray &arrival : in.arrivals)
        deliver(arrival);

    checkOutcome(in, request);
    FUZZ_CHECK(!w.tloading->isActive(), QStringLiteral("the connection sequence was started"));
    if (!request) FUZZ_CHECK(harness->received.isEmpty(), hex(harness->received));

    // Leave nothing allocated by this input behind, so the leak check stays quiet.
    w.tabel->clearContents();
    return 0;
}
