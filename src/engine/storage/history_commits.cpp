#include "history_commits.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "error.hpp"
#include "journal_format.hpp"

namespace quorbel::history {

namespace {

constexpr int64_t kNoFakeClock = std::numeric_limits<int64_t>::min();
std::atomic<int64_t> g_fake_clock{kNoFakeClock};

// The last record of a history usually fits here; a larger one (a restore
// of many columns) sends the reader through the whole log instead.
constexpr uint64_t kFirstWindow = 4 * 1024;
constexpr uint64_t kTailWindow = 64 * 1024;

[[noreturn]] void fail(const std::string &what, const std::string &path, int error) {
    h5::journal::format::fail(what + " '" + path + "'", error);
}

// The head of the record that ends exactly at the end of `window` (the last
// `window.size()` bytes of a file of `size` bytes), checked by its trailer
// and CRC. Records start at multiples of 8 (the header and every record are).
std::optional<RecordHead> last_record(const std::vector<unsigned char> &window, uint64_t size) {
    const uint64_t first = size - window.size();
    constexpr uint64_t smallest = sizeof(RecordHead) + sizeof(Trailer);
    if (window.size() < smallest) return std::nullopt;
    Trailer trailer;
    std::memcpy(&trailer, window.data() + window.size() - sizeof trailer, sizeof trailer);
    if (std::memcmp(trailer.magic, kEndMagic, sizeof trailer.magic) != 0) return std::nullopt;
    for (uint64_t at = (size - smallest) / 8 * 8; at >= first; at -= 8) {
        const unsigned char *head_bytes = window.data() + (at - first);
        if (std::memcmp(head_bytes, kRecordMagic, sizeof kRecordMagic) == 0) {
            RecordHead head;
            std::memcpy(&head, head_bytes, sizeof head);
            const uint64_t body = size - sizeof(Trailer) - at;
            if (head.payload_bytes == body - sizeof(RecordHead) &&
                h5::journal::format::crc_of(head_bytes, body) == trailer.crc) {
                return head;
            }
        }
        if (at < first + 8) break;
    }
    return std::nullopt;
}

}  // namespace

void set_clock(std::optional<int64_t> fake_ns) { g_fake_clock = fake_ns.value_or(kNoFakeClock); }

int64_t clock_now() {
    const int64_t fake = g_fake_clock.load();
    if (fake != kNoFakeClock) return fake;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool kept_for(const std::string &data_path) {
    struct stat st;
    return ::stat(path_for(data_path).c_str(), &st) == 0;
}

Tail read_tail(int fd, const std::string &path) {
    struct stat st;
    if (::fstat(fd, &st) != 0) fail("cannot examine the history file", path, errno);
    Tail tail;
    tail.size = static_cast<uint64_t>(st.st_size);
    FileHeader header{};
    if (tail.size < sizeof header || !posix::read_all(fd, &header, sizeof header, 0) || !header_is_valid(header)) {
        // read_log says what is wrong with it.
        read_log(fd, path, CellsToo::No);
        throw h5::Error(h5::ErrorKind::Value, "the history file " + path + " is not a history");
    }
    tail.end = sizeof header;
    tail.last_time = header.began_ns - 1;
    if (tail.size == sizeof header) return tail;
    // A daily write's record is 80 bytes: the first window nearly always holds it.
    for (uint64_t reach = kFirstWindow;; reach = kTailWindow) {
        std::vector<unsigned char> window(std::min<uint64_t>(reach, tail.size - sizeof header));
        if (!posix::read_all(fd, window.data(), window.size(), tail.size - window.size())) {
            fail("cannot read the history file", path, errno);
        }
        if (const std::optional<RecordHead> head = last_record(window, tail.size)) {
            tail.end = tail.size;
            tail.next_seq = head->seq + 1;
            tail.last_time = head->time_ns;
            return tail;
        }
        if (reach == kTailWindow || window.size() == tail.size - sizeof header) break;
    }
    // A last record larger than the window, or an append cut short.
    const Log log = read_log(fd, path, CellsToo::No);
    tail.end = log.end;
    if (!log.records.empty()) {
        tail.next_seq = log.records.back().head.seq + 1;
        tail.last_time = log.records.back().head.time_ns;
    }
    return tail;
}

std::unique_ptr<PendingRecord> PendingRecord::open(const std::string &data_path) {
    std::string path = path_for(data_path);
    posix::Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return nullptr;
        fail("unable to open the history file of a write", path, errno);
    }
    auto record = std::unique_ptr<PendingRecord>(new PendingRecord());
    record->tail_ = read_tail(fd.get(), path);
    record->path_ = std::move(path);
    record->fd_ = std::move(fd);
    return record;
}

void PendingRecord::append(int64_t cursor_after) {
    if (!has_record(cursor_after)) return;
    const int64_t time = std::max(clock_now(), tail_.last_time == std::numeric_limits<int64_t>::max()
                                                   ? tail_.last_time
                                                   : tail_.last_time + 1);
    const std::vector<unsigned char> bytes = changes_.encode(kCommit, tail_.next_seq, time, cursor_before_, cursor_after);
    if (!h5::journal::format::write_all(fd_.get(), bytes.data(), bytes.size(), tail_.end)) {
        fail("unable to append to the history file", path_, errno);
    }
    const uint64_t end = tail_.end + bytes.size();
    // What a torn append left past the last whole record goes.
    if (tail_.size > end && ::ftruncate(fd_.get(), static_cast<off_t>(end)) != 0) {
        fail("unable to append to the history file", path_, errno);
    }
    if (::fdatasync(fd_.get()) != 0) fail("unable to sync the history file", path_, errno);
    tail_.end = tail_.size = end;
    tail_.last_time = time;
    ++tail_.next_seq;
}

void record_column(CommitBuilder &changes, uint64_t column, const double *before, const std::vector<double> &after) {
    if (before) {
        changes.column(static_cast<uint32_t>(column), before, after.data(), after.size());
        return;
    }
    // Every cell held NaN: the changed cells are those that hold a value now.
    size_t filled = 0;
    for (double v : after) filled += !std::isnan(v);
    if (filled > 0) changes.filled_column(static_cast<uint32_t>(column), static_cast<uint32_t>(filled));
}

void ColumnsBefore::note(uint64_t column, const std::vector<double> &values) {
    if (columns_.count(column)) return;
    const bool empty = std::all_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
    std::vector<double> &kept = columns_[column];
    if (!empty) kept = values;
}

bool ColumnsBefore::record(CommitBuilder &changes, uint64_t column, const std::vector<double> &after) const {
    const auto found = columns_.find(column);
    if (found == columns_.end()) return false;
    record_column(changes, column, found->second.empty() ? nullptr : found->second.data(), after);
    return true;
}

}  // namespace quorbel::history
