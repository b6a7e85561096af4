#include "journal_format.hpp"

#include <fcntl.h>
#include <libdeflate.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "error.hpp"
#include "journal.hpp"
#include "posix_files.hpp"

namespace quorbel::h5::journal {
namespace format {
namespace {

// The file's first and last bytes below `base_size`, which the fingerprint
// covers: any other file is all but sure to differ there (the superblock,
// the last chunk written).
constexpr uint64_t kSample = 4096;

std::pair<uint64_t, uint64_t> head_range(uint64_t base_size) { return {0, std::min(kSample, base_size)}; }
std::pair<uint64_t, uint64_t> tail_range(uint64_t base_size) {
    return {base_size - std::min(kSample, base_size), base_size};
}

// The checksum of [lo, hi) as the file held it when the journal was begun:
// what it holds now with the journal's saved bytes put back, as recovery would.
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

bool born_before(const Identity &a, const Identity &b) {
    return a.birth_sec != b.birth_sec ? a.birth_sec < b.birth_sec : a.birth_nsec < b.birth_nsec;
}

void set_identifiers(Header &h, const Identity &id) {
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
}

// Whether the header's first `size` bytes are zero: the size of a journal
// reached the disk, its header did not.
bool all_zero(const char *bytes, size_t size) {
    return std::all_of(bytes, bytes + size, [](char c) { return c == 0; });
}

}  // namespace

void sync_directory(const std::string &path) { (void)posix::sync_directory_of(path); }

void fail(const std::string &what, int error_number) {
    throw Error(ErrorKind::OS, what + ", errno = " + std::to_string(error_number) + ", error message = '" +
                                   std::strerror(error_number) + "'",
                error_number);
}

uint32_t crc_of(const void *data, size_t size, uint32_t crc) { return libdeflate_crc32(crc, data, size); }

uint32_t record_checksum(const RecordHead &r, const unsigned char *bytes) {
    uint32_t crc = crc_of(&r.offset, sizeof r.offset);
    crc = crc_of(&r.length, sizeof r.length, crc);
    return crc_of(bytes, static_cast<size_t>(r.length), crc);
}

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

uint32_t header_checksum(const Header &h) { return crc_of(&h, offsetof(Header, checksum)); }
uint32_t header_checksum(const HeaderV1 &h) { return crc_of(&h, offsetof(HeaderV1, checksum)); }
uint32_t header_checksum(const HeaderV3 &h) { return crc_of(&h, offsetof(HeaderV3, checksum)); }

HeaderV3 with_history(const Header &header, int64_t history_size) {
    HeaderV3 h{};
    h.base = header;
    std::memcpy(h.base.magic, kMagicV3, sizeof kMagicV3);
    h.base.checksum = header_checksum(h.base);
    h.history_size = history_size;
    h.checksum = header_checksum(h);
    return h;
}

uint64_t header_size(int version) {
    return version == 1 ? sizeof(HeaderV1) : version == 3 ? sizeof(HeaderV3) : sizeof(Header);
}

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

bool make_header(int data_fd, uint64_t base_size, Header &header) {
    Identity id;
    if (!read_identity(data_fd, id)) return false;
    header = Header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    set_identifiers(header, id);
    header.base_size = base_size;
    // Nothing below base_size has been overwritten yet: this is the file as
    // the write found it.
    if (!sample_crc(data_fd, head_range(base_size), {}, header.head_crc) ||
        !sample_crc(data_fd, tail_range(base_size), {}, header.tail_crc)) {
        return false;
    }
    header.checksum = header_checksum(header);
    return true;
}

Parsed read_header(int fd, Journal &journal) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Parsed::Unknown;
    const uint64_t end = static_cast<uint64_t>(st.st_size);
    char magic[8] = {};
    if (!posix::read_all(fd, magic, sizeof magic, 0)) return Parsed::Unknown;
    const size_t present = static_cast<size_t>(std::min<uint64_t>(end, sizeof magic));
    if (all_zero(magic, present)) return Parsed::CutShort;
    const bool v1 = std::memcmp(magic, kMagicV1, present) == 0, v2 = std::memcmp(magic, kMagic, present) == 0,
               v3 = std::memcmp(magic, kMagicV3, present) == 0;
    if (!v1 && !v2 && !v3) return Parsed::Unknown;
    if (end < sizeof magic) return Parsed::CutShort;
    if (v1) {
        HeaderV1 h{};
        if (end < sizeof h) return Parsed::CutShort;
        if (!posix::read_all(fd, &h, sizeof h, 0) || h.checksum != header_checksum(h)) return Parsed::Unknown;
        journal.version = 1;
        journal.header.device = h.device;
        journal.header.inode = h.inode;
        journal.header.base_size = h.base_size;
        return Parsed::Ok;
    }
    if (v3) {
        HeaderV3 h{};
        if (end < sizeof h) return Parsed::CutShort;
        if (!posix::read_all(fd, &h, sizeof h, 0) || h.checksum != header_checksum(h) ||
            h.base.checksum != header_checksum(h.base) || h.history_size < 0) {
            return Parsed::Unknown;
        }
        journal.version = 3;
        journal.header = h.base;
        journal.history_size = h.history_size;
        return Parsed::Ok;
    }
    if (end < sizeof journal.header) return Parsed::CutShort;
    if (!posix::read_all(fd, &journal.header, sizeof journal.header, 0) ||
        journal.header.checksum != header_checksum(journal.header)) {
        return Parsed::Unknown;
    }
    journal.version = 2;
    return Parsed::Ok;
}

Parsed read_journal(int fd, Journal &journal) {
    const Parsed parsed = read_header(fd, journal);
    if (parsed != Parsed::Ok) return parsed;
    struct stat st;
    if (::fstat(fd, &st) != 0) return Parsed::Unknown;
    const uint64_t end = static_cast<uint64_t>(st.st_size);
    uint64_t at = header_size(journal.version);
    while (at + sizeof(RecordHead) <= end) {
        RecordHead head;
        if (!posix::read_all(fd, &head, sizeof head, at)) break;
        if (head.length > end - at - sizeof head) break;  // cut short
        Record record{head.offset, std::vector<unsigned char>(static_cast<size_t>(head.length))};
        if (!posix::read_all(fd, record.bytes.data(), record.bytes.size(), at + sizeof head)) break;
        if (record_checksum(head, record.bytes.data()) != head.checksum) break;
        journal.records.push_back(std::move(record));
        at += sizeof head + head.length;
    }
    return Parsed::Ok;
}

std::string mismatch(const Journal &journal, int journal_fd, int data_fd, bool content) {
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
    // The fingerprint may hold bytes that a power cut took back (the open's
    // own rewrite of the superblock, say): where an identifier decided, it
    // is not asked.
    if (h.identifiers & (kHasGeneration | kHasBirth)) return {};
    if (!content) return {};
    uint32_t head = 0, tail = 0;
    if (!sample_crc(data_fd, head_range(h.base_size), journal.records, head) ||
        !sample_crc(data_fd, tail_range(h.base_size), journal.records, tail)) {
        return "the file cannot be read (" + std::string(std::strerror(errno)) + ")";
    }
    if (head != h.head_crc || tail != h.tail_crc) return "the file's content is not the one it was written against";
    return {};
}

}  // namespace format

// ---------------------------------------------------------------------------
// For the crash-state tools (journal.hpp)

std::optional<std::pair<uint64_t, uint64_t>> written_for(const std::string &journal) {
    const posix::Fd fd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
    format::Journal parsed;
    if (!fd || format::read_header(fd.get(), parsed) != format::Parsed::Ok) return std::nullopt;
    return std::make_pair(parsed.header.device, parsed.header.inode);
}

bool retarget(const std::string &journal, const std::string &data_path) {
    const posix::Fd fd(::open(journal.c_str(), O_RDWR | O_CLOEXEC));
    const posix::Fd data(::open(data_path.c_str(), O_RDONLY | O_CLOEXEC));
    format::Journal parsed;
    format::Identity id;
    if (!fd || !data || format::read_header(fd.get(), parsed) != format::Parsed::Ok ||
        !format::read_identity(data.get(), id)) {
        return false;
    }
    if (parsed.version == 1) {
        format::HeaderV1 h{};
        if (!posix::read_all(fd.get(), &h, sizeof h, 0)) return false;
        h.device = id.device;
        h.inode = id.inode;
        h.checksum = format::header_checksum(h);
        return format::write_all(fd.get(), &h, sizeof h, 0);
    }
    format::Header &h = parsed.header;
    format::set_identifiers(h, id);
    h.checksum = format::header_checksum(h);
    if (parsed.version == 3) {
        const format::HeaderV3 v3 = format::with_history(h, parsed.history_size);
        return format::write_all(fd.get(), &v3, sizeof v3, 0);
    }
    return format::write_all(fd.get(), &h, sizeof h, 0);
}

}  // namespace quorbel::h5::journal
