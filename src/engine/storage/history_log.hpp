// The history file beside a factor file: an append-only log of its commits,
// each holding the old values of the cells it changed, so that the factor can
// be read as it was at any time since its history began. The byte layout is
// documented on the file format page and read by plain tools; this unit is
// its one encoder and decoder. Appending a record inside a write's
// transaction, and undoing one after a crash, belong to the writers and the
// journal; reading the factor as of a time belongs to the readers. No Python
// here; everything may run with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorbel::history {

constexpr char kFileMagic[8] = {'Q', 'R', 'B', 'H', 'I', 'S', 'T', '1'};
constexpr char kRecordMagic[4] = {'Q', 'R', 'B', 'C'};
constexpr char kEndMagic[4] = {'Q', 'R', 'B', 'E'};
constexpr uint32_t kVersion = 1;

enum Kind : uint16_t { kCommit = 1, kBaseline = 2 };
enum Flags : uint16_t { kPruned = 1 };
// kCellsDeflated is on disk only: read back, such an entry is kCells.
enum State : uint32_t { kWasEmpty = 0, kCells = 1, kCellsPruned = 2, kCellsDeflated = 3 };

struct FileHeader {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    int64_t began_ns;
    unsigned char zero[36];
    uint32_t crc;  // of the 60 bytes before it
};

struct RecordHead {
    char magic[4];
    uint16_t kind;
    uint16_t flags;
    uint64_t seq;
    int64_t time_ns;
    int64_t cursor_before;
    int64_t cursor_after;
    uint32_t column_count;
    uint32_t zero;
    uint64_t payload_bytes;
};

struct EntryHead {
    uint32_t column;
    uint32_t state;
    uint32_t cells;
    uint32_t zero;  // the deflated stream's length in state 3, else 0
};

struct Trailer {
    uint32_t crc;  // of the head and the payload
    char magic[4];
};

static_assert(sizeof(FileHeader) == 64 && sizeof(RecordHead) == 56 && sizeof(EntryHead) == 16 &&
                  sizeof(Trailer) == 8,
              "the history layout is on disk");

// "<file>.history" beside the file a path reaches (a symbolic link to a
// factor file finds the same history as its real name).
std::string path_for(const std::string &data_path);

// The file's header for a history that begins at `began_ns`.
FileHeader make_header(int64_t began_ns);
// Whether a header is one this engine wrote and can read.
bool header_is_valid(const FileHeader &header);

// One column entry of a record, decoded. `rows` and `old_values` are empty
// unless the state is kCells (and the record was read with its cells).
struct ColumnChange {
    uint32_t column = 0;
    uint32_t state = kWasEmpty;
    uint32_t cells = 0;
    std::vector<uint32_t> rows;
    std::vector<double> old_values;
};

struct Record {
    RecordHead head{};
    uint64_t offset = 0;  // of the head in the file
    uint64_t size = 0;    // head, payload and trailer
    std::vector<ColumnChange> changes;
};

// Whether two cells hold the same value: bit for bit, every NaN alike.
bool same_cell(double a, double b);

// The changes of one commit, column by column, and their encoding.
class CommitBuilder {
public:
    // Compares a whole column as it was before the commit with what the
    // commit leaves; records an entry when a cell differs. A column changed
    // twice in one commit keeps its first `before`: call it with the state
    // before the commit and the final state, or use the two halves below.
    void column(uint32_t column, const double *before, const double *after, size_t rows);
    // An entry for a column that held no value before the commit, with the
    // number of cells it now holds (the baseline's entries).
    void filled_column(uint32_t column, uint32_t cells);
    bool has_changes() const { return !changes_.empty(); }
    size_t change_count() const { return changes_.size(); }
    // The record's bytes: head, payload, trailer.
    std::vector<unsigned char> encode(Kind kind, uint64_t seq, int64_t time_ns, int64_t cursor_before,
                                      int64_t cursor_after) const;

private:
    std::map<uint32_t, ColumnChange> changes_;
};

// Encodes a decoded record again, with the given flags and entries (used by
// pruning, which drops old values and keeps everything else).
std::vector<unsigned char> encode_record(const RecordHead &head, const std::vector<ColumnChange> &changes);

// A history read from its start. `end` is where its last whole record
// ends: bytes after it are a record still being written or cut short, and
// are not part of the history.
struct Log {
    FileHeader header{};
    std::vector<Record> records;
    uint64_t end = 0;
};

enum class CellsToo { No, Yes };
// Reads the history open as `fd` (an OS-kind h5::Error when it cannot be
// read, a Value-kind one naming `path` when its header is not a history's).
// Without cells, each record's entries carry column, state and count only.
Log read_log(int fd, const std::string &path, CellsToo cells);
Log read_log(const std::string &path, CellsToo cells);
// With the cells of the records committed after `cells_after_ns` only: an
// as-of read undoes those and no others.
Log read_log_cells_after(int fd, const std::string &path, int64_t cells_after_ns);

}  // namespace quorbel::history
