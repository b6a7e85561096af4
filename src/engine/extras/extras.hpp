// quorbel._extras: what users of a factor store expect beside the engine's
// published functions. It links the engine's units and reaches quorbel.detail's
// settings and functions through module_attr, like the engine itself.
//
//   extras.cpp         module entry: binds to quorbel.detail, publishes read_panel, main
//   panel_reads.cpp    read_panel: many rows over a date section in one pass
//   command_scans.cpp  the work behind the `quorbel` command (quorbel/cli.py):
//                      layout, scans, chunk checks, the coverage picture, rewrite
//   library_reads.cpp  many factor files at once into one cube (FactorLibrary)
//   history_reads.cpp  the cube as of a past time, first-known times, the commit listing
//   value_spans.cpp    the first and last columns holding values, scanned in from each end
//   png_labels.cpp     axis labels (digits) for the coverage picture
//   png_writer.cpp     a minimal RGB PNG encoder on libdeflate
//   journal_tools.cpp  which file an undo journal names, for crash-state tools
//   value_checks.cpp   the library's writes: every value converted before any file is touched
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding/detail.hpp"

namespace quorbel {

// A factor file handle argument or a path; see read_panel's docstring.
nb::object read_panel(nb::object h5_or_path, nb::object order_book_ids, nb::object start_date,
                      nb::object end_date, bool check, bool as_numpy);
extern const char *const kReadPanelDoc;

// The cube reads behind quorbel.FactorLibrary (_cube_instruments, _cube_sections,
// _fill_cube, _factor_summary).
void define_library_reads(nb::module_ &m);

// `data` of a factor file; OSError naming the file when it has none, or one
// that is not a matrix.
h5::Dataset factor_matrix(const h5::File &file);
// The files behind an iterable of factor file handles.
std::vector<h5::File> files_of(nb::handle handles);
// A section as _cube_sections gives it: a pair (first, end) of columns.
std::pair<uint64_t, uint64_t> section_bounds(nb::handle section);

// A new 1-D int64 NumPy array of `n` elements that Python owns; `*data`
// points at its buffer, for the caller to fill.
using IntArray = nb::ndarray<nb::numpy, int64_t, nb::ndim<1>>;
IntArray new_int_array(size_t n, int64_t **data);

// The as-of reads, first-known times and commit listing from the history
// beside a factor file (_history_undo, _history_facts, _history_log).
void define_history_reads(nb::module_ &m);

// The first and last columns of `data` holding a value (nullopt when none
// does), scanned in from each end a chunk column at a time; the first is
// only looked for when asked.
struct ValueSpan {
    std::optional<uint64_t> first, last;
};
// With `pin` (File::pin), chunks are read as part of one pinned read, which
// the caller checks with File::holds afterwards.
ValueSpan value_span(h5::Dataset &data, bool want_first = true, const h5::ReadPin *pin = nullptr);
// _value_spans, behind `quorbel ls`, coverage and the library's default reads.
void define_value_spans(nb::module_ &m);

// A failure of a factor file that the command line prints as its text alone;
// quorbel._extras.CommandError in Python.
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Publishes CommandError and the functions behind the command line.
void define_command_scans(nb::module_ &m);

// _journal_written_for and _retarget_journal, for the crash-state tools.
void define_journal_tools(nb::module_ &m);

// _items_of_pairs and _items_of_objects, the value checks of FactorLibrary's writes.
void define_value_checks(nb::module_ &m);

// Writes an 8-bit RGB image (rows top to bottom, 3 bytes a pixel) as a PNG.
// std::runtime_error when the file cannot be written.
void write_png_rgb(const std::string &path, uint32_t width, uint32_t height, const std::vector<uint8_t> &rgb);

// A picture with axis labels in margins right of and below the plot: ticks
// at plot pixels, each with a label of digits (years, instrument counts).
struct AxisTick {
    uint32_t pixel;
    std::string text;
};
struct LabelledPicture {
    uint32_t width, height;
    std::vector<uint8_t> rgb;
};
LabelledPicture add_axis_labels(const std::vector<uint8_t> &plot, uint32_t width, uint32_t height,
                                const std::vector<AxisTick> &x_ticks, const std::vector<AxisTick> &y_ticks);

// Days since 1970-01-01 of a date code (20180102), for datetime64[D].
int64_t days_since_epoch(int64_t date_code);

}  // namespace quorbel
