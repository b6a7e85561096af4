// A chunk of a dataset as it lies in the file: its stored bytes, read and
// written past HDF5's filter pipeline and chunk cache, and the chunk index
// that says where each one lies.
//
// The operations are Dataset's members (datasets.hpp); this unit defines
// them. They exist because chunk_io compresses and inflates chunks itself,
// on every core, which HDF5's pipeline would do one chunk at a time under
// its library lock. What shapes them:
// - the chunk index is not to be trusted: HDF5 1.10.8 neither checks that a
//   chunk lies inside the file nor that its recorded size is the size its
//   read will take, so every chunk is checked before a buffer is sized for
//   it, and check_chunk_index() walks the whole index when asked;
// - a pinned read (ReadPin, file_opening.hpp) finds a chunk under the library
//   lock but reads its bytes with a plain positioned read outside it, so
//   that threads reading one file do not queue behind each other;
// - a chunk is always written as filtered (mask 0), since HDF5 1.10.8 keeps
//   a stale mask for a chunk rewritten with another one;
// - within a write transaction the regions a write will overwrite can be
//   journaled in one go (save_ahead) rather than piece by piece.
#pragma once

#include <cstdint>
#include <vector>

namespace quorbel::h5 {

// One chunk's stored bytes. Offsets that name a chunk are cell coordinates of
// its first cell; a chunk that was never written reads as absent.
struct RawChunk {
    bool exists = false;
    uint32_t filter_mask = 0;  // bit 0 set: stored without DEFLATE
    uint64_t address = 0;      // where its bytes lie in the file
    std::vector<unsigned char> bytes;
};

}  // namespace quorbel::h5
