// The bytes of one entry that keeps old values (state 1 on disk, or state 3:
// the same rows and values, byte-shuffled and deflated). A full revision of a
// date keeps thousands of old values a commit; deflated, they cost about what
// the factor file spends on them, where the plain layout costs half as much
// again. Entries of a few cells stay plain: a plain tool reads them with no
// codec, and deflating them would save nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history_log.hpp"

namespace quorbel::history {

// Appends `change` (state kCells) as an entry: its head and its cells, plain
// or deflated, whichever is smaller, padded to eight bytes.
void append_cells_entry(std::vector<unsigned char> &out, const ColumnChange &change);

// Reads the cells of the entry whose head is `entry` (state 1 or 3) from
// `payload + at`, into `change` when `want` (else only steps over them).
// Returns the offset past them; a Value-kind h5::Error naming `path` and the
// record at `offset` when they run past the payload's `payload_bytes` or do
// not inflate to the count the entry gives.
size_t read_cells_entry(const unsigned char *payload, size_t at, uint64_t payload_bytes, const EntryHead &entry,
                        bool want, ColumnChange &change, const std::string &path, uint64_t offset);

// The Value-kind error for a damaged record of the history at `path`.
[[noreturn]] void damaged_record(const std::string &path, uint64_t offset, const std::string &what);

}  // namespace quorbel::history
