#include "file_locking.hpp"

#include <hdf5.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "posix_files.hpp"

namespace quorbel::h5::locking {
namespace {

std::atomic<int> current_mode{static_cast<int>(Mode::On)};

int64_t nanoseconds(const struct timespec &t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

}  // namespace

void set_mode(Mode m) { current_mode.store(static_cast<int>(m), std::memory_order_relaxed); }

Mode mode() { return static_cast<Mode>(current_mode.load(std::memory_order_relaxed)); }

void apply(int64_t fapl, Mode m) {
    const hbool_t use = m != Mode::Off;
    const hbool_t ignore = m == Mode::BestEffort;
    if (H5Pset_file_locking(static_cast<hid_t>(fapl), use, ignore) < 0) {
        H5Eclear2(H5E_DEFAULT);
        throw Error(ErrorKind::OS, "Unable to set file locking on the file access list");
    }
}

bool is_refusal(int error_number) {
    return error_number == ENOSYS || error_number == ENOLCK || error_number == EOPNOTSUPP || error_number == ENOTSUP;
}

Writer probe_writer(int fd, Mode m, int &error) {
    error = 0;
    if (m == Mode::Off) return Writer::Unknown;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Writer::Gone;
    const int e = errno;
    if (e == EWOULDBLOCK) return Writer::Alive;
    if (e == ENOSYS && m == Mode::On) return Writer::Gone;  // as ever: a file system without locks
    if (m == Mode::BestEffort && is_refusal(e)) return Writer::Unknown;
    error = e;
    return Writer::Unknown;
}

Marker marker_of(const std::string &path, const std::string &journal) {
    Marker marker;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        marker.exists = true;
        marker.device = static_cast<uint64_t>(st.st_dev);
        marker.inode = static_cast<uint64_t>(st.st_ino);
        marker.size = static_cast<uint64_t>(st.st_size);
        marker.mtime_ns = nanoseconds(st.st_mtim);
        marker.ctime_ns = nanoseconds(st.st_ctim);
    }
    struct stat js;
    if (::lstat(journal.c_str(), &js) == 0) {
        marker.journal = true;
        marker.journal_inode = static_cast<uint64_t>(js.st_ino);
        marker.journal_size = static_cast<uint64_t>(js.st_size);
    }
    return marker;
}

namespace {

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Patience::Patience(Mode mode) : may_wait_for_writer_(mode == Mode::On), start_ns_(monotonic_ns()) {}

bool Patience::more() const {
    if (attempts_ < kReadAttempts) return true;
    return may_wait_for_writer_ && writer_seen_ &&
           monotonic_ns() - start_ns_ < static_cast<int64_t>(kLiveWriterWaitSeconds * 1e9);
}

bool Patience::next_attempt() {
    if (!more()) return false;
    if (attempts_ > 0) {
        const int ms = std::min(150, 1 << std::min(attempts_, 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    ++attempts_;
    return true;
}

bool Patience::last_attempt() const { return !more(); }

void Patience::writer_at_work() { writer_seen_ = true; }

std::vector<LockHolder> lock_holders(uint64_t device, uint64_t inode) {
    std::vector<LockHolder> holders;
    std::ifstream locks("/proc/locks");
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(static_cast<dev_t>(device)),
                  minor(static_cast<dev_t>(device)), static_cast<unsigned long long>(inode));
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; waiters show "->".
        std::istringstream fields(line);
        std::string number, kind, advisory, access, file;
        long pid = 0;
        if (!(fields >> number >> kind) || kind == "->") continue;
        if (!(fields >> advisory >> access >> pid >> file)) continue;
        if (kind == "FLOCK" && file == wanted) holders.push_back({pid, access == "WRITE"});
    }
    return holders;
}

std::string describe_holders(const std::vector<LockHolder> &holders) {
    std::string text;
    for (const LockHolder &h : holders) {
        if (!text.empty()) text += ", ";
        text += "process " + std::to_string(h.pid) +
                (h.exclusive ? " holds it open for writing" : " holds it open with a shared lock");
    }
    return text;
}

Error kept_changing(const std::string &path, const std::string &journal, Mode mode, const char *what) {
    struct stat st;
    std::vector<LockHolder> writers;
    if (::stat(path.c_str(), &st) == 0) {
        for (const LockHolder &h : lock_holders(st.st_dev, st.st_ino)) {
            if (h.exclusive) writers.push_back(h);
        }
    }
    const std::string holder = writers.empty() ? "" : describe_holders(writers) + "; ";
    struct stat js;
    if (::lstat(journal.c_str(), &js) == 0) {
        if (mode == Mode::On) {
            return Error(ErrorKind::OS,
                         std::string(what) + " (a write to '" + path + "' is in progress: " + holder +
                             "its journal '" + journal + "' stood beside the file throughout " +
                             "the wait, errno = " + std::to_string(EBUSY) + ")",
                         EBUSY);
        }
        return Error(ErrorKind::OS,
                     std::string(what) + " (an unfinished write left the journal '" + journal +
                         "' beside the file; without file locks nothing tells whether its writer still runs, so it "
                         "is neither read past nor undone. Each factor file may have one writer at a time: once no "
                         "process writes this file, open it for writing once with QUORBEL_FILE_LOCKING=on, which "
                         "undoes the unfinished write, errno = " + std::to_string(EBUSY) + ")",
                     EBUSY);
    }
    return Error(ErrorKind::OS,
                 std::string(what) + " (the file '" + path + "' kept changing: " + holder +
                     "other processes wrote it throughout the wait, errno = " + std::to_string(EBUSY) + ")",
                 EBUSY);
}

int64_t mtime_ns_of(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? nanoseconds(st.st_mtim) : 0;
}

void advance_mtime(int fd, int64_t mtime_ns_before) {
    if (mtime_ns_of(fd) != mtime_ns_before) return;
    const int64_t next = mtime_ns_before + 1;
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)}};
    if (::futimens(fd, times) == 0) return;
    // Only the owner may set a time of its choosing; anyone who may write the
    // file may set it to now, which moves once the clock's tick has passed.
    const struct timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    for (int tick = 0; tick < 100 && mtime_ns_of(fd) == mtime_ns_before; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (::futimens(fd, now) != 0) return;
    }
}

}  // namespace quorbel::h5::locking
