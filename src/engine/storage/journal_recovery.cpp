// Recovery: what is done with a journal found beside a factor file, by whom,
// and on what evidence (see recover() in journal.hpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <tuple>

#include "error.hpp"
#include "file_locking.hpp"
#include "history_log.hpp"
#include "journal.hpp"
#include "journal_format.hpp"
#include "posix_files.hpp"

namespace quorbel::h5::journal {
namespace {

using format::Journal;
using format::Parsed;

using format::fail;
using format::sync_directory;

std::mutex &events_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<SetAside> &events() {
    static std::vector<SetAside> list;
    return list;
}

// Journals a reader has told of leaving in place: (path, inode, size).
std::set<std::tuple<std::string, uint64_t, uint64_t>> &told() {
    static std::set<std::tuple<std::string, uint64_t, uint64_t>> seen;
    return seen;
}

void record(const SetAside &event) {
    std::lock_guard<std::mutex> lock(events_mutex());
    events().push_back(event);
}

// Whether the journal path still names the journal open as `fd`: a decision
// taken on that descriptor holds for the path only then.
bool still_at_path(const std::string &journal, int fd) {
    struct stat at_path, opened;
    return ::lstat(journal.c_str(), &at_path) == 0 && ::fstat(fd, &opened) == 0 &&
           at_path.st_dev == opened.st_dev && at_path.st_ino == opened.st_ino;
}

int rename_no_replace(const std::string &from, const std::string &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: link(2) refuses an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    if (::unlink(from.c_str()) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        return error;
    }
    return 0;
}

// Tells once per process of a journal a reader leaves where it is.
void left_in_place(const std::string &journal, int journal_fd, const std::string &data_path,
                   const std::string &reason) {
    struct stat st;
    if (::fstat(journal_fd, &st) != 0) return;
    {
        std::lock_guard<std::mutex> lock(events_mutex());
        if (!told().emplace(journal, uint64_t(st.st_ino), uint64_t(st.st_size)).second) return;
    }
    record({journal, {}, data_path, reason + "; a reader leaves it in place, the next write to the file sets it aside"});
}

// Cuts the file's history back to the length it had before the write being
// undone: a record the write appended goes with it. Synced whether or not
// it was longer, since an earlier recovery may have cut it and died before
// its sync; the journal is only deleted after this.
void cut_history(const std::string &data_path, int64_t size) {
    const std::string path = history::path_for(data_path);
    const posix::Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return;  // removed with its factor meanwhile
        fail("unable to undo a write's record in the history '" + path + "'", errno);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) fail("unable to undo a write's record in the history '" + path + "'", errno);
    if (st.st_size > size && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        fail("unable to undo a write's record in the history '" + path + "'", errno);
    }
    if (::fsync(fd.get()) != 0) fail("unable to sync the history '" + path + "' of an undone write", errno);
}

// Puts the saved bytes back and the file back to its old size, then the
// history back to its old length: a reader that finds the data undone and
// the record still there only rebuilds what the data holds already.
void apply(int data_fd, const Journal &journal, const std::string &data_path) {
    for (auto it = journal.records.rbegin(); it != journal.records.rend(); ++it) {
        if (!format::write_all(data_fd, it->bytes.data(), it->bytes.size(), it->offset)) {
            fail("unable to undo a write", errno);
        }
    }
    if (::ftruncate(data_fd, static_cast<off_t>(journal.header.base_size)) != 0) fail("unable to undo a write", errno);
    if (::fsync(data_fd) != 0) fail("unable to sync an undone write", errno);
    if (journal.history_size >= 0) cut_history(data_path, journal.history_size);
}

// Deletes the journal open as `fd` once it is spent, unless the path names
// another journal by now.
void remove_spent(const std::string &journal, int fd) {
    if (!still_at_path(journal, fd)) return;
    ::unlink(journal.c_str());
    sync_directory(journal);
}

}  // namespace

SetAside set_aside(const std::string &journal, const std::string &data_path, const std::string &reason) {
    SetAside event{journal, {}, data_path, reason};
    std::random_device entropy;
    int error = EEXIST;
    for (int attempt = 0; attempt < 6 && error == EEXIST; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".set-aside-%ld-%08x", static_cast<long>(::getpid()),
                      static_cast<unsigned>(entropy()));
        event.moved_to = journal + suffix;
        error = rename_no_replace(journal, event.moved_to);
    }
    if (error != 0) {
        event.moved_to.clear();
        event.reason += "; it could not be moved aside (" + std::string(std::strerror(error)) + ") and stays in place";
    } else {
        sync_directory(journal);
    }
    record(event);
    return event;
}

namespace {

// One look at the journal; LookAgain when the file or the journal changed
// while this call decided.
constexpr Recovery kLookAgain = static_cast<Recovery>(-1);

Recovery recover_once(const std::string &data_path, Role role, locking::Mode mode, SetAside *set_aside_event) {
    const std::string journal = journal_path(data_path);
    struct stat js;
    if (::lstat(journal.c_str(), &js) != 0) return Recovery::Nothing;

    // The data file first, and its lock, so that the journal opened after it
    // is the one a live writer of this file would have: none, once the lock is held.
    posix::Fd data_fd(::open(data_path.c_str(), O_RDWR | O_CLOEXEC));
    int write_error = 0;
    if (!data_fd) {
        write_error = errno;
        // A journal whose file is gone concerns no file at this path; the
        // write that makes a new file here sets it aside.
        if (write_error == ENOENT) return Recovery::Nothing;
        // Without write access the journal cannot be undone, but one that is
        // not this file's must not keep the file from being read.
        data_fd = posix::Fd(::open(data_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!data_fd) return Recovery::Nothing;  // the open that follows reports why
    }
    // `writer_gone`: proven, by the lock this call now holds (or because the
    // write was the caller's own). `writer_alive`: another process holds the
    // lock. Without locks neither is known, but the rule of one writer per
    // file makes a writer the only one that could be writing a journal here:
    // it may clear away what is no live write of this file.
    // A failed write's own rollback takes the lock too where locks are used:
    // another writer that has taken it since has undone the journal itself.
    bool writer_gone = false, writer_alive = false;
    int lock_error = 0;
    switch (locking::probe_writer(data_fd.get(), mode, lock_error)) {
        case locking::Writer::Gone: writer_gone = true; break;
        case locking::Writer::Alive: writer_alive = true; break;
        case locking::Writer::Unknown:
            if (lock_error != 0) fail("unable to lock file", lock_error);
            writer_gone = role == Role::OwnFailedWrite;
            break;
    }
    const bool may_act = role != Role::Reader;
    // A writer that another process's lock keeps out will not open the file.
    if (writer_alive && may_act) return Recovery::Busy;
    const bool no_other_writer = writer_gone || may_act;

    const posix::Fd journal_fd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
    if (!journal_fd) return Recovery::Nothing;  // committed or undone meanwhile
    // A verdict holds only while the path still reaches the file and the
    // journal path still names the journal this call opened: a call that
    // stalled between its opens would otherwise compare a file that is gone
    // with a journal written since, or the other way round.
    auto still_the_same = [&] {
        struct stat at_path, opened;
        return ::stat(data_path.c_str(), &at_path) == 0 && ::fstat(data_fd.get(), &opened) == 0 &&
               at_path.st_dev == opened.st_dev && at_path.st_ino == opened.st_ino &&
               still_at_path(journal, journal_fd.get());
    };
    auto put_aside = [&](const std::string &reason) {
        if (!still_the_same()) return kLookAgain;
        if (!may_act) {
            left_in_place(journal, journal_fd.get(), data_path, reason);
            return Recovery::LeftInPlace;
        }
        SetAside event = set_aside(journal, data_path, reason);
        if (set_aside_event) *set_aside_event = event;
        return Recovery::SetAside;
    };

    Journal parsed;
    switch (format::read_journal(journal_fd.get(), parsed)) {
        case Parsed::CutShort:
            // Its header never reached the disk whole, so no record was ever
            // synced and nothing was overwritten: it describes no write, and
            // deleting it loses nothing, once no writer can be writing that
            // header now (a reader knows that by the lock it holds).
            if (writer_alive) return Recovery::Busy;
            if (!no_other_writer) return Recovery::Unproven;
            if (!still_the_same()) return kLookAgain;
            remove_spent(journal, journal_fd.get());
            return Recovery::Nothing;
        case Parsed::Unknown: return put_aside("it is not a journal this engine can read");
        case Parsed::Ok: break;
    }
    // Whose it is, by identity alone first: the content of a file whose
    // writer may still run is no evidence.
    const std::string foreign = format::mismatch(parsed, journal_fd.get(), data_fd.get(), false);
    if (!foreign.empty()) return put_aside(foreign);
    if (writer_alive) return Recovery::Busy;
    if (!writer_gone) return Recovery::Unproven;
    const std::string reason = format::mismatch(parsed, journal_fd.get(), data_fd.get());
    if (!reason.empty()) return put_aside(reason);
    if (write_error != 0) {
        throw Error(ErrorKind::OS,
                    "Unable to open file (an unfinished write left the journal '" + journal +
                        "', which needs write access to undo, errno = " + std::to_string(write_error) +
                        ", error message = '" + std::strerror(write_error) + "')",
                    write_error);
    }
    if (!still_the_same()) return kLookAgain;
    apply(data_fd.get(), parsed, data_path);
    remove_spent(journal, journal_fd.get());
    return Recovery::Replayed;
}

}  // namespace

Recovery recover(const std::string &data_path, Role role, locking::Mode mode, SetAside *set_aside_event) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const Recovery found = recover_once(data_path, role, mode, set_aside_event);
        if (found != kLookAgain) return found;
    }
    // The path kept reaching other files or journals throughout.
    if (role == Role::Reader) return Recovery::Unproven;
    throw Error(ErrorKind::OS,
                "Unable to open file (the file '" + data_path + "' and its journal kept changing while this process "
                "looked at them, errno = " + std::to_string(EBUSY) + ")",
                EBUSY);
}

std::vector<SetAside> take_set_aside() {
    std::lock_guard<std::mutex> lock(events_mutex());
    return std::exchange(events(), {});
}

bool journal_is_own(const std::string &data_path, int data_fd) {
    const posix::Fd journal_fd(::open(journal_path(data_path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!journal_fd) return false;
    Journal parsed;
    return format::read_journal(journal_fd.get(), parsed) == Parsed::Ok &&
           format::mismatch(parsed, journal_fd.get(), data_fd).empty();
}

}  // namespace quorbel::h5::journal
