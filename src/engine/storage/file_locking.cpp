#include "file_locking.hpp"

#include <hdf5.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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

Writer probe_writer(int fd, int &error) {
    error = 0;
    const Mode m = mode();
    if (m == Mode::Off) return Writer::Unknown;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Writer::Gone;
    const int e = errno;
    if (e == EWOULDBLOCK) return Writer::Alive;
    if (e == ENOSYS && m == Mode::On) return Writer::Gone;  // as ever: a file system without locks
    if (m == Mode::BestEffort && is_refusal(e)) return Writer::Unknown;
    error = e;
    return Writer::Unknown;
}

Marker marker_of(const std::string &path) {
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
    marker.journal = ::lstat(posix::journal_path(path).c_str(), &js) == 0;
    return marker;
}

void pause_before(int attempt) {
    if (attempt <= 0) return;
    // 2, 4, 8 ... ms, at most 150 ms: about 1.1 s over kReadAttempts.
    const int ms = std::min(150, 1 << std::min(attempt, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Error kept_changing(const std::string &path, const char *what) {
    const bool journal = locking::marker_of(path).journal;
    if (journal) {
        return Error(ErrorKind::OS,
                     std::string(what) + " (an unfinished write left the journal '" + posix::journal_path(path) +
                         "' beside the file; without file locks nothing tells whether its writer still runs, so it "
                         "is neither read past nor undone. Each factor file may have one writer at a time: once no "
                         "process writes this file, open it for writing once with QUORBEL_FILE_LOCKING=on, which "
                         "undoes the unfinished write, errno = " + std::to_string(EBUSY) + ")",
                     EBUSY);
    }
    return Error(ErrorKind::OS,
                 std::string(what) + " (the file '" + path + "' kept changing: other processes wrote it " +
                     "throughout " + std::to_string(locking::kReadAttempts) + " attempts, errno = " +
                     std::to_string(EBUSY) + ")",
                 EBUSY);
}

int64_t mtime_ns_of(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? nanoseconds(st.st_mtim) : 0;
}

void advance_mtime(int fd, int64_t mtime_ns_before) {
    const int64_t now = mtime_ns_of(fd);
    if (now > mtime_ns_before) return;
    const int64_t next = mtime_ns_before + 1;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)}};
    (void)::futimens(fd, times);
}

}  // namespace quorbel::h5::locking
