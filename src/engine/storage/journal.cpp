#include "journal.hpp"

#include <fcntl.h>
#include <hdf5.h>
#include <libdeflate.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>

#include "error.hpp"
#include "file_locking.hpp"
#include "posix_files.hpp"

namespace quorbel::h5::journal {
namespace {

// ---------------------------------------------------------------------------
// Small POSIX helpers

// The journal must be found after a crash, and gone once its write is
// durable; a directory that cannot be synced only weakens that, so failures
// are not reported.
void sync_directory(const std::string &path) { (void)posix::sync_directory_of(path); }

bool write_all(int fd, const void *data, size_t size, uint64_t offset) {
    auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

uint32_t crc_of(const void *data, size_t size, uint32_t crc = 0) { return libdeflate_crc32(crc, data, size); }

// ---------------------------------------------------------------------------
// The journal file
//
// Header: magic, who the data file is (device, inode, and the inode
// generation and birth time where the file system has them), its size when
// the write began, a checksum of its first and last bytes below that size at
// that moment, and a checksum of the header. Then one record per saved
// region: offset, length, checksum, old bytes. A record is only trusted when
// it is complete and its checksum matches: a process killed while writing it
// had not yet touched the region it describes.

constexpr char kMagicV1[8] = {'Q', 'R', 'B', 'J', 'R', 'N', 'L', '1'};
constexpr char kMagic[8] = {'Q', 'R', 'B', 'J', 'R', 'N', 'L', '2'};

// Journals of the first format, which named the file by device and inode.
struct HeaderV1 {
    char magic[8];
    uint64_t device;
    uint64_t inode;
    uint64_t base_size;
    uint32_t checksum;
    uint32_t reserved;
};

enum : uint32_t { kHasGeneration = 1, kHasBirth = 2 };

struct Header {
    char magic[8];
    uint64_t device;
    uint64_t inode;
    uint64_t base_size;
    int64_t birth_sec;
    uint32_t birth_nsec;
    uint32_t generation;
    uint32_t identifiers;  // which of generation and birth time were recorded
    uint32_t head_crc;     // of the bytes in sample_ranges(base_size)
    uint32_t tail_crc;
    uint32_t checksum;
};
static_assert(sizeof(HeaderV1) == 40 && sizeof(Header) == 64, "the journal header layout is on disk");

struct RecordHead {
    uint64_t offset;
    uint64_t length;
    uint32_t checksum;  // over offset, length and the bytes
    uint32_t reserved;
};

template <typename H>
uint32_t header_checksum(const H &h) {
    return crc_of(&h, offsetof(H, checksum));
}

uint32_t record_checksum(const RecordHead &r, const unsigned char *bytes) {
    uint32_t crc = crc_of(&r.offset, sizeof r.offset);
    crc = crc_of(&r.length, sizeof r.length, crc);
    return crc_of(bytes, static_cast<size_t>(r.length), crc);
}

struct Record {
    uint64_t offset;
    std::vector<unsigned char> bytes;
};

// ---------------------------------------------------------------------------
// Who a file is
//
// Device and inode name a file only while it exists: a file created after
// another was deleted often gets the same inode at once. The inode
// generation and the birth time tell the two apart.

struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool has_generation = false;
    uint32_t generation = 0;
    bool has_birth = false;
    int64_t birth_sec = 0;
    uint32_t birth_nsec = 0;
};

bool read_identity(int fd, Identity &id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
    long generation = 0;  // the kernel stores an int in it
    if (::ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
        id.has_generation = true;
        id.generation = static_cast<uint32_t>(generation);
    }
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
        id.has_birth = true;
        id.birth_sec = sx.stx_btime.tv_sec;
        id.birth_nsec = sx.stx_btime.tv_nsec;
    }
    return true;
}

// The file's first and last bytes below `base_size`, which the fingerprint
// covers: any other file is all but sure to differ there (the superblock,
// the last chunk written).
constexpr uint64_t kSample = 4096;

std::pair<uint64_t, uint64_t> head_range(uint64_t base_size) { return {0, std::min(kSample, base_size)}; }
std::pair<uint64_t, uint64_t> tail_range(uint64_t base_size) {
    return {base_size - std::min(kSample, base_size), base_size};
}

// The checksum of [lo, hi) as the file held it when the journal was begun:
// what it holds now with the journal's saved bytes put back, as apply() would.
bool sample_crc(int fd, std::pair<uint64_t, uint64_t> range, const std::vector<Record> &records, uint32_t &crc) {
    const auto [lo, hi] = range;
    std::vector<unsigned char> bytes(static_cast<size_t>(hi - lo));
    if (!posix::read_all(fd, bytes.data(), bytes.size(), lo)) return false;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const uint64_t from = std::max(lo, it->offset), to = std::min(hi, it->offset + it->bytes.size());
        if (from < to) std::memcpy(bytes.data() + (from - lo), it->bytes.data() + (from - it->offset), to - from);
    }
    crc = crc_of(bytes.data(), bytes.size());
    return true;
}

struct Journal {
    int version = 0;
    Header header{};  // a first-format header fills device, inode and base_size
    std::vector<Record> records;
};

enum class Parsed { Ok, CutShort, Unknown };

// The journal's header and complete records. CutShort: a kill while its
// header was being written, so it describes no write. Unknown: not a journal
// this engine can read.
Parsed read_journal(int fd, Journal &journal) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Parsed::Unknown;
    const uint64_t end = static_cast<uint64_t>(st.st_size);
    char magic[8] = {};
    if (!posix::read_all(fd, magic, sizeof magic, 0)) return Parsed::Unknown;
    const size_t present = static_cast<size_t>(std::min<uint64_t>(end, sizeof magic));
    const bool v1 = std::memcmp(magic, kMagicV1, present) == 0, v2 = std::memcmp(magic, kMagic, present) == 0;
    if (!v1 && !v2) return Parsed::Unknown;
    if (end < sizeof magic) return Parsed::CutShort;
    uint64_t at = 0;
    if (v1) {
        HeaderV1 h{};
        if (end < sizeof h) return Parsed::CutShort;
        if (!posix::read_all(fd, &h, sizeof h, 0) || h.checksum != header_checksum(h)) return Parsed::Unknown;
        journal.version = 1;
        journal.header.device = h.device;
        journal.header.inode = h.inode;
        journal.header.base_size = h.base_size;
        at = sizeof h;
    } else {
        if (end < sizeof journal.header) return Parsed::CutShort;
        if (!posix::read_all(fd, &journal.header, sizeof journal.header, 0) ||
            journal.header.checksum != header_checksum(journal.header)) {
            return Parsed::Unknown;
        }
        journal.version = 2;
        at = sizeof journal.header;
    }
    while (at + sizeof(RecordHead) <= end) {
        RecordHead head;
        if (!posix::read_all(fd, &head, sizeof head, at)) break;
        if (head.length > end - at - sizeof head) break;  // cut short by the kill
        Record record{head.offset, std::vector<unsigned char>(static_cast<size_t>(head.length))};
        if (!posix::read_all(fd, record.bytes.data(), record.bytes.size(), at + sizeof head)) break;
        if (record_checksum(head, record.bytes.data()) != head.checksum) break;
        journal.records.push_back(std::move(record));
        at += sizeof head + head.length;
    }
    return Parsed::Ok;
}

bool born_before(const Identity &a, const Identity &b) {
    return a.birth_sec != b.birth_sec ? a.birth_sec < b.birth_sec : a.birth_nsec < b.birth_nsec;
}

// Why the journal was not written for the open file `data_fd`; empty when it
// was. Every identifier the journal recorded must match, and the file's
// sampled bytes, with the saved ones put back, must be those it had then.
// `content`: also compare the file's content with what the journal recorded,
// which only holds once the journal's writer is gone (a live one is changing it).
std::string mismatch(const Journal &journal, int journal_fd, int data_fd, bool content = true) {
    Identity file;
    if (!read_identity(data_fd, file)) return "the file cannot be examined (" + std::string(std::strerror(errno)) + ")";
    const Header &h = journal.header;
    if (h.device != file.device || h.inode != file.inode) return "it was written for another file";
    if (journal.version == 1) {
        // The first format names the file by device and inode only; a journal
        // born before the file at the path cannot be that file's.
        Identity own;
        if (!read_identity(journal_fd, own) || !own.has_birth || !file.has_birth) {
            return "it is of an older format, and without birth times it cannot be told whether it is this file's";
        }
        if (born_before(own, file)) return "it is older than the file at the path, so it was another file's";
        return {};
    }
    if ((h.identifiers & kHasGeneration) && (!file.has_generation || file.generation != h.generation)) {
        return "it was written for an earlier file with the same inode (the inode generation differs)";
    }
    if ((h.identifiers & kHasBirth) &&
        (!file.has_birth || file.birth_sec != h.birth_sec || file.birth_nsec != h.birth_nsec)) {
        return "it was written for an earlier file with the same inode (the birth time differs)";
    }
    if (!content) return {};
    uint32_t head = 0, tail = 0;
    if (!sample_crc(data_fd, head_range(h.base_size), journal.records, head) ||
        !sample_crc(data_fd, tail_range(h.base_size), journal.records, tail)) {
        return "the file cannot be read (" + std::string(std::strerror(errno)) + ")";
    }
    if (head != h.head_crc || tail != h.tail_crc) return "the file's content is not the one it was written against";
    return {};
}

// ---------------------------------------------------------------------------
// Journals set aside

std::mutex &set_aside_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<SetAside> &set_aside_events() {
    static std::vector<SetAside> events;
    return events;
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

// Moves a journal that must not be applied to a hidden sibling, never
// deleting it: it may be the only copy of another file's old bytes.
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
    std::lock_guard<std::mutex> lock(set_aside_mutex());
    set_aside_events().push_back(event);
    return event;
}

[[noreturn]] void fail(const std::string &what, int error_number) {
    throw Error(ErrorKind::OS, what + ", errno = " + std::to_string(error_number) + ", error message = '" +
                                   std::strerror(error_number) + "'",
                error_number);
}

// ---------------------------------------------------------------------------
// The driver

struct DriverFile;

struct Transaction {
    std::string journal;
    posix::Fd journal_fd;  // open once the journal is made
    uint64_t base_size = 0;
    int64_t base_mtime_ns = 0;
    std::map<uint64_t, uint64_t> saved;  // start -> end of regions already saved

    // The parts of [lo, hi) not yet saved.
    std::vector<std::pair<uint64_t, uint64_t>> unsaved(uint64_t lo, uint64_t hi) const {
        std::vector<std::pair<uint64_t, uint64_t>> gaps;
        hi = std::min(hi, base_size);
        if (lo >= hi) return gaps;
        auto it = saved.upper_bound(lo);
        if (it != saved.begin()) {
            auto before = std::prev(it);
            if (before->second > lo) lo = before->second;
        }
        for (; lo < hi; ++it) {
            if (it == saved.end() || it->first >= hi) {
                gaps.emplace_back(lo, hi);
                break;
            }
            if (it->first > lo) gaps.emplace_back(lo, it->first);
            lo = std::max(lo, it->second);
        }
        return gaps;
    }

    void mark(uint64_t lo, uint64_t hi) {
        auto it = saved.upper_bound(lo);
        if (it != saved.begin() && std::prev(it)->second >= lo) {
            --it;
            lo = it->first;
        }
        while (it != saved.end() && it->first <= hi) {
            hi = std::max(hi, it->second);
            it = saved.erase(it);
        }
        saved.emplace(lo, hi);
    }
};

// Made by driver_open and handed to HDF5 as its `pub`; driver_close takes
// it back and ends it.
struct DriverFile {
    H5FD_t pub;  // first: HDF5 sees this part
    posix::Fd fd;
    haddr_t eoa = 0;
    haddr_t eof = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    std::string name;
    bool discarding = false;
    bool ignore_lock_refusal = false;  // best-effort: a file system without locks is used unlocked
    bool locked = false;
    std::unique_ptr<Transaction> tx;  // an unfinished write keeps its journal on disk
};

DriverFile *as_file(H5FD_t *f) { return reinterpret_cast<DriverFile *>(f); }
const DriverFile *as_file(const H5FD_t *f) { return reinterpret_cast<const DriverFile *>(f); }

// `error_number` is the errno the text names, 0 for none.
void push_error(hid_t minor, const char *function, int error_number, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    push_driver_error(minor, function, error_number, text);
}

void open_journal(DriverFile &file) {
    Transaction &tx = *file.tx;
    if (tx.journal_fd) return;
    struct stat st;
    if (::fstat(file.fd.get(), &st) != 0) fail("unable to fstat file", errno);
    // The journal holds the file's bytes: no one may read it who may not read the file.
    const mode_t mode = st.st_mode & 0777;
    posix::Fd fd(::open(tx.journal.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd && errno == EEXIST) {
        // This writer holds the file's lock and its open replayed the file's
        // own journal, so one found now was left for a file that stood here before.
        set_aside(tx.journal, file.name, "a write to the file found it in the way of its own journal");
        fd = posix::Fd(::open(tx.journal.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    }
    if (!fd) {
        fail("unable to create the journal '" + tx.journal + "' (writes need a writable directory for it: '" +
                 posix::directory_of(tx.journal) + "')",
             errno);
    }
    auto give_up = [&](const std::string &what, int error) {
        fd.reset();
        ::unlink(tx.journal.c_str());
        fail(what + " '" + tx.journal + "'", error);
    };
    // The umask may have narrowed the mode; never widen it beyond the file's.
    if (::fchmod(fd.get(), mode) != 0) give_up("unable to set the mode of the journal", errno);
    if (::fchown(fd.get(), static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM) {
        give_up("unable to set the group of the journal", errno);
    }
    Identity id;
    if (!read_identity(file.fd.get(), id)) give_up("unable to fstat the file of the journal", errno);
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.device = id.device;
    header.inode = id.inode;
    header.base_size = tx.base_size;
    if (id.has_generation) {
        header.identifiers |= kHasGeneration;
        header.generation = id.generation;
    }
    if (id.has_birth) {
        header.identifiers |= kHasBirth;
        header.birth_sec = id.birth_sec;
        header.birth_nsec = id.birth_nsec;
    }
    // Nothing below base_size has been overwritten yet: this is the file as
    // the write found it.
    if (!sample_crc(file.fd.get(), head_range(tx.base_size), {}, header.head_crc) ||
        !sample_crc(file.fd.get(), tail_range(tx.base_size), {}, header.tail_crc)) {
        give_up("unable to read the file for the journal", errno);
    }
    header.checksum = header_checksum(header);
    // No sync here: the records' sync, which always comes before the first
    // overwrite, makes the header durable with them.
    if (!write_all(fd.get(), &header, sizeof header, 0)) give_up("unable to write the journal", errno);
    tx.journal_fd = std::move(fd);
    sync_directory(tx.journal);  // the journal must be found after a crash
}

// Saves the old bytes of every unsaved part of the regions, then syncs once.
void save_regions(DriverFile &file, const std::vector<std::pair<uint64_t, uint64_t>> &regions) {
    Transaction &tx = *file.tx;
    bool wrote = false;
    for (const auto &[lo, hi] : regions) {
        for (const auto &[from, to] : tx.unsaved(lo, hi)) {
            open_journal(file);
            std::vector<unsigned char> record(sizeof(RecordHead) + (to - from));
            unsigned char *bytes = record.data() + sizeof(RecordHead);
            if (!posix::read_all(file.fd.get(), bytes, to - from, from)) fail("unable to read bytes to journal", errno);
            RecordHead head{from, to - from, 0, 0};
            head.checksum = record_checksum(head, bytes);
            std::memcpy(record.data(), &head, sizeof head);
            struct stat st;
            if (::fstat(tx.journal_fd.get(), &st) != 0) fail("unable to stat the journal", errno);
            if (!write_all(tx.journal_fd.get(), record.data(), record.size(), static_cast<uint64_t>(st.st_size))) {
                fail("unable to write the journal '" + tx.journal + "'", errno);
            }
            tx.mark(from, to);
            wrote = true;
        }
    }
    // The old bytes must be durable before anything overwrites them.
    if (wrote && ::fdatasync(tx.journal_fd.get()) != 0) fail("unable to sync the journal", errno);
}

H5FD_t *driver_open(const char *name, unsigned flags, hid_t fapl, haddr_t maxaddr) {
    int o_flags = (flags & H5F_ACC_RDWR) ? O_RDWR : O_RDONLY;
    if (flags & H5F_ACC_TRUNC) o_flags |= O_TRUNC;
    if (flags & H5F_ACC_CREAT) o_flags |= O_CREAT;
    if (flags & H5F_ACC_EXCL) o_flags |= O_EXCL;
    if (!name || !*name || maxaddr == 0 || maxaddr == HADDR_UNDEF) {
        push_error(H5E_BADVALUE, "driver_open", 0, "invalid file name or address space");
        return nullptr;
    }
    posix::Fd fd(::open(name, o_flags | O_CLOEXEC, 0666));
    if (!fd) {
        int error = errno;
        push_error(H5E_CANTOPENFILE, "driver_open", error,
                   "unable to open file: name = '%s', errno = %d, error message = '%s', flags = %x, o_flags = %x",
                   name, error, std::strerror(error), flags, static_cast<unsigned>(o_flags));
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        int error = errno;
        push_error(H5E_BADFILE, "driver_open", error, "unable to fstat file, errno = %d, error message = '%s'", error,
                   std::strerror(error));
        return nullptr;
    }
    std::unique_ptr<DriverFile> file(new (std::nothrow) DriverFile());
    if (!file) {
        push_error(H5E_CANTALLOC, "driver_open", 0, "unable to allocate file struct");
        return nullptr;
    }
    file->fd = std::move(fd);
    file->eof = static_cast<haddr_t>(st.st_size);
    file->device = static_cast<uint64_t>(st.st_dev);
    file->inode = static_cast<uint64_t>(st.st_ino);
    file->name = name;
    hbool_t use_locks = true, ignore_refusal = false;
    if (H5Pget_file_locking(fapl, &use_locks, &ignore_refusal) < 0) {
        H5Eclear2(H5E_DEFAULT);
        ignore_refusal = false;
    }
    file->ignore_lock_refusal = ignore_refusal;
    return &file.release()->pub;  // HDF5 holds it until driver_close
}

herr_t driver_close(H5FD_t *f) {
    const std::unique_ptr<DriverFile> file(as_file(f));
    const int error = file->fd.close();
    if (error != 0) {
        push_error(H5E_CANTCLOSEFILE, "driver_close", error, "unable to close file, errno = %d, error message = '%s'", error,
                   std::strerror(error));
        return -1;
    }
    return 0;
}

int driver_cmp(const H5FD_t *a, const H5FD_t *b) {
    const DriverFile *x = as_file(a), *y = as_file(b);
    if (x->device != y->device) return x->device < y->device ? -1 : 1;
    if (x->inode != y->inode) return x->inode < y->inode ? -1 : 1;
    return 0;
}

herr_t driver_query(const H5FD_t *, unsigned long *flags) {
    if (flags) {
        // No POSIX-compatible handle: get_handle gives this driver's own state,
        // and HDF5 would read it as a file descriptor when it follows a link.
        *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
                 H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
    }
    return 0;
}

haddr_t driver_get_eoa(const H5FD_t *f, H5FD_mem_t) { return as_file(f)->eoa; }

herr_t driver_set_eoa(H5FD_t *f, H5FD_mem_t, haddr_t addr) {
    as_file(f)->eoa = addr;
    return 0;
}

haddr_t driver_get_eof(const H5FD_t *f, H5FD_mem_t) { return as_file(f)->eof; }

herr_t driver_get_handle(H5FD_t *f, hid_t, void **handle) {
    *handle = f;  // this driver's own state; nothing outside the engine asks
    return 0;
}

herr_t driver_read(H5FD_t *f, H5FD_mem_t, hid_t, haddr_t addr, size_t size, void *buffer) {
    DriverFile *file = as_file(f);
    if (!posix::read_all(file->fd.get(), buffer, size, addr)) {
        int error = errno;
        push_error(H5E_READERROR, "driver_read", error,
                   "file read failed: filename = '%s', errno = %d, error message = '%s', offset = %llu, size = %llu",
                   file->name.c_str(), error, std::strerror(error), static_cast<unsigned long long>(addr),
                   static_cast<unsigned long long>(size));
        return -1;
    }
    return 0;
}

herr_t driver_write(H5FD_t *f, H5FD_mem_t, hid_t, haddr_t addr, size_t size, const void *buffer) {
    DriverFile *file = as_file(f);
    if (file->discarding) return 0;
    try {
        if (file->tx) save_regions(*file, {{addr, addr + size}});
    } catch (const Error &e) {
        push_error(H5E_WRITEERROR, "driver_write", e.error_number(), "%s", e.what());
        return -1;
    } catch (const std::exception &e) {
        push_error(H5E_WRITEERROR, "driver_write", 0, "unable to journal a write: %s", e.what());
        return -1;
    }
    if (!write_all(file->fd.get(), buffer, size, addr)) {
        int error = errno;
        push_error(H5E_WRITEERROR, "driver_write", error,
                   "file write failed: filename = '%s', errno = %d, error message = '%s', offset = %llu, size = %llu",
                   file->name.c_str(), error, std::strerror(error), static_cast<unsigned long long>(addr),
                   static_cast<unsigned long long>(size));
        return -1;
    }
    file->eof = std::max<haddr_t>(file->eof, addr + size);
    return 0;
}

herr_t driver_truncate(H5FD_t *f, hid_t, hbool_t) {
    DriverFile *file = as_file(f);
    if (file->eoa == file->eof || file->discarding) return 0;
    try {
        // Bytes a shrinking file gives up are saved like overwritten ones.
        if (file->tx && file->eoa < file->eof) save_regions(*file, {{file->eoa, file->eof}});
    } catch (const Error &e) {
        push_error(H5E_WRITEERROR, "driver_truncate", e.error_number(), "%s", e.what());
        return -1;
    } catch (const std::exception &e) {
        push_error(H5E_WRITEERROR, "driver_truncate", 0, "%s", e.what());
        return -1;
    }
    if (::ftruncate(file->fd.get(), static_cast<off_t>(file->eoa)) != 0) {
        int error = errno;
        push_error(H5E_SEEKERROR, "driver_truncate", error, "unable to extend file properly, errno = %d, error message = '%s'",
                   error, std::strerror(error));
        return -1;
    }
    file->eof = file->eoa;
    return 0;
}

herr_t driver_lock(H5FD_t *f, hbool_t rw) {
    DriverFile *file = as_file(f);
    if (::flock(file->fd.get(), (rw ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        int error = errno;
        if (error == ENOSYS) return 0;  // a file system without locks
        if (file->ignore_lock_refusal && locking::is_refusal(error)) return 0;
        push_error(H5E_CANTLOCKFILE, "driver_lock", error, "unable to lock file, errno = %d, error message = '%s'", error,
                   std::strerror(error));
        return -1;
    }
    file->locked = true;
    return 0;
}

herr_t driver_unlock(H5FD_t *f) {
    DriverFile *file = as_file(f);
    if (!file->locked) return 0;
    file->locked = false;
    if (::flock(file->fd.get(), LOCK_UN) != 0 && errno != ENOSYS) {
        int error = errno;
        push_error(H5E_CANTUNLOCKFILE, "driver_unlock", error, "unable to unlock file, errno = %d, error message = '%s'",
                   error, std::strerror(error));
        return -1;
    }
    return 0;
}

const H5FD_class_t kDriverClass = {
    "quorbel_journal",
    static_cast<haddr_t>((uint64_t(1) << 63) - 1),
    H5F_CLOSE_WEAK,
    nullptr,  // terminate
    nullptr,  // sb_size: no driver information in the superblock
    nullptr,
    nullptr,
    0,  // fapl_size
    nullptr,
    nullptr,
    nullptr,
    0,  // dxpl_size
    nullptr,
    nullptr,
    driver_open,
    driver_close,
    driver_cmp,
    driver_query,
    nullptr,  // get_type_map
    nullptr,  // alloc
    nullptr,  // free
    driver_get_eoa,
    driver_set_eoa,
    driver_get_eof,
    driver_get_handle,
    driver_read,
    driver_write,
    nullptr,  // flush
    driver_truncate,
    driver_lock,
    driver_unlock,
    H5FD_FLMAP_DICHOTOMY,
};

DriverFile &driver_file(int64_t file_id) {
    void *handle = nullptr;
    if (H5Fget_vfd_handle(file_id, H5P_DEFAULT, &handle) < 0 || !handle) {
        H5Eclear2(H5E_DEFAULT);
        throw Error(ErrorKind::OS, "Unable to reach the file driver of an open factor file");
    }
    auto *pub = static_cast<H5FD_t *>(handle);
    // By name: each extension module of the package carries its own copy of
    // the engine and registers the driver once, under the same name.
    if (!pub->cls || !pub->cls->name || std::strcmp(pub->cls->name, kDriverClass.name) != 0) {
        throw Error(ErrorKind::OS, "The factor file was not opened by this engine");
    }
    return *as_file(pub);
}

// Puts the saved bytes back and the file back to its old size.
void apply(int data_fd, const Header &header, const std::vector<Record> &records) {
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (!write_all(data_fd, it->bytes.data(), it->bytes.size(), it->offset)) fail("unable to undo a write", errno);
    }
    if (::ftruncate(data_fd, static_cast<off_t>(header.base_size)) != 0) fail("unable to undo a write", errno);
    if (::fsync(data_fd) != 0) fail("unable to sync an undone write", errno);
}

}  // namespace

int64_t driver_id() {
    static hid_t id = [] {
        hid_t registered = H5FDregister(&kDriverClass);
        if (registered < 0) {
            H5Eclear2(H5E_DEFAULT);
            throw Error(ErrorKind::OS, "Unable to register the journalling file driver");
        }
        return registered;
    }();
    return id;
}

Recovery recover(const std::string &data_path, SetAside *set_aside_event, bool writer_gone) {
    const std::string journal = journal_path(data_path);
    const posix::Fd journal_fd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
    if (!journal_fd) return Recovery::Nothing;
    auto put_aside = [&](const std::string &reason) {
        SetAside event = set_aside(journal, data_path, reason);
        if (set_aside_event) *set_aside_event = event;
        return Recovery::SetAside;
    };

    posix::Fd data_fd(::open(data_path.c_str(), O_RDWR | O_CLOEXEC));
    int write_error = 0;
    if (!data_fd) {
        write_error = errno;
        if (write_error == ENOENT) return put_aside("the file it was written for is no longer at the path");
        // Without write access the journal cannot be undone, but one that is
        // not this file's must not keep the file from being read.
        data_fd = posix::Fd(::open(data_path.c_str(), O_RDONLY | O_CLOEXEC));
    }
    auto no_write_access = [&] {
        throw Error(ErrorKind::OS,
                    "Unable to open file (an unfinished write left the journal '" + journal +
                        "', which needs write access to undo, errno = " + std::to_string(write_error) +
                        ", error message = '" + std::strerror(write_error) + "')",
                    write_error);
    };
    if (!data_fd) no_write_access();
    // A live writer holds the lock, and the journal is its own.
    if (!writer_gone) {
        int lock_error = 0;
        switch (locking::probe_writer(data_fd.get(), lock_error)) {
            case locking::Writer::Gone: break;
            case locking::Writer::Alive: return Recovery::Busy;
            case locking::Writer::Unknown: {
                if (lock_error != 0) fail("unable to lock file", lock_error);
                // A journal written for another file is no live writer's
                // concern here, and must not keep this file from opening.
                // Only the file's identity tells: its content may be mid-write.
                Journal parsed;
                if (read_journal(journal_fd.get(), parsed) == Parsed::Ok) {
                    const std::string reason = mismatch(parsed, journal_fd.get(), data_fd.get(), false);
                    if (!reason.empty()) return put_aside(reason);
                }
                return Recovery::Unproven;
            }
        }
    }
    Journal parsed;
    switch (read_journal(journal_fd.get(), parsed)) {
        case Parsed::CutShort:
            // Killed while writing its header, before any record was synced:
            // nothing was overwritten, so there is nothing to undo.
            ::unlink(journal.c_str());
            sync_directory(journal);
            return Recovery::Nothing;
        case Parsed::Unknown: return put_aside("it is not a journal this engine can read");
        case Parsed::Ok: break;
    }
    const std::string reason = mismatch(parsed, journal_fd.get(), data_fd.get());
    if (!reason.empty()) return put_aside(reason);
    if (write_error != 0) no_write_access();
    apply(data_fd.get(), parsed.header, parsed.records);
    ::unlink(journal.c_str());
    sync_directory(journal);
    return Recovery::Replayed;
}

std::vector<SetAside> take_set_aside() {
    std::lock_guard<std::mutex> lock(set_aside_mutex());
    return std::exchange(set_aside_events(), {});
}

bool journal_is_own(const std::string &data_path, int data_fd) {
    const posix::Fd journal_fd(::open(journal_path(data_path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!journal_fd) return false;
    Journal parsed;
    return read_journal(journal_fd.get(), parsed) == Parsed::Ok && mismatch(parsed, journal_fd.get(), data_fd).empty();
}

std::optional<std::pair<uint64_t, uint64_t>> written_for(const std::string &journal) {
    const posix::Fd fd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
    Journal parsed;
    if (!fd || read_journal(fd.get(), parsed) != Parsed::Ok) return std::nullopt;
    return std::make_pair(parsed.header.device, parsed.header.inode);
}

bool retarget(const std::string &journal, const std::string &data_path) {
    const posix::Fd fd(::open(journal.c_str(), O_RDWR | O_CLOEXEC));
    const posix::Fd data(::open(data_path.c_str(), O_RDONLY | O_CLOEXEC));
    Journal parsed;
    Identity id;
    if (!fd || !data || read_journal(fd.get(), parsed) != Parsed::Ok || !read_identity(data.get(), id)) return false;
    if (parsed.version == 1) {
        HeaderV1 h{};
        if (!posix::read_all(fd.get(), &h, sizeof h, 0)) return false;
        h.device = id.device;
        h.inode = id.inode;
        h.checksum = header_checksum(h);
        return write_all(fd.get(), &h, sizeof h, 0);
    }
    Header &h = parsed.header;
    h.device = id.device;
    h.inode = id.inode;
    h.identifiers = 0;
    h.generation = 0;
    h.birth_sec = 0;
    h.birth_nsec = 0;
    if (id.has_generation) {
        h.identifiers |= kHasGeneration;
        h.generation = id.generation;
    }
    if (id.has_birth) {
        h.identifiers |= kHasBirth;
        h.birth_sec = id.birth_sec;
        h.birth_nsec = id.birth_nsec;
    }
    h.checksum = header_checksum(h);
    return write_all(fd.get(), &h, sizeof h, 0);
}

void Driver::begin(int64_t file_id, const std::string &data_path) {
    DriverFile &file = driver_file(file_id);
    if (file.tx) throw Error(ErrorKind::OS, "A write is already in progress on this factor file");
    struct stat st;
    if (::fstat(file.fd.get(), &st) != 0) fail("unable to fstat file", errno);
    file.tx = std::make_unique<Transaction>();
    file.tx->journal = journal_path(data_path);
    file.tx->base_size = static_cast<uint64_t>(st.st_size);
    file.tx->base_mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    // Made now rather than at the first overwrite: a journal that cannot be
    // made then fails the write before HDF5 has changed anything, whereas
    // HDF5 1.10.8 cannot close a file after a failed flush.
    try {
        open_journal(file);
    } catch (...) {
        file.tx.reset();
        throw;
    }
}

void Driver::save_ahead(int64_t file_id, const std::vector<std::pair<uint64_t, uint64_t>> &regions) {
    DriverFile &file = driver_file(file_id);
    if (file.tx) save_regions(file, regions);
}

void Driver::commit(int64_t file_id) {
    DriverFile &file = driver_file(file_id);
    if (!file.tx) return;
    Transaction *tx = file.tx.get();
    // The new content must be durable before its undo information goes.
    if (!file.locked) locking::advance_mtime(file.fd.get(), tx->base_mtime_ns);
    if (::fdatasync(file.fd.get()) != 0) fail("unable to sync file", errno);
    if (tx->journal_fd) {
        tx->journal_fd.reset();
        if (::unlink(tx->journal.c_str()) != 0) fail("unable to remove the journal '" + tx->journal + "'", errno);
        sync_directory(tx->journal);
    }
    file.tx.reset();
}

void Driver::discard_writes(int64_t file_id) {
    DriverFile &file = driver_file(file_id);
    file.discarding = true;
    if (file.tx) file.tx->journal_fd.reset();
}

bool Driver::in_transaction(int64_t file_id) { return driver_file(file_id).tx != nullptr; }

bool Driver::holds_lock(int64_t file_id) { return driver_file(file_id).locked; }

std::pair<uint64_t, uint64_t> Driver::identity(int64_t file_id) {
    const DriverFile &file = driver_file(file_id);
    return {file.device, file.inode};
}

void Driver::rename(int64_t file_id, const std::string &path) { driver_file(file_id).name = path; }

int Driver::raw_descriptor(int64_t file_id) {
    DriverFile &file = driver_file(file_id);
    // HDF5 hands the driver addresses shifted by the base address; the
    // addresses it reports to callers do not agree on that across versions.
    return file.pub.base_addr == 0 ? file.fd.get() : -1;
}

}  // namespace quorbel::h5::journal
