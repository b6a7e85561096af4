// Whether factor files are opened under file locks, and what keeps a reader
// consistent when they are not: shared file systems whose locks fail or lie
// are used with locking off, one writer per file at a time.
#pragma once

#include <cstdint>
#include <string>

#include "error.hpp"

namespace quorbel::h5::locking {

enum class Mode { On, Off, BestEffort };

// The mode the next opens use. Process-wide: the binding sets it from the
// environment before every open.
void set_mode(Mode mode);
Mode mode();

// On the file access list `fapl`: on (1, 0), best-effort (1, 1), off (0, 0).
void apply(int64_t fapl, Mode mode);

// Errors by which a file system says it does not do locks (rather than that
// another process holds one).
bool is_refusal(int error_number);

// What a lock attempt on a file with a journal beside it tells about the
// journal's writer.
enum class Writer { Gone, Alive, Unknown };
// Takes and keeps an exclusive lock on `fd` where the mode allows. `error`
// is set (Unknown returned) when the attempt fails in a way that is neither
// contention nor, under this mode, an acceptable refusal.
Writer probe_writer(int fd, int &error);

// What a reader compares before and after reading to see that no write came
// in between: the file's identity, size and times, and its journal.
struct Marker {
    bool exists = false;
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0, ctime_ns = 0;
    bool journal = false;  // a write is in progress, or its writer died
    bool operator==(const Marker &o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns && journal == o.journal;
    }
    bool operator!=(const Marker &o) const { return !(*this == o); }
    // Nothing is being written, and the file is there.
    bool settled() const { return exists && !journal; }
};
Marker marker_of(const std::string &path);

// Attempts and pause of a reader that meets a write: a date's write takes
// tens of milliseconds, so about a second covers it many times over.
constexpr int kReadAttempts = 12;
// Sleeps before the attempt `attempt` (0-based; none before the first).
void pause_before(int attempt);

// The OSError (EBUSY) of a read or open that met writes throughout its
// attempts; it names the journal when one stands beside the file.
Error kept_changing(const std::string &path, const char *what);

// A file's modification time moves by at least a nanosecond with every
// committed write, even within one tick of a coarse file-system clock, so that
// a reader's marker sees it. Best effort: only the owner may set times.
void advance_mtime(int fd, int64_t mtime_ns_before);
int64_t mtime_ns_of(int fd);

}  // namespace quorbel::h5::locking
