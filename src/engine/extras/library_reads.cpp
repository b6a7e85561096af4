// Many factor files read at once into one cube (factor x date x instrument),
// for quorbel.FactorLibrary. Work is cut into (file, row stripe) tasks run on
// every core; a task reads the stripe's chunks one at a time: the raw read
// holds the HDF5 library lock, the inflate and the scatter into the cube do
// not, so one thread's read overlaps the others' inflating.
#include <Python.h>
#include <nanobind/stl/pair.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "storage/chunk_io.hpp"
#include "extras.hpp"
#include "storage/file_locking.hpp"

namespace quorbel {

namespace {

// An HDF5 failure of one file, reported with the file's name so that the
// caller of a read over hundreds of files knows which one it was.
[[noreturn]] void raise_for_file(const std::string &name, const h5::Error &error) {
    throw h5::Error(error.kind(), name + ": " + error.what(), error.error_number());
}

}  // namespace

// `data` of a factor file; OSError naming the file for anything else (no
// such dataset, not a matrix).
h5::Dataset factor_matrix(const h5::File &file) {
    const std::string name = file.name();
    h5::Dataset data;
    int rank = 0;
    try {
        if (file.has_dataset("data")) {
            data = file.open_dataset("data");
            rank = data.layout().rank;
        }
    } catch (const h5::Error &error) {
        raise_for_file(name, error);
    }
    if (rank == 0) throw h5::Error(h5::ErrorKind::OS, name + ": not a factor file (no matrix 'data')");
    if (rank != 2) {
        throw h5::Error(h5::ErrorKind::OS,
                        name + ": not a factor file ('data' has " + std::to_string(rank) + " dimensions, not 2)");
    }
    return data;
}

std::vector<h5::File> files_of(nb::handle handles) {
    std::vector<h5::File> files;
    nb::object iterator = nb::steal(PyObject_GetIter(handles.ptr()));
    if (!iterator) throw nb::python_error();
    while (nb::object item = nb::steal(PyIter_Next(iterator.ptr()))) files.push_back(file_of(item));
    if (PyErr_Occurred()) throw nb::python_error();
    return files;
}

// A section as _cube_sections gives it: a pair (first, end) of columns.
std::pair<uint64_t, uint64_t> section_bounds(nb::handle section) {
    const Py_ssize_t size = PySequence_Check(section.ptr()) ? PySequence_Size(section.ptr()) : -1;
    if (size < 0) PyErr_Clear();
    if (size != 2) {
        throw nb::type_error(("a section must be a pair (first, end) of columns, not " + python_type_name(section)).c_str());
    }
    uint64_t columns[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(section.ptr(), i));
        if (!item.is_valid()) throw nb::python_error();
        const int64_t column = int64_of(item, "a section's column");
        if (column < 0) throw nb::value_error("a section's columns must not be negative");
        columns[i] = static_cast<uint64_t>(column);
    }
    return {columns[0], columns[1]};
}

IntArray new_int_array(size_t n, int64_t **data) {
    auto *buffer = new int64_t[n > 0 ? n : 1];
    nb::capsule owner(buffer, [](void *p) noexcept { delete[] static_cast<int64_t *>(p); });
    *data = buffer;
    size_t shape[1] = {n};
    return IntArray(buffer, 1, shape, owner);
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using RowsArgument = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CubeArgument = nb::ndarray<double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

// ---- instruments ------------------------------------------------------------

// (ids, rows): the requested identifiers that the instrument index lists, in
// request order, or every listed one in row order when `order_book_ids` is
// None; rows -1 where no matrix has the row (negative).
nb::object cube_instruments(nb::object order_book_ids) {
    nb::object stock_index = module_attr("_get_all_instrument_index")();
    nb::list ids;
    std::vector<int64_t> rows;
    auto add = [&](nb::handle id, nb::handle entry) {
        const std::optional<uint64_t> row = row_number(entry, id);
        rows.push_back(row && *row <= uint64_t(std::numeric_limits<int64_t>::max()) ? int64_t(*row) : -1);
        ids.append(id);
    };
    if (order_book_ids.is_none()) {
        nb::object items = nb::steal(PyObject_CallMethod(stock_index.ptr(), "items", nullptr));
        if (!items) throw nb::python_error();
        std::vector<std::pair<nb::object, nb::object>> listed;
        nb::object iterator = nb::steal(PyObject_GetIter(items.ptr()));
        if (!iterator) throw nb::python_error();
        while (nb::object item = nb::steal(PyIter_Next(iterator.ptr()))) {
            nb::sequence pair = nb::borrow<nb::sequence>(item);
            listed.emplace_back(pair[0], pair[1]);
        }
        if (PyErr_Occurred()) throw nb::python_error();
        for (auto &[id, entry] : listed) add(id, entry);
        // Row order; equal rows keep the index's own order.
        std::vector<size_t> by_row(rows.size());
        for (size_t i = 0; i < by_row.size(); ++i) by_row[i] = i;
        std::stable_sort(by_row.begin(), by_row.end(), [&](size_t a, size_t b) { return rows[a] < rows[b]; });
        nb::list sorted_ids;
        std::vector<int64_t> sorted_rows;
        for (size_t i : by_row) {
            sorted_ids.append(ids[i]);
            sorted_rows.push_back(rows[i]);
        }
        ids = sorted_ids;
        rows = std::move(sorted_rows);
    } else {
        nb::object iterator = nb::steal(PyObject_GetIter(order_book_ids.ptr()));
        if (!iterator) throw nb::python_error();
        while (nb::object id = nb::steal(PyIter_Next(iterator.ptr()))) {
            nb::object entry = index_entry(stock_index, id);
            if (entry) add(id, entry);
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    int64_t *out = nullptr;
    IntArray array = new_int_array(rows.size(), &out);
    std::copy(rows.begin(), rows.end(), out);
    return nb::make_tuple(ids, nb::cast(array));
}

// ---- sections ---------------------------------------------------------------

struct Probe {
    h5::Shape2 shape;
    std::optional<int64_t> cursor_col;
};

Probe probe(const h5::File &file, bool cursor) {
    Probe p;
    h5::Dataset data = factor_matrix(file);
    try {
        p.shape = data.shape();
        if (cursor) p.cursor_col = data.read_int64_attribute("cursor_col");
    } catch (const h5::Error &error) {
        raise_for_file(file.name(), error);
    }
    return p;
}

// Per file, the columns [first, end) that read_panel reads from it: one date
// lookup for all, cut at each file's cursor_col when `check`, clipped to its
// matrix.
nb::list cube_sections(nb::handle handles, nb::handle start_date, nb::handle end_date, bool check) {
    const std::vector<h5::File> files = files_of(handles);
    std::vector<Probe> probes(files.size());
    {
        nb::gil_scoped_release release;
        for (size_t i = 0; i < files.size(); ++i) probes[i] = probe(files[i], check);
    }
    nb::object lookup = module_attr("_get_date_section_index")(start_date, end_date);
    nb::list sections;
    for (const Probe &p : probes) {
        const ColumnSection columns = column_section(lookup, check ? p.cursor_col : std::nullopt);
        const uint64_t first = std::min(columns.first, p.shape.cols);
        const uint64_t end = std::max(first, std::min(columns.end, p.shape.cols));
        sections.append(nb::make_tuple(first, end));
    }
    return sections;
}

// Per file, the width in columns of the chunks of `data`; 0 when it is not
// chunked. Lazy reads cut their date blocks on these.
nb::list chunk_columns(nb::handle handles) {
    const std::vector<h5::File> files = files_of(handles);
    std::vector<uint64_t> widths(files.size(), 0);
    {
        nb::gil_scoped_release release;
        for (size_t i = 0; i < files.size(); ++i) {
            h5::Dataset data = factor_matrix(files[i]);
            try {
                const h5::DatasetLayout layout = data.layout();
                if (layout.chunks.size() == 2) widths[i] = layout.chunks[1];
            } catch (const h5::Error &error) {
                raise_for_file(files[i].name(), error);
            }
        }
    }
    nb::list out;
    for (uint64_t width : widths) out.append(width);
    return out;
}

// ---- the cube ---------------------------------------------------------------

struct Wanted {
    uint64_t row;
    size_t position;  // along the instrument axis
};

// One file's part of the cube.
struct Slab {
    h5::File file;
    h5::ReadPin pin;                      // the state of the file the slab is read from
    h5::Dataset data;                     // direct: chunks are read from it
    std::optional<chunks::RowReader> rows;  // otherwise: HDF5's pipeline, row by row
    chunks::ChunkGrid grid;
    uint64_t first = 0, end = 0;  // columns read, inside the cube's date axis
    std::vector<Wanted> wanted;   // rows inside the matrix, by row
    double *out = nullptr;        // dates x instruments
};

struct Task {
    size_t slab;
    size_t begin, end;  // of slab.wanted: one stripe's rows (all rows when not direct)
    bool consecutive = false;  // those rows, one after another, go to positions one after another
};

// out[i] = in[i * stride] for i < n. The cube is far larger than any cache
// and this pass only writes it: streaming stores skip reading each line of it
// from memory before overwriting it. store_fence() makes them visible to
// other threads.
void stream_column(const double *in, size_t stride, double *out, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    while (i < n && reinterpret_cast<uintptr_t>(out + i) % 64 != 0) {
        out[i] = in[i * stride];
        ++i;
    }
    for (; i + 8 <= n; i += 8) {
        const double *p = in + i * stride;
        _mm_stream_pd(out + i, _mm_set_pd(p[stride], p[0]));
        _mm_stream_pd(out + i + 2, _mm_set_pd(p[3 * stride], p[2 * stride]));
        _mm_stream_pd(out + i + 4, _mm_set_pd(p[5 * stride], p[4 * stride]));
        _mm_stream_pd(out + i + 6, _mm_set_pd(p[7 * stride], p[6 * stride]));
    }
#endif
    for (; i < n; ++i) out[i] = in[i * stride];
}

void store_fence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

class CubeFill {
public:
    CubeFill(std::vector<Slab> &slabs, uint64_t first_column, size_t width, size_t instruments)
        : slabs_(slabs), first_column_(first_column), width_(width), instruments_(instruments) {}

    void run() {
        fault_in();
        std::vector<Task> tasks;
        for (size_t s = 0; s < slabs_.size(); ++s) plan(s, tasks);
        const size_t workers = chunks::worker_count(tasks.size());
        std::atomic<size_t> next{0};
        std::exception_ptr failure;
        std::string failed_file;
        std::mutex failure_mutex;
        auto work = [&] {
            size_t i = 0;
            try {
                chunks::Cells cells;
                std::vector<double> row;
                while ((i = next.fetch_add(1)) < tasks.size()) run_task(tasks[i], cells, row);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) {
                    failure = std::current_exception();
                    failed_file = slabs_[tasks[i].slab].file.name();
                }
                next = tasks.size();
            }
            store_fence();  // this thread's streamed cells, before join() hands the cube on
        };
        std::vector<std::thread> threads;
        for (size_t w = 1; w < workers; ++w) threads.emplace_back(work);
        if (workers > 0) work();
        for (auto &t : threads) t.join();
        if (!failure) return;
        try {
            std::rethrow_exception(failure);
        } catch (const h5::Error &error) {
            raise_for_file(failed_file, error);
        }
    }

private:
    // The cube is fresh memory: the kernel zeroes each page on its first
    // write. The scatter below writes pages in no order, one cell at a time,
    // and pays several times more for those faults than a walk through the
    // pages in order does, so every page is written once, in order, first.
    void fault_in() {
        constexpr size_t kPage = 4096 / sizeof(double), kPiece = (size_t(8) << 20) / sizeof(double);
        const size_t slab_cells = width_ * instruments_;
        const size_t pieces_per_slab = (slab_cells + kPiece - 1) / kPiece;
        chunks::parallel_for(slabs_.size() * pieces_per_slab, [&](size_t i) {
            double *slab = slabs_[i / pieces_per_slab].out;
            const size_t begin = (i % pieces_per_slab) * kPiece, end = std::min(slab_cells, begin + kPiece);
            for (size_t c = begin; c < end; c += kPage) slab[c] = kNaN;
        });
    }

    // NaN where nothing is read (dates outside the file's section, rows
    // outside its matrix), tasks for the rest.
    void plan(size_t s, std::vector<Task> &tasks) {
        Slab &slab = slabs_[s];
        std::vector<bool> read(instruments_, false);
        for (const Wanted &w : slab.wanted) read[w.position] = true;
        // Listed once: this runs before the threads start, over every date.
        std::vector<size_t> unread;
        for (size_t p = 0; p < instruments_; ++p) {
            if (!read[p]) unread.push_back(p);
        }
        for (size_t d = 0; d < width_; ++d) {
            double *line = slab.out + d * instruments_;
            const uint64_t column = first_column_ + d;
            if (column < slab.first || column >= slab.end) {
                std::fill(line, line + instruments_, kNaN);
                continue;
            }
            for (size_t p : unread) line[p] = kNaN;
        }
        if (slab.wanted.empty() || slab.end <= slab.first) return;
        if (!slab.grid.direct) {
            tasks.push_back({s, 0, slab.wanted.size()});
            return;
        }
        for (size_t begin = 0; begin < slab.wanted.size();) {
            const uint64_t stripe = slab.wanted[begin].row / slab.grid.chunk.rows;
            size_t end = begin;
            bool consecutive = true;
            while (end < slab.wanted.size() && slab.wanted[end].row / slab.grid.chunk.rows == stripe) {
                const Wanted &w = slab.wanted[end], &first = slab.wanted[begin];
                consecutive = consecutive && w.row - first.row == end - begin && w.position - first.position == end - begin;
                ++end;
            }
            tasks.push_back({s, begin, end, consecutive});
            begin = end;
        }
    }

    void run_task(const Task &task, chunks::Cells &cells, std::vector<double> &row) {
        Slab &slab = slabs_[task.slab];
        if (!slab.grid.direct) {
            // Through HDF5's pipeline, row by row, under the library lock.
            row.resize(slab.end - slab.first);
            for (size_t i = task.begin; i < task.end; ++i) {
                const Wanted &w = slab.wanted[i];
                slab.rows->read_row(w.row, row.data());
                for (uint64_t c = slab.first; c < slab.end; ++c) {
                    slab.out[(c - first_column_) * instruments_ + w.position] = row[c - slab.first];
                }
            }
            // The file's only task: its chunk cache goes now, not with the last file.
            slab.rows.reset();
            return;
        }
        const h5::Shape2 chunk = slab.grid.chunk;
        const uint64_t stripe_row = slab.wanted[task.begin].row / chunk.rows * chunk.rows;
        for (uint64_t cc = slab.first / chunk.cols; cc * chunk.cols < slab.end; ++cc) {
            const uint64_t chunk_col = cc * chunk.cols;
            const h5::Dataset::RawChunk raw = slab.data.read_raw_chunk(stripe_row, chunk_col, slab.pin);
            chunks::inflate_chunk(raw, slab.grid, stripe_row, chunk_col, cells);
            const uint64_t from = std::max(slab.first, chunk_col);
            const uint64_t to = std::min(slab.end, chunk_col + chunk.cols);
            for (uint64_t c = from; c < to; ++c) {
                double *line = slab.out + (c - first_column_) * instruments_;
                const double *source = cells.data() + (c - chunk_col);
                if (task.consecutive) {
                    const Wanted &w = slab.wanted[task.begin];
                    stream_column(source + (w.row - stripe_row) * chunk.cols, chunk.cols, line + w.position,
                                  task.end - task.begin);
                    continue;
                }
                for (size_t i = task.begin; i < task.end; ++i) {
                    const Wanted &w = slab.wanted[i];
                    line[w.position] = source[(w.row - stripe_row) * chunk.cols];
                }
            }
        }
    }

    std::vector<Slab> &slabs_;
    uint64_t first_column_;
    size_t width_, instruments_;
};

// Fills cube[offset + i] for the i-th handle: columns [first_column,
// first_column + cube.shape[1]) by `rows` (one per instrument, -1 for none),
// each file read over its own section only.
void fill_cube(nb::handle handles, nb::handle sections, RowsArgument rows, uint64_t first_column, CubeArgument cube,
               size_t offset) {
    std::vector<h5::File> files = files_of(handles);
    std::vector<std::pair<uint64_t, uint64_t>> bounds;
    for (nb::handle section : nb::iter(sections)) {
        bounds.push_back(section_bounds(section));
    }
    if (bounds.size() != files.size()) throw nb::value_error("one section per file is needed");
    if (cube.shape(2) != rows.shape(0)) throw nb::value_error("the cube needs one column per instrument");
    if (offset > cube.shape(0) || cube.shape(0) - offset < files.size()) {
        throw nb::value_error("the cube has too few factors for these files");
    }
    const size_t width = cube.shape(1), instruments = cube.shape(2);
    std::vector<int64_t> row_of(rows.data(), rows.data() + instruments);
    double *cells = cube.data();
    nb::gil_scoped_release release;
    // Readers take no lock: each file is read as one pinned read (see
    // h5::ReadPin), and when any file met another process's write the whole
    // cube is read again, so that no date shows in some instruments only.
    h5::locking::Patience patience(files.empty() ? h5::locking::mode() : files.front().locking_mode());
    for (;;) {
        const bool last = !patience.next_attempt();
        std::vector<Slab> slabs(files.size());
        for (size_t i = 0; i < files.size(); ++i) {
            Slab &slab = slabs[i];
            slab.file = files[i];
            try {
                slab.pin = slab.file.pin();
            } catch (const h5::Error &error) {
                raise_for_file(slab.file.name(), error);
            }
            slab.out = cells + (offset + i) * width * instruments;
            slab.data = factor_matrix(slab.file);
            h5::Shape2 shape;
            try {
                slab.grid = chunks::chunk_grid(slab.data);
                shape = slab.data.shape();
            } catch (const h5::Error &error) {
                raise_for_file(slab.file.name(), error);
            }
            // The section as planned, inside the matrix as it is now and inside
            // the cube's dates.
            slab.first = std::max(std::min(bounds[i].first, shape.cols), first_column);
            slab.end = std::min({bounds[i].second, shape.cols, first_column + width});
            if (slab.end < slab.first) slab.end = slab.first;
            if (!slab.grid.direct) {
                // HDF5 inflates these itself, through the reader's chunk cache;
                // the reader's open of `data` must be the only one.
                slab.data = h5::Dataset();
                try {
                    slab.rows.emplace(slab.file, "data", slab.first, slab.end);
                } catch (const h5::Error &error) {
                    raise_for_file(slab.file.name(), error);
                }
            }
            for (size_t p = 0; p < instruments; ++p) {
                if (row_of[p] >= 0 && uint64_t(row_of[p]) < shape.rows) slab.wanted.push_back({uint64_t(row_of[p]), p});
            }
            std::stable_sort(slab.wanted.begin(), slab.wanted.end(),
                             [](const Wanted &a, const Wanted &b) { return a.row < b.row; });
        }
        auto moved_file = [&] {
            size_t moved = 0;
            while (moved < files.size() && files[moved].holds(slabs[moved].pin)) ++moved;
            return moved;
        };
        try {
            CubeFill(slabs, first_column, width, instruments).run();
        } catch (const h5::Error &) {
            // A failure of files that stood still is theirs; otherwise the
            // read met a write, and is made again.
            if (moved_file() == files.size() || last) throw;
            patience.writer_at_work();
            continue;
        }
        const size_t moved = moved_file();
        if (moved == files.size()) break;
        if (last) {
            const std::string name = files[moved].name();
            raise_for_file(name, h5::locking::kept_changing(name, files[moved].journal_path(), files[moved].locking_mode(),
                                                           "Unable to read data"));
        }
        patience.writer_at_work();
    }
}

// ---- one file's summary -------------------------------------------------------

// (rows, columns, cursor_col or None, last column holding a value or None).
nb::object factor_summary(nb::handle handle) {
    h5::File file = file_of(handle);
    h5::Shape2 shape;
    std::optional<int64_t> cursor;
    std::optional<uint64_t> last;
    {
        nb::gil_scoped_release release;
        h5::Dataset data = factor_matrix(file);
        try {
            shape = data.shape();
            cursor = data.read_int64_attribute("cursor_col");
            last = value_span(data, false).last;
        } catch (const h5::Error &error) {
            raise_for_file(file.name(), error);
        }
    }
    auto optional = [](auto value) { return value ? nb::cast(*value) : nb::none(); };
    return nb::make_tuple(shape.rows, shape.cols, optional(cursor), optional(last));
}

}  // namespace

void define_library_reads(nb::module_ &m) {
    using namespace nb::literals;
    m.def("_cube_instruments", &cube_instruments, "order_book_ids"_a.none(),
          "(ids, rows): the requested ids the instrument index lists, in request order (every listed id in\n"
          "row order for None), and their rows as int64, -1 for a row no matrix has.");
    m.def("_cube_sections", &cube_sections, "handles"_a, "start_date"_a, "end_date"_a, "check"_a,
          "Per factor file handle, the columns (first, end) read_panel reads from it.");
    m.def("_chunk_columns", &chunk_columns, "handles"_a,
          "Per factor file handle, the chunk width of 'data' in columns (0 when not chunked).");
    m.def("_fill_cube", &fill_cube, "handles"_a, "sections"_a, "rows"_a, "first_column"_a, "cube"_a, "offset"_a,
          "Reads the files in parallel into cube[offset:offset + len(handles)] (factor x date x instrument):\n"
          "dates from first_column on, instruments by rows; NaN where a file has no cell.");
    m.def("_factor_summary", &factor_summary, "h5"_a,
          "(rows, columns, cursor_col or None, last column holding a value or None) of a factor file.");
}

}  // namespace quorbel
