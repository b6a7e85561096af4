// The HDF5 side of the engine: factor files, their dataset and its attributes,
// on plain C++ data. No Python object is touched here, so every call may run
// with the GIL released. hdf5.h stays out of the headers gathered here; the
// units' sources share what needs it through hdf5_store_internal.hpp.
//
// Callers include this header alone; it gathers the units, one job each:
//   file_state.*      the File handle: calls counted as uses, closing
//   file_opening.*    opening with locks and without, the settle loop, ReadPin
//   datasets.*        Dataset: layout, shape, blocks of cells
//   raw_chunks.*      direct chunk access and the chunk index
//   attributes.*      attribute values and exact snapshots of them
//   transactions.*    ChangeScope and the atomic WriteTransaction
#pragma once

#include "attributes.hpp"
#include "datasets.hpp"
#include "error.hpp"
#include "factor_layout.hpp"
#include "file_locking.hpp"
#include "file_opening.hpp"
#include "file_state.hpp"
#include "raw_chunks.hpp"
#include "transactions.hpp"
