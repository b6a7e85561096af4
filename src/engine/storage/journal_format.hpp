// The undo journal on disk, and which file it was written for. Shared by the
// journalling driver (journal.cpp), which writes journals, and recovery
// (journal_recovery.cpp), which reads them; nothing outside storage/ sees it.
//
// A journal is a header, then one record per saved region: offset, length,
// checksum, old bytes. A record is only trusted when it is complete and its
// checksum matches: a process killed or a machine stopped while writing it
// had not yet synced it, and nothing overwrites a region before its record is
// synced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quorbel::h5::journal::format {

constexpr char kMagicV1[8] = {'Q', 'R', 'B', 'J', 'R', 'N', 'L', '1'};
constexpr char kMagic[8] = {'Q', 'R', 'B', 'J', 'R', 'N', 'L', '2'};
// The journal of a write to a file that keeps a history: a second-format
// header under its own magic, then the history's length from before the
// write. An engine that knows only the first two formats takes it for no
// journal of its own and never applies it (it would leave the history
// holding a record of a write it undid).
constexpr char kMagicV3[8] = {'Q', 'R', 'B', 'J', 'R', 'N', 'L', '3'};

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
    uint32_t head_crc;     // the fingerprint: of the file's first bytes below base_size
    uint32_t tail_crc;     // and of its last
    uint32_t checksum;
};
// `base` is a second-format header with kMagicV3 and its own checksum.
struct HeaderV3 {
    Header base;
    int64_t history_size;  // the history's length in bytes before the write
    uint32_t reserved;
    uint32_t checksum;  // over everything before it
};
static_assert(sizeof(HeaderV1) == 40 && sizeof(Header) == 64 && sizeof(HeaderV3) == 80,
              "the journal header layout is on disk");

struct RecordHead {
    uint64_t offset;
    uint64_t length;
    uint32_t checksum;  // over offset, length and the bytes
    uint32_t reserved;
};

struct Record {
    uint64_t offset;
    std::vector<unsigned char> bytes;
};

struct Journal {
    int version = 0;
    Header header{};  // a first-format header fills device, inode and base_size
    // Third format: the length the file's history had before the write,
    // which undoing the write cuts the history back to. -1: no history.
    int64_t history_size = -1;
    std::vector<Record> records;
};

// Helpers the driver and recovery share. The journal must be found after a
// crash, and gone once its write is durable; a directory that cannot be
// synced only weakens that, so its failure is not reported.
void sync_directory(const std::string &path);
// An OS-kind h5::Error "<what>, errno = N, error message = '...'".
[[noreturn]] void fail(const std::string &what, int error_number);

uint32_t crc_of(const void *data, size_t size, uint32_t crc = 0);
uint32_t record_checksum(const RecordHead &r, const unsigned char *bytes);
bool write_all(int fd, const void *data, size_t size, uint64_t offset);

// Who a file is. Device and inode name a file only while it exists: a file
// created after another was deleted often gets the same inode at once. The
// inode generation and the birth time tell the two apart.
struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool has_generation = false;
    uint32_t generation = 0;
    bool has_birth = false;
    int64_t birth_sec = 0;
    uint32_t birth_nsec = 0;
    // The file system offers something beyond device and inode that a new
    // file at a recycled inode never shares.
    bool distinctive() const { return has_generation || has_birth; }
};
bool read_identity(int fd, Identity &id);

// The header of a journal for the file open as `data_fd`, of `base_size`
// bytes, as it is now. The fingerprint covers bytes as they are in the page
// cache: the caller makes sure they are also on disk where the fingerprint
// will decide (see Driver::begin). False with errno set when the file cannot
// be examined.
bool make_header(int data_fd, uint64_t base_size, Header &header);
uint32_t header_checksum(const Header &h);
uint32_t header_checksum(const HeaderV1 &h);
uint32_t header_checksum(const HeaderV3 &h);
// The third-format header for `header` and a history of `history_size` bytes.
HeaderV3 with_history(const Header &header, int64_t history_size);
// Bytes from the start of a journal of `version` to its first record.
uint64_t header_size(int version);

enum class Parsed { Ok, CutShort, Unknown };
// The journal's header and complete records. CutShort: its header never
// reached the disk whole (a kill while it was written, or a power cut before
// its first sync), so it describes no write. Unknown: not a journal this
// engine can read.
Parsed read_journal(int fd, Journal &journal);
// The header alone, for a look that must stay cheap.
Parsed read_header(int fd, Journal &journal);

// Why the journal was not written for the file open as `data_fd`; empty when
// it was. Device and inode must match. Then the inode generation and birth
// time, where the journal recorded either, decide alone: they are the file's
// from its creation, so they hold whatever a power cut took. Only a journal
// that recorded neither falls back on the fingerprint: the file's first and
// last bytes below the size it had, with the saved bytes put back, must be
// what they were. `content` false skips that comparison, for a file whose
// writer may still be changing it.
std::string mismatch(const Journal &journal, int journal_fd, int data_fd, bool content = true);

}  // namespace quorbel::h5::journal::format
