// Whether factor files are opened under file locks, and what keeps a reader
// consistent when they are not: shared file systems whose locks fail or lie
// are used with locking off, one writer per file at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// Takes and keeps an exclusive lock on `fd` where `mode` allows. `error`
// is set (Unknown returned) when the attempt fails in a way that is neither
// contention nor, under this mode, an acceptable refusal. The mode is the
// one the file was opened with: each extension module of the package keeps
// a process-wide mode of its own, set only by its own opens.
Writer probe_writer(int fd, Mode mode, int &error);

// What a reader compares before and after reading to see that no write came
// in between: the file's identity, size and times, and the journal beside it
// (its inode and size), so that a journal that stood there all along and is
// not the file's does not stop a read, while any journal that appears, grows
// or is replaced does.
struct Marker {
    bool exists = false;
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0, ctime_ns = 0;
    uint64_t journal_inode = 0, journal_size = 0;
    bool journal = false;  // a journal stands beside the file
    bool operator==(const Marker &o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns && journal == o.journal &&
               journal_inode == o.journal_inode && journal_size == o.journal_size;
    }
    bool operator!=(const Marker &o) const { return !(*this == o); }
};
// `journal`: the journal path of the file (journal::journal_path), worked out
// once per open.
Marker marker_of(const std::string &path, const std::string &journal);

// How long a reader keeps trying while writes come in between. Without locks
// about a second: a date's write takes tens of milliseconds, and nothing
// tells a live writer from a dead one. With locks, as long again as a live
// writer is seen at work, up to kLiveWriterWaitSeconds: a writer that holds
// its lock finishes, and a backfill commits date after date.
constexpr int kReadAttempts = 12;
constexpr double kLiveWriterWaitSeconds = 60;
class Patience {
public:
    explicit Patience(Mode mode);
    // Sleeps before every attempt but the first (2, 4, 8 ... ms, at most
    // 150 ms); false once the attempts are spent.
    bool next_attempt();
    // Whether no attempt follows this one (its failure is the one to report).
    bool last_attempt() const;
    // A live writer was seen at work: with locks on, keep waiting for it.
    void writer_at_work();

private:
    bool more() const;
    int attempts_ = 0;
    bool may_wait_for_writer_;
    bool writer_seen_ = false;
    int64_t start_ns_;
};

// The processes holding a lock on the file with this device and inode, from
// /proc/locks (empty when none or unknown): whole-file locks as HDF5 and this
// engine take them, exclusive for a writer. Only looks: taking a lock to find
// out would keep a writer out for that moment.
struct LockHolder {
    long pid = 0;
    bool exclusive = false;
};
std::vector<LockHolder> lock_holders(uint64_t device, uint64_t inode);
// "process 123 holds it open for writing" and the like; empty for none.
std::string describe_holders(const std::vector<LockHolder> &holders);

// The OSError (EBUSY) of a read or open that met writes throughout its
// attempts; it names the journal when one stands beside the file, and the
// process that holds the file for writing when one does.
Error kept_changing(const std::string &path, const std::string &journal, Mode mode, const char *what);

// A file's modification time moves by at least a nanosecond with every
// committed write, even within one tick of a coarse file-system clock, so that
// a reader's marker sees it. Best effort: only the owner may set times.
void advance_mtime(int fd, int64_t mtime_ns_before);
int64_t mtime_ns_of(int fd);

}  // namespace quorbel::h5::locking
