// Where a factor matrix holds values: its first and last columns with any
// value. A library of a few years sits in a calendar of decades, so most
// chunk columns were never written; scanning in from each end and stopping at
// the first chunk column that holds a value reads two chunk columns of a
// file instead of all of them. `quorbel ls`, the library's default read span
// and `quorbel coverage` all ask this.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "extras.hpp"
#include "storage/chunk_io.hpp"

using namespace nb::literals;

namespace quorbel {
namespace {

// Columns [col, col + cols) of the matrix, chunk by chunk: the first (or with
// `backwards`, the last) column among them that holds a value, given that a
// column already found beats any not closer to the scan's end.
std::optional<uint64_t> scan_block(h5::Dataset &data, const chunks::ChunkGrid &grid, uint64_t col, uint64_t cols,
                                   bool backwards, const h5::ReadPin *pin, chunks::Cells &cells) {
    std::optional<uint64_t> found;
    // Only columns that would improve on what is found need looking at.
    auto scan_line = [&](const double *line) {
        if (backwards) {
            for (uint64_t c = cols; c-- > 0 && (!found || col + c > *found);) {
                if (!std::isnan(line[c])) found = col + c;
            }
        } else {
            for (uint64_t c = 0; c < cols && (!found || col + c < *found); ++c) {
                if (!std::isnan(line[c])) found = col + c;
            }
        }
    };
    const h5::Shape2 shape = grid.shape;
    if (!grid.direct) {
        cells.resize(shape.rows * cols);
        data.read(h5::Block{0, shape.rows, col, cols}, cells.data());
        for (uint64_t r = 0; r < shape.rows; ++r) scan_line(cells.data() + r * cols);
        return found;
    }
    for (uint64_t row = 0; row < shape.rows; row += grid.chunk.rows) {
        // Pinned, a lookup skips the check of the file around each chunk;
        // most lookups find a chunk never written, so that check would dominate.
        const h5::Dataset::RawChunk raw = pin ? data.read_raw_chunk(row, col, *pin) : data.read_raw_chunk(row, col);
        if (!raw.exists) {
            if (std::isnan(grid.fill)) continue;  // never written: no value throughout
            return backwards ? col + cols - 1 : col;
        }
        chunks::inflate_chunk(raw, grid, row, col, cells);
        const uint64_t rows = std::min(grid.chunk.rows, shape.rows - row);
        for (uint64_t r = 0; r < rows; ++r) scan_line(cells.data() + r * grid.chunk.cols);
        // Nothing closer to the scan's end exists in this block.
        if (found && *found == (backwards ? col + cols - 1 : col)) break;
    }
    return found;
}

// The first columns of the blocks a scan looks at, ascending: chunk columns
// when the engine inflates them, else blocks of 64 columns.
std::vector<uint64_t> block_starts(h5::Dataset &data, const chunks::ChunkGrid &grid) {
    const h5::Shape2 shape = grid.shape;
    // A library of a few years in a calendar of decades has most chunk
    // columns unwritten: listing the written ones once spares a lookup of
    // every chunk of those. Where no cell is NaN by default, unwritten
    // chunks hold values too.
    if (grid.direct && std::isnan(grid.fill)) {
        const uint64_t stripes = (shape.rows + grid.chunk.rows - 1) / grid.chunk.rows;
        if (auto written = data.written_chunk_columns(std::max<uint64_t>(4 * stripes, 256))) return *written;
    }
    std::vector<uint64_t> starts;
    const uint64_t step = grid.direct ? grid.chunk.cols : 64;
    for (uint64_t col = 0; col < shape.cols; col += step) starts.push_back(col);
    return starts;
}

std::optional<uint64_t> scan_from_end(h5::Dataset &data, const chunks::ChunkGrid &grid,
                                      const std::vector<uint64_t> &starts, bool backwards, const h5::ReadPin *pin) {
    const h5::Shape2 shape = grid.shape;
    const uint64_t step = grid.direct ? grid.chunk.cols : 64;
    chunks::Cells cells;
    for (size_t i = 0; i < starts.size(); ++i) {
        const uint64_t col = starts[backwards ? starts.size() - 1 - i : i];
        if (col >= shape.cols) continue;
        if (auto found = scan_block(data, grid, col, std::min(step, shape.cols - col), backwards, pin, cells)) {
            return found;
        }
    }
    return std::nullopt;
}

nb::object optional_column(std::optional<uint64_t> value) { return value ? nb::cast(*value) : nb::none(); }

struct FileSpan {
    h5::Shape2 shape;
    std::optional<int64_t> cursor;
    ValueSpan span;
    std::optional<h5::AttrValue> meta;  // the factor's metadata as stored, read in the same open
};

FileSpan span_of_file(const std::string &path) {
    h5::File file = h5::File::open(path, false);
    h5::Dataset data = factor_matrix(file);
    FileSpan out;
    out.shape = data.shape();
    out.cursor = data.read_int64_attribute("cursor_col");
    if (data.has_attribute("meta")) out.meta = data.read_attribute("meta");
    // One check of the file for the whole scan; a scan that met a write is
    // made again, checked chunk by chunk.
    const h5::ReadPin pin = file.pin();
    out.span = value_span(data, true, &pin);
    if (!file.holds(pin)) out.span = value_span(data);
    return out;
}

// Per path, (rows, columns, cursor_col or None, first column holding a value
// or None, last such column or None, the attribute meta of data as stored or
// None); for a file that cannot be read, the
// OSError (or ValueError, for a cursor_col that is no integer) naming it, so
// that one bad file of a listing does not hide the others.
nb::list value_spans(nb::handle paths_arg, nb::handle progress) {
    std::vector<std::string> paths;
    nb::object iterator = nb::steal(PyObject_GetIter(paths_arg.ptr()));
    if (!iterator) throw nb::python_error();
    while (nb::object item = nb::steal(PyIter_Next(iterator.ptr()))) paths.push_back(path_argument(item));
    if (PyErr_Occurred()) throw nb::python_error();
    use_file_locking_setting();
    nb::list out;
    const bool reports = progress.is_valid() && !progress.is_none();
    for (size_t i = 0; i < paths.size(); ++i) {
        if (reports) progress(i, paths.size());
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        FileSpan found;
        std::optional<h5::Error> failure;
        {
            nb::gil_scoped_release release;
            try {
                found = span_of_file(paths[i]);
            } catch (const h5::Error &error) {
                failure = error;
            } catch (const std::exception &error) {
                failure = h5::Error(h5::ErrorKind::OS, error.what());
            }
        }
        log_set_aside_journals();
        if (failure) {
            // The file's name leads the text, whatever the failure says.
            const std::string text = failure->what();
            const bool named = text.find(paths[i]) != std::string::npos;
            const h5::Error named_failure(failure->kind(), named ? text : paths[i] + ": " + text,
                                          failure->error_number());
            out.append(exception_object(named_failure, nb::str(paths[i].c_str())));
            continue;
        }
        out.append(nb::make_tuple(found.shape.rows, found.shape.cols,
                                  found.cursor ? nb::cast(*found.cursor) : nb::none(),
                                  optional_column(found.span.first), optional_column(found.span.last),
                                  found.meta ? attribute_to_python(*found.meta) : nb::none()));
    }
    if (reports) progress(paths.size(), paths.size());
    return out;
}

}  // namespace

ValueSpan value_span(h5::Dataset &data, bool want_first, const h5::ReadPin *pin) {
    const chunks::ChunkGrid grid = chunks::chunk_grid(data);
    ValueSpan span;
    if (grid.shape.rows == 0 || grid.shape.cols == 0) return span;
    const std::vector<uint64_t> starts = block_starts(data, grid);
    span.last = scan_from_end(data, grid, starts, true, pin);
    // No value at all: the forward scan would find none either.
    if (span.last && want_first) span.first = scan_from_end(data, grid, starts, false, pin);
    return span;
}

void define_value_spans(nb::module_ &m) {
    m.def("_value_spans", &value_spans, "paths"_a, "progress"_a.none() = nb::none(),
          "Per path, (rows, columns, cursor_col or None, first and last columns holding a value or None, the\n"
          "attribute meta of data as stored or None), found\n"
          "by scanning chunk columns in from each end of the matrix; the OSError naming the file for one that\n"
          "cannot be read. Calls progress(done, total) between files.");
}

}  // namespace quorbel
