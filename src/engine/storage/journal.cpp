// The journalling file driver: HDF5's reads and writes of a factor file, with
// the old bytes of every overwrite saved in the undo journal first while a
// write transaction runs. The journal's format is journal_format.cpp's; what
// is done with a journal found later, journal_recovery.cpp's.
#include "journal.hpp"

#include <fcntl.h>
#include <hdf5.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "error.hpp"
#include "file_locking.hpp"
#include "journal_format.hpp"
#include "posix_files.hpp"

namespace quorbel::h5::journal {
namespace {

using format::write_all;

using format::fail;
using format::sync_directory;

struct DriverFile;

struct Transaction {
    std::string journal;
    posix::Fd journal_fd;  // open once the journal is made
    uint64_t base_size = 0;
    int64_t base_mtime_ns = 0;
    int64_t history_size = -1;     // the history's length before the write; -1: the file keeps none
    bool journal_unsynced = false;  // journal bytes written since its last sync
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
    bool lock_reads = true;     // see DriverOptions
    uint64_t private_serial = 0;  // nonzero: an open no other open of the process shares
    bool unsynced = false;        // bytes written since the file was last synced
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
        // This writer holds the file's lock and its open undid the file's own
        // journal, so one found now was left for a file that stood here
        // before. Should it be this file's after all, it is an unfinished
        // write that nothing undid: never moved, never written past.
        const posix::Fd found(::open(tx.journal.c_str(), O_RDONLY | O_CLOEXEC));
        format::Journal parsed;
        if (found && format::read_journal(found.get(), parsed) == format::Parsed::Ok &&
            format::mismatch(parsed, found.get(), file.fd.get(), false).empty()) {
            fail("unable to write: an unfinished write's journal '" + tx.journal +
                     "' stands beside the file; open it again, which undoes that write",
                 EBUSY);
        }
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
    format::Identity id;
    if (!format::read_identity(file.fd.get(), id)) give_up("unable to fstat the file of the journal", errno);
    // Recovery may decide whose journal this is only on what is on disk by
    // the time the journal is. Generation and birth time are, from the
    // file's creation on. Where the file system has neither, the fingerprint
    // decides, and it must not cover bytes that a power cut could take back:
    // the open's own rewrite of the superblock, say, which no sync has
    // followed yet. Once per open at most: a commit syncs the file.
    if (!id.distinctive() && file.unsynced) {
        if (::fdatasync(file.fd.get()) != 0) give_up("unable to sync the file before its journal", errno);
        file.unsynced = false;
    }
    format::Header header;
    if (!format::make_header(file.fd.get(), tx.base_size, header)) {
        give_up("unable to read the file for the journal", errno);
    }
    // No sync here: the records' sync, which always comes before the first
    // overwrite, makes the header durable with them (and a history is only
    // appended to once the journal is durable: Driver::make_journal_durable).
    bool written = false;
    if (tx.history_size >= 0) {
        const format::HeaderV3 with_history = format::with_history(header, tx.history_size);
        written = write_all(fd.get(), &with_history, sizeof with_history, 0);
    } else {
        written = write_all(fd.get(), &header, sizeof header, 0);
    }
    if (!written) give_up("unable to write the journal", errno);
    tx.journal_unsynced = true;
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
            std::vector<unsigned char> record(sizeof(format::RecordHead) + (to - from));
            unsigned char *bytes = record.data() + sizeof(format::RecordHead);
            if (!posix::read_all(file.fd.get(), bytes, to - from, from)) fail("unable to read bytes to journal", errno);
            format::RecordHead head{from, to - from, 0, 0};
            head.checksum = format::record_checksum(head, bytes);
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
    if (wrote) {
        if (::fdatasync(tx.journal_fd.get()) != 0) fail("unable to sync the journal", errno);
        tx.journal_unsynced = false;
    }
}

uint64_t next_private_serial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
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
    if (const auto *options = static_cast<const DriverOptions *>(H5Pget_driver_info(fapl))) {
        file->lock_reads = options->lock_reads != 0;
        if (options->private_reads && !(flags & H5F_ACC_RDWR)) file->private_serial = next_private_serial();
    }
    H5Eclear2(H5E_DEFAULT);
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
    // HDF5 shares one open, and its cached metadata, between the opens of a
    // file it takes for the same: a private open is never the same as another.
    if (x->private_serial != y->private_serial) return x->private_serial < y->private_serial ? -1 : 1;
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
    file->unsynced = true;
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
    file->unsynced = true;
    return 0;
}

herr_t driver_lock(H5FD_t *f, hbool_t rw) {
    DriverFile *file = as_file(f);
    // A reader of this engine checks what it read against the file instead
    // of keeping writers out (see file_locking.hpp).
    if (!rw && !file->lock_reads) return 0;
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
    sizeof(DriverOptions),  // fapl_size: HDF5 copies and frees the options itself
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

void use_driver(int64_t fapl, const DriverOptions &options) {
    if (H5Pset_driver(static_cast<hid_t>(fapl), static_cast<hid_t>(driver_id()), &options) < 0) {
        raise_from_stack("Unable to set the file driver");
    }
}

void Driver::begin(int64_t file_id, const std::string &journal, int64_t history_size) {
    DriverFile &file = driver_file(file_id);
    if (file.tx) throw Error(ErrorKind::OS, "A write is already in progress on this factor file");
    struct stat st;
    if (::fstat(file.fd.get(), &st) != 0) fail("unable to fstat file", errno);
    file.tx = std::make_unique<Transaction>();
    file.tx->journal = journal;
    file.tx->history_size = history_size;
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

void Driver::make_journal_durable(int64_t file_id) {
    DriverFile &file = driver_file(file_id);
    if (!file.tx || !file.tx->journal_fd || !file.tx->journal_unsynced) return;
    if (::fdatasync(file.tx->journal_fd.get()) != 0) fail("unable to sync the journal '" + file.tx->journal + "'", errno);
    file.tx->journal_unsynced = false;
}

void Driver::commit(int64_t file_id) {
    DriverFile &file = driver_file(file_id);
    if (!file.tx) return;
    Transaction *tx = file.tx.get();
    // Readers compare the file's times before and after they read: every
    // commit must move them, even within one tick of a coarse clock.
    locking::advance_mtime(file.fd.get(), tx->base_mtime_ns);
    // The new content must be durable before its undo information goes.
    if (::fdatasync(file.fd.get()) != 0) fail("unable to sync file", errno);
    file.unsynced = false;
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
