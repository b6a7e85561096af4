// Opening a factor file, with HDF5's locks and without, and keeping a reader
// that holds no lock to what one committed state of the file says.
//
// The opens themselves are File's static members (file_state.hpp); this unit
// defines them, and File::pin() and File::holds(). They are shaped by two
// needs that pull apart:
// - a writer must exclude every other writer, and must not open past a
//   journal that an unfinished write left behind: it recovers the file
//   first, then opens it under HDF5's exclusive lock (or, with locking off,
//   relies on the rule of one writer per file and waits out a journal whose
//   writer may still run);
// - a reader must never keep a writer waiting, so it takes no lock. It sees
//   a write in progress by the file's marker (identity, size, times, the
//   journal beside it) moving, and "settles": it opens only when the marker
//   is the same before and after, repeats a read that saw the marker move,
//   and opens the file again when another process has committed since.
//   Patience (file_locking.hpp) bounds how long it keeps trying.
// Settling per call is right for one call; a read made of many calls on many
// threads settles once instead, through a ReadPin, so that a reader without
// a lock reads as fast as one that holds it.
#pragma once

#include <cstdint>

#include "error.hpp"
#include "file_locking.hpp"

namespace quorbel::h5 {

// A read made of many calls, on many threads, from one committed state of a
// file: File::pin() brings a reader's handle to the file's current state,
// the reads use the pin, and File::holds() tells afterwards whether the file
// stood still meanwhile. Checking once per batch rather than once per call
// keeps a reader that takes no lock as fast as one that holds it. A read
// with a pin from before the handle was opened again raises StaleRead.
struct ReadPin {
    bool checked = false;  // a reader's handle without a lock; otherwise the pin holds trivially
    uint64_t generation = 0;
    locking::Marker marker;
};
class StaleRead : public Error {
public:
    StaleRead() : Error(ErrorKind::OS, "Unable to read data (the file was opened again during the read)") {}
};

}  // namespace quorbel::h5
