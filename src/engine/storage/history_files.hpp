// Operations on a factor file's whole history: starting it, and pruning old
// values out of it. Each builds the complete new history in a hidden
// temporary beside it, syncs it and publishes it by a rename, so the history
// is at every moment the old one or the new one; each runs under the
// file's write lock (a handle open for writing, held alone), so that no
// write transaction appends to the history meanwhile. Appending a commit's
// record is history_commits.hpp's. No Python here.
#pragma once

#include <cstdint>
#include <string>

#include "hdf5_store.hpp"

namespace quorbel::history {

// Starts the history of `file`: its header and the baseline record (a
// column entry of state 0 with the count of its values for every column
// holding one, cursor_col before and after as it is), dated now by the
// commit clock. False, changing nothing, when the file keeps a history
// already. `file` must be open for writing.
bool enable(h5::File &file);

// Rewrites the history of `file` without the old values of its records
// older than `cutoff` (UTC ns): their state 1 entries become state 2 with
// their counts, and the records are flagged kPruned. Heads, times, cursors
// and every later record stay as they were. Returns the bytes freed; 0,
// rewriting nothing, when no old value is older than the cutoff.
uint64_t prune(h5::File &file, int64_t cutoff);

// A history standing where no factor file is (kept when its factor was
// removed, or left by a removal cut short) belongs to no file a new factor
// made at `data_path` could be: moved aside before that factor is made,
// durably, so that it neither records the new factor's writes nor comes
// back beside it after a power cut. Returns the name it was moved to, ""
// when there was none. An OS-kind h5::Error when it cannot be moved.
std::string set_aside_orphan(const std::string &data_path);

}  // namespace quorbel::history
