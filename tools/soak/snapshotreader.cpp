#include "snapshotreader.h"

#include "soakclock.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace soak
{

namespace
{

constexpr size_t FieldCount = 13;
constexpr size_t KeptBadExamples = 5;
// data.txt holds one short line; anything this long is not it.
constexpr size_t ReadLimit = 4096;

bool registerValue(const std::string &field)
{
    if (field.empty() || field.size() > 5) return false;
    if (field.size() > 1 && field[0] == '0') return false;
    long value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 65535;
}

std::string printable(const std::string &content)
{
    std::string out;
    for (const unsigned char c : content) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == 0x7f)
            out += '?';
        else
            out += char(c);
        if (out.size() > 200) break;
    }
    return out;
}

} // namespace

bool checkLine(const std::string &content, std::array<FieldClass, ValueFields> &fields)
{
    if (content.size() < 2 || content.compare(content.size() - 2, 2, "\r\n") != 0) return false;
    const std::string line = content.substr(0, content.size() - 2);
    if (line.find_first_of("\r\n") != std::string::npos) return false;

    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t hash = line.find('#', from);
        parts.push_back(line.substr(from, hash - from));
        if (hash == std::string::npos) break;
        from = hash + 1;
    }
    if (parts.size() != FieldCount || !parts[0].empty()) return false;
    for (int k = 0; k < ValueFields; ++k) {
        const std::string &field = parts[size_t(k) + 1];
        if (field.empty())
            fields[size_t(k)] = FieldClass::Empty;
        else if (field == "???")
            fields[size_t(k)] = FieldClass::Unread;
        else if (registerValue(field))
            fields[size_t(k)] = FieldClass::Number;
        else
            return false;
    }
    return !parts[11].empty() && !parts[12].empty();
}

SnapshotReader::SnapshotReader(const std::vector<std::string> &paths)
{
    for (const std::string &path : paths)
        m_watches.push_back(std::make_unique<FileWatch>(path));
}

SnapshotReader::~SnapshotReader()
{
    stop();
}

void SnapshotReader::start()
{
    m_stop = false;
    m_thread = std::thread([this] { run(); });
}

void SnapshotReader::stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    const double now = nowMs();
    for (auto &watch : m_watches)
        if (watch->seen)
            watch->longestUnchangedMs =
                std::max(watch->longestUnchangedMs, now - watch->lastChangeMs);
}

void SnapshotReader::run()
{
    while (!m_stop) {
        for (auto &watch : m_watches)
            readOnce(*watch);
        // As often as it can, but other runnable work on this machine goes first.
        sched_yield();
    }
}

void SnapshotReader::readOnce(FileWatch &watch)
{
    const int fd = ::open(watch.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // Before the first snapshot there is no file; after it, the file must never be gone.
        if (watch.seen) {
            ++watch.missing;
            ++watch.reads;
            ++watch.badReads;
            if (watch.badExamples.size() < KeptBadExamples)
                watch.badExamples.push_back("(file missing)");
        }
        return;
    }
    std::string content;
    char buffer[1024];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        content.append(buffer, size_t(got));
        if (content.size() > ReadLimit) break;
    }
    ::close(fd);

    const double now = nowMs();
    if (!watch.seen) {
        watch.seen = true;
        watch.firstSeenMs = now;
        watch.lastChangeMs = now;
    }
    ++watch.reads;

    std::array<FieldClass, ValueFields> fields{};
    if (!checkLine(content, fields)) {
        ++watch.badReads;
        const std::string example = "\"" + printable(content) + "\"";
        // The first few different ones tell more than the same one five times.
        if (watch.badExamples.size() < KeptBadExamples &&
            std::find(watch.badExamples.begin(), watch.badExamples.end(), example) ==
                watch.badExamples.end())
            watch.badExamples.push_back(example);
        return;
    }
    if (content != watch.lastContent) {
        watch.longestUnchangedMs = std::max(watch.longestUnchangedMs, now - watch.lastChangeMs);
        watch.lastChangeMs = now;
        watch.lastContent = content;
    }
    for (size_t k = 0; k < size_t(ValueFields); ++k) {
        if (watch.classKnown[k] && watch.lastClass[k] == fields[k]) continue;
        watch.classKnown[k] = true;
        watch.lastClass[k] = fields[k];
        watch.transitions[k].push_back({now, fields[k]});
    }
}

} // namespace soak
