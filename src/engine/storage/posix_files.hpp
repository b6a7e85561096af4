// Small POSIX pieces of making a file appear whole: hidden temporary siblings,
// publishing them under their final name, syncing directories. No Python
// object is touched here; every call may run with the GIL released.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

namespace quorbel::posix {

// An owned file descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() noexcept;
    // Closes now and tells how that went: 0 or an errno. The descriptor is
    // gone either way.
    int close() noexcept;

private:
    int fd_ = -1;
};

// Who owns a file and its permission bits, to give a replacement the same.
struct Owner {
    mode_t mode = 0;  // permission bits only
    uid_t uid = 0;
    gid_t gid = 0;
};

// The bits a replacement has while it is written: the owner may read and
// write it, nobody else more than `owner.mode` allows.
inline mode_t writable_mode(const Owner &owner) { return owner.mode | 0600; }

// ".<name>.<suffix>" in the directory of `path`: the one rule for naming the
// hidden files that belong to a file (its journal, its temporaries). The
// name is cut to `name_limit` characters.
std::string hidden_sibling(const std::string &path, const std::string &suffix,
                           size_t name_limit = std::string::npos);

// The suffix of the undo journal beside a file (see journal.hpp), which goes
// with a dead temporary too.
constexpr const char *kJournalSuffix = "journal";
// The file a path reaches: `path` itself unless its last part is a symbolic
// link, which is followed (to the end of a chain). A dangling link stays.
std::string link_target(const std::string &path);
// The undo journal's path for a file's path: ".<name>.journal" beside the
// file itself, so that a link to the file finds the same journal as its
// real name does.
inline std::string journal_path(const std::string &data_path) {
    return hidden_sibling(link_target(data_path), kJournalSuffix);
}

// A name beside `path` that no other process or call uses:
// ".<name>.<pid>-<start>-<boot>-<random>.tmp". The pid, its start time and
// the boot tell whether the process that made it still lives.
std::string temporary_sibling(const std::string &path);

// Deletes the temporaries of `path` whose processes are gone, and the
// journals they may have left. Best effort: what cannot be judged or removed
// is left alone.
void remove_dead_temporaries(const std::string &path);

// Makes an empty file at `path` (never replacing anything), open for reading.
// With `like`, it takes that owner where the process may and its permission
// bits (writable_mode() while it is written) before anything is written into
// it; without, the mode of any new file (0666 less the umask). Returns -1
// with errno set on failure.
Fd create_empty(const std::string &path, const Owner *like);

// Owner and permission bits of what `path` names (not following a link),
// with its device and inode; 0 or an errno.
int owner_of(const std::string &path, Owner &owner, dev_t &device, ino_t &inode);

// Puts `from` at `to` only if nothing stands at `to` (EEXIST otherwise).
// Returns 0 or an errno.
int publish_new(const std::string &from, const std::string &to);

// The directory that holds `path` ("." for a bare name).
std::string directory_of(const std::string &path);

// Makes the directory holding `path` durable: its entries created, renamed
// or removed before survive a power loss. 0 or an errno.
int sync_directory_of(const std::string &path);

// pread until `size` bytes are in; bytes past the end of the file read as
// zero. False with errno set on failure.
bool read_all(int fd, void *data, size_t size, uint64_t offset);

}  // namespace quorbel::posix
