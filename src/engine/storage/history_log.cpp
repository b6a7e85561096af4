#include "history_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

#include "error.hpp"
#include "history_cells.hpp"
#include "journal_format.hpp"
#include "posix_files.hpp"

namespace quorbel::history {

namespace {

using h5::journal::format::crc_of;
namespace format = h5::journal::format;

template <typename T>
void append_bytes(std::vector<unsigned char> &out, const T &value) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

// The entries of one record's payload, which its CRC has vouched for.
std::vector<ColumnChange> decode_changes(const unsigned char *payload, const RecordHead &head, CellsToo cells,
                                         const std::string &path, uint64_t offset) {
    std::vector<ColumnChange> changes;
    changes.reserve(head.column_count);
    size_t at = 0;
    for (uint32_t i = 0; i < head.column_count; ++i) {
        if (at + sizeof(EntryHead) > head.payload_bytes) damaged_record(path, offset, "an entry runs past the payload");
        EntryHead entry;
        std::memcpy(&entry, payload + at, sizeof entry);
        at += sizeof entry;
        if (entry.state > kCellsDeflated) damaged_record(path, offset, "unknown column state " + std::to_string(entry.state));
        ColumnChange change;
        change.column = entry.column;
        change.state = entry.state == kCellsDeflated ? kCells : entry.state;
        change.cells = entry.cells;
        if (entry.state == kCells || entry.state == kCellsDeflated) {
            at = read_cells_entry(payload, at, head.payload_bytes, entry, cells == CellsToo::Yes, change, path, offset);
        }
        changes.push_back(std::move(change));
    }
    if (at != head.payload_bytes) damaged_record(path, offset, "the payload is longer than its entries");
    return changes;
}

}  // namespace

std::string path_for(const std::string &data_path) { return posix::link_target(data_path) + ".history"; }

FileHeader make_header(int64_t began_ns) {
    FileHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.magic, kFileMagic, sizeof header.magic);
    header.version = kVersion;
    header.header_size = sizeof(FileHeader);
    header.began_ns = began_ns;
    header.crc = crc_of(&header, offsetof(FileHeader, crc));
    return header;
}

bool header_is_valid(const FileHeader &header) {
    return std::memcmp(header.magic, kFileMagic, sizeof header.magic) == 0 && header.version == kVersion &&
           header.header_size == sizeof(FileHeader) && header.crc == crc_of(&header, offsetof(FileHeader, crc));
}

bool same_cell(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void CommitBuilder::column(uint32_t column, const double *before, const double *after, size_t rows) {
    if (changes_.count(column)) {
        throw h5::Error(h5::ErrorKind::Value, "column " + std::to_string(column) + " recorded twice in one commit");
    }
    ColumnChange change;
    change.column = column;
    bool held_value = false;
    for (size_t row = 0; row < rows; ++row) {
        if (!std::isnan(before[row])) held_value = true;
        if (same_cell(before[row], after[row])) continue;
        change.rows.push_back(static_cast<uint32_t>(row));
        change.old_values.push_back(before[row]);
    }
    if (change.rows.empty()) return;
    change.cells = static_cast<uint32_t>(change.rows.size());
    if (held_value) {
        change.state = kCells;
    } else {
        // Every old value is NaN: the column empties again on undo, and
        // nothing of its cells needs keeping.
        change.state = kWasEmpty;
        change.rows.clear();
        change.old_values.clear();
    }
    changes_.emplace(column, std::move(change));
}

void CommitBuilder::filled_column(uint32_t column, uint32_t cells) {
    ColumnChange change;
    change.column = column;
    change.state = kWasEmpty;
    change.cells = cells;
    changes_[column] = std::move(change);
}

std::vector<unsigned char> CommitBuilder::encode(Kind kind, uint64_t seq, int64_t time_ns, int64_t cursor_before,
                                                 int64_t cursor_after) const {
    RecordHead head;
    std::memset(&head, 0, sizeof head);
    head.kind = kind;
    head.seq = seq;
    head.time_ns = time_ns;
    head.cursor_before = cursor_before;
    head.cursor_after = cursor_after;
    std::vector<ColumnChange> changes;
    changes.reserve(changes_.size());
    for (const auto &entry : changes_) changes.push_back(entry.second);
    return encode_record(head, changes);
}

std::vector<unsigned char> encode_record(const RecordHead &head_in, const std::vector<ColumnChange> &changes) {
    RecordHead head = head_in;
    std::memcpy(head.magic, kRecordMagic, sizeof head.magic);
    head.zero = 0;
    head.column_count = static_cast<uint32_t>(changes.size());
    std::vector<unsigned char> out;
    append_bytes(out, head);
    const size_t payload_start = out.size();
    for (const ColumnChange &change : changes) {
        if (change.state == kCells) {
            append_cells_entry(out, change);
        } else {
            append_bytes(out, EntryHead{change.column, change.state, change.cells, 0});
        }
    }
    const uint64_t payload_bytes = out.size() - payload_start;
    std::memcpy(out.data() + offsetof(RecordHead, payload_bytes), &payload_bytes, sizeof payload_bytes);
    Trailer trailer;
    trailer.crc = crc_of(out.data(), out.size());
    std::memcpy(trailer.magic, kEndMagic, sizeof trailer.magic);
    append_bytes(out, trailer);
    return out;
}

namespace {

// The length of the whole record that starts at `at`, if one does: its magic,
// its length and its trailer's CRC all check out.
std::optional<uint64_t> whole_record_at(const std::vector<unsigned char> &bytes, uint64_t at) {
    const uint64_t size = bytes.size();
    if (at + sizeof(RecordHead) + sizeof(Trailer) > size) return std::nullopt;
    RecordHead head;
    std::memcpy(&head, bytes.data() + at, sizeof head);
    if (std::memcmp(head.magic, kRecordMagic, sizeof head.magic) != 0) return std::nullopt;
    if (head.payload_bytes > size - at - sizeof(RecordHead) - sizeof(Trailer)) return std::nullopt;
    const uint64_t body = sizeof(RecordHead) + head.payload_bytes;
    Trailer trailer;
    std::memcpy(&trailer, bytes.data() + at + body, sizeof trailer);
    if (std::memcmp(trailer.magic, kEndMagic, sizeof trailer.magic) != 0) return std::nullopt;
    if (trailer.crc != crc_of(bytes.data() + at, body)) return std::nullopt;
    return body + sizeof(Trailer);
}

template <typename WantsCells>
Log read_records(int fd, const std::string &path, WantsCells wants_cells) {
    struct stat st;
    if (fstat(fd, &st) != 0) format::fail("cannot examine the history file " + path, errno);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    std::vector<unsigned char> bytes(size);
    if (size > 0 && !posix::read_all(fd, bytes.data(), size, 0)) {
        format::fail("cannot read the history file " + path, errno);
    }
    Log log;
    if (size < sizeof(FileHeader)) {
        throw h5::Error(h5::ErrorKind::Value, "the history file " + path + " is not a history: it is " +
                                                  std::to_string(size) + " bytes long, shorter than its header");
    }
    std::memcpy(&log.header, bytes.data(), sizeof log.header);
    if (!header_is_valid(log.header)) {
        throw h5::Error(h5::ErrorKind::Value,
                        "the history file " + path + " is not a history this version of quorbel can read: its header "
                        "is not a format 1 history header");
    }
    uint64_t at = sizeof(FileHeader);
    while (const std::optional<uint64_t> length = whole_record_at(bytes, at)) {
        RecordHead head;
        std::memcpy(&head, bytes.data() + at, sizeof head);
        Record record;
        record.head = head;
        record.offset = at;
        record.size = *length;
        record.changes = decode_changes(bytes.data() + at + sizeof(RecordHead), head,
                                        wants_cells(head) ? CellsToo::Yes : CellsToo::No, path, at);
        log.records.push_back(std::move(record));
        at += *length;
    }
    // Bytes past the last whole record are an append cut short, which the next
    // append overwrites. A whole record further on means the bytes in between
    // were damaged after they were written: treating them as a cut-short
    // append would let the next append drop every record behind them.
    for (uint64_t later = at + 8; later < size; later += 8) {
        if (whole_record_at(bytes, later)) {
            throw h5::Error(h5::ErrorKind::Value,
                            "the history file " + path + " is damaged: the record at byte " + std::to_string(at) +
                                " fails its check, yet whole records follow it from byte " + std::to_string(later) +
                                "; restore the history file from a backup, or move it aside to begin a new history");
        }
    }
    log.end = at;
    return log;
}

}  // namespace

Log read_log(int fd, const std::string &path, CellsToo cells) {
    return read_records(fd, path, [cells](const RecordHead &) { return cells == CellsToo::Yes; });
}

Log read_log_cells_after(int fd, const std::string &path, int64_t cells_after_ns) {
    return read_records(fd, path, [cells_after_ns](const RecordHead &head) { return head.time_ns > cells_after_ns; });
}

Log read_log(const std::string &path, CellsToo cells) {
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) format::fail("cannot open the history file " + path, errno);
    return read_log(fd.get(), path, cells);
}

}  // namespace quorbel::history
