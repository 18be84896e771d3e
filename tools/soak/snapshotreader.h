#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Reads the data.txt files of the running monitors as often as it can, on a thread of its own,
// and checks every read: one line of 13 '#'-separated fields ending in CRLF, the first field
// empty, ten value fields each empty, "???" or a decimal 0..65535, and non-empty date and time.
namespace soak
{

constexpr int ValueFields = 10;

enum class FieldClass { Empty, Unread, Number };

// The value fields of a well-formed line, or nothing when the line is not well formed.
bool checkLine(const std::string &content, std::array<FieldClass, ValueFields> &fields);

struct Transition {
    double ms;
    FieldClass to;
};

struct FileWatch {
    explicit FileWatch(std::string filePath) : path(std::move(filePath)) {}

    const std::string path;
    std::atomic<long> reads{0};
    std::atomic<long> badReads{0};
    std::atomic<long> missing{0}; // the file was gone after it had first appeared

    // Written by the reader thread only; read once it has stopped.
    bool seen = false;
    double firstSeenMs = 0;
    double longestUnchangedMs = 0;
    double lastChangeMs = 0;
    std::string lastContent;
    std::vector<std::string> badExamples;
    std::array<bool, ValueFields> classKnown{};
    std::array<FieldClass, ValueFields> lastClass{};
    // Changes of each value field's class, in time order; few, so the run can be long.
    std::array<std::vector<Transition>, ValueFields> transitions;
};

class SnapshotReader
{
public:
    explicit SnapshotReader(const std::vector<std::string> &paths);
    ~SnapshotReader();
    SnapshotReader(const SnapshotReader &) = delete;
    SnapshotReader &operator=(const SnapshotReader &) = delete;

    void start();
    void stop();

    FileWatch &watch(size_t index) { return *m_watches[index]; }
    size_t size() const { return m_watches.size(); }

private:
    void run();
    void readOnce(FileWatch &watch);

    std::vector<std::unique_ptr<FileWatch>> m_watches;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace soak
