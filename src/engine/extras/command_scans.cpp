// The work behind the `quorbel` command (quorbel/cli.py): each function opens
// a factor file read-only, does its HDF5 and compression work with the GIL
// released, and returns plain data; cli.py does the printing.
//
// A long pass takes an optional callable progress(done, total), called with
// the GIL held between batches; that is also where Ctrl-C ends the pass.
#include <Python.h>
#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <tuple>
#include <vector>

#include "storage/chunk_io.hpp"
#include "storage/file_damage.hpp"
#include "extras.hpp"
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include "storage/journal.hpp"

using namespace nb::literals;

namespace quorbel {
namespace {

// Reports a pass's progress to the caller's callable, if any.
class Progress {
public:
    Progress(nb::handle callback, uint64_t total) : callback_(callback), total_(total) { report(0); }
    void report(uint64_t done) {
        if (callback_.is_valid() && !callback_.is_none()) callback_(done, total_);
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }

private:
    nb::handle callback_;
    uint64_t total_;
};

struct FactorMatrix {
    h5::File file;
    h5::Dataset data;
    h5::DatasetLayout layout;
    h5::Shape2 shape;

    bool chunked() const { return h5::matrix_chunks(layout).has_value(); }
    h5::Shape2 chunks() const { return *h5::matrix_chunks(layout); }
};

// Closes the file without the GIL on every path, the error paths included.
struct CloseWithoutGil {
    void operator()(FactorMatrix *m) const noexcept {
        if (PyGILState_Check()) {
            nb::gil_scoped_release release;
            delete m;
        } else {
            delete m;
        }
    }
};
using OpenMatrix = std::unique_ptr<FactorMatrix, CloseWithoutGil>;

OpenMatrix open_matrix(const std::string &path) {
    OpenMatrix m(new FactorMatrix);
    use_file_locking_setting();
    try {
        nb::gil_scoped_release release;
        m->file = h5::File::open(path, false);
    } catch (...) {
        log_set_aside_journals();
        throw;
    }
    // Opening may have set aside a journal that was not this file's.
    log_set_aside_journals();
    nb::gil_scoped_release release;
    if (!m->file.has_dataset("data")) throw CommandError(path + " holds no dataset 'data'");
    m->data = m->file.open_dataset("data");
    m->layout = m->data.layout();
    if (m->layout.rank != 2) {
        throw CommandError(path + ": 'data' is not a matrix (rank " + std::to_string(m->layout.rank) + ")");
    }
    m->shape = m->data.shape();
    return m;
}

// Failures of the file itself (HDF5, the PNG, the checks above) reach the
// command as CommandError, whose text it prints alone; Python exceptions and
// argument errors keep their kind.
template <typename Work>
auto guarded(Work &&work) -> decltype(work()) {
    try {
        return work();
    } catch (nb::python_error &) {
        throw;
    } catch (const nb::builtin_exception &) {
        throw;
    } catch (const CommandError &) {
        throw;
    } catch (const h5::DamagedFile &e) {
        throw CommandError(e.path() + ": " + e.what());
    } catch (const std::exception &e) {
        throw CommandError(e.what());
    }
}

// Every row over every column, in row order, each chunk inflated once;
// visit(row, values) runs without the GIL.
void scan_rows(FactorMatrix &m, nb::handle progress_callback,
               const std::function<void(uint64_t, const double *)> &visit, uint64_t first_column = 0,
               std::optional<uint64_t> end_column = std::nullopt) {
    const uint64_t batch = m.chunked() ? std::max<uint64_t>(m.chunks().rows, 1) : 256;
    const uint64_t end_col = std::min(end_column.value_or(m.shape.cols), m.shape.cols);
    Progress progress(progress_callback, m.shape.rows);
    nb::gil_scoped_release release;
    // Declared after the release, so they close before the GIL comes back.
    chunks::RowReader reader(m.file, "data", first_column, end_col);
    std::vector<double> row(end_col > first_column ? end_col - first_column : 0);
    for (uint64_t first = 0; first < m.shape.rows; first += batch) {
        const uint64_t end = std::min(first + batch, m.shape.rows);
        for (uint64_t r = first; r < end; ++r) {
            reader.read_row(r, row.data());
            visit(r, row.data());
        }
        nb::gil_scoped_acquire acquire;
        progress.report(end);
    }
}

nb::object optional_int(std::optional<int64_t> value) { return value ? nb::object(nb::int_(*value)) : nb::none(); }

nb::object extent(uint64_t n) { return n == h5::kUnlimited ? nb::none() : nb::object(nb::int_(n)); }

// The first element of an integer attribute, whatever its width.
std::optional<int64_t> first_integer(const h5::AttrValue &value) {
    const bool is_signed = value.kind == h5::AttrValue::Kind::Signed;
    if ((!is_signed && value.kind != h5::AttrValue::Kind::Unsigned) || value.numbers.size() < value.element_size) {
        return std::nullopt;
    }
    const unsigned char *p = value.numbers.data();
    switch (value.element_size) {
        case 1: return is_signed ? int64_t(int8_t(p[0])) : int64_t(p[0]);
        case 2: { int16_t s; uint16_t u; std::memcpy(&s, p, 2); std::memcpy(&u, p, 2); return is_signed ? int64_t(s) : int64_t(u); }
        case 4: { int32_t s; uint32_t u; std::memcpy(&s, p, 4); std::memcpy(&u, p, 4); return is_signed ? int64_t(s) : int64_t(u); }
        case 8: {
            // A uint64 past 2**63 - 1 counts as 2**63 - 1, as the engine's
            // readers see it through HDF5's conversion; wrapped, it would pass
            // for a negative cursor.
            int64_t s;
            uint64_t u;
            std::memcpy(&s, p, 8);
            std::memcpy(&u, p, 8);
            if (is_signed) return s;
            return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(u);
        }
        default: return std::nullopt;
    }
}

const char *kind_name(h5::AttrValue::Kind kind) {
    switch (kind) {
        case h5::AttrValue::Kind::Signed: return "int";
        case h5::AttrValue::Kind::Unsigned: return "uint";
        case h5::AttrValue::Kind::Float: return "float";
        case h5::AttrValue::Kind::Text: return "text";
    }
    return "unknown";
}

nb::dict matrix_layout(nb::handle path_arg) {
    const std::string path = path_argument(path_arg);
    return guarded([&] {
        const OpenMatrix opened = open_matrix(path);
        FactorMatrix &m = *opened;
        std::vector<std::string> members;
        std::optional<h5::AttrValue> cursor;
        std::optional<h5::AttrValue> meta;
        {
            nb::gil_scoped_release release;
            members = m.file.member_names();
            if (m.data.has_attribute("cursor_col")) cursor = m.data.read_attribute("cursor_col");
            if (m.data.has_attribute("meta")) meta = m.data.read_attribute("meta");
        }
        const h5::DatasetLayout &l = m.layout;
        nb::dict out;
        out["rows"] = m.shape.rows;
        out["cols"] = m.shape.cols;
        out["max_shape"] = nb::make_tuple(extent(l.max_shape.at(0)), extent(l.max_shape.at(1)));
        out["chunks"] = m.chunked() ? nb::object(nb::make_tuple(l.chunks[0], l.chunks[1])) : nb::none();
        out["dtype"] = l.dtype;
        nb::list filters;
        for (const h5::FilterInfo &f : l.filters) {
            nb::list options;
            for (unsigned o : f.options) options.append(o);
            filters.append(nb::make_tuple(f.id, f.name, options));
        }
        out["filters"] = filters;
        out["fill_value"] = l.fill_value ? nb::object(nb::float_(*l.fill_value)) : nb::none();
        nb::list names;
        for (const std::string &name : members) names.append(name);
        out["members"] = names;
        if (cursor) {
            nb::list dims;
            for (uint64_t d : cursor->dims) dims.append(d);
            nb::dict stored;
            stored["kind"] = kind_name(cursor->kind);
            stored["size"] = cursor->element_size;
            stored["shape"] = dims;
            stored["value"] = optional_int(first_integer(*cursor));
            out["cursor_col"] = stored;
        } else {
            out["cursor_col"] = nb::none();
        }
        // The factor's metadata as stored, for the command to parse: read in
        // this same open, not in another through get_h5 and its retries.
        out["meta"] = meta ? attribute_to_python(*meta) : nb::none();
        const std::string journal = h5::journal::journal_path(path);
        out["journal"] = journal;
        // A journal still beside the file once it is open is either this
        // file's unfinished write (without locks, nothing may undo it) or
        // one written for another file, left for the next write to set aside.
        const posix::Fd data_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        out["journal_is_own"] = data_fd && h5::journal::journal_is_own(path, data_fd.get());
        return out;
    });
}

nb::dict value_extent(nb::handle path_arg, nb::handle progress) {
    const std::string path = path_argument(path_arg);
    return guarded([&] {
        const OpenMatrix opened = open_matrix(path);
        FactorMatrix &m = *opened;
        std::vector<uint8_t> column_has(m.shape.cols, 0);
        uint64_t instruments = 0, cells = 0;
        scan_rows(m, progress, [&](uint64_t, const double *values) {
            uint64_t held = 0;
            for (uint64_t c = 0; c < m.shape.cols; ++c) {
                if (!std::isnan(values[c])) column_has[c] = 1, ++held;
            }
            instruments += held > 0;
            cells += held;
        });
        std::optional<int64_t> first, last;
        const auto found = std::find(column_has.begin(), column_has.end(), 1);
        if (found != column_has.end()) {
            first = found - column_has.begin();
            last = column_has.rend() - std::find(column_has.rbegin(), column_has.rend(), 1) - 1;
        }
        nb::dict out;
        out["first"] = optional_int(first);
        out["last"] = optional_int(last);
        out["instruments"] = instruments;
        out["cells"] = cells;
        return out;
    });
}

// Reads every chunk through HDF5's own pipeline, independently of the
// engine's direct chunk reads; (row, column, error) for each that fails.
nb::list unreadable_chunks(nb::handle path_arg, nb::handle progress_callback) {
    const std::string path = path_argument(path_arg);
    return guarded([&] {
        const OpenMatrix opened = open_matrix(path);
        FactorMatrix &m = *opened;
        nb::list problems;
        const h5::Shape2 c = m.chunked() ? m.chunks() : h5::Shape2{std::min<uint64_t>(m.shape.rows, 256), m.shape.cols};
        if (c.rows == 0 || c.cols == 0 || m.shape.rows == 0 || m.shape.cols == 0) return problems;
        std::vector<double> buffer(c.rows * c.cols);
        Progress progress(progress_callback, m.shape.rows);
        for (uint64_t row = 0; row < m.shape.rows; row += c.rows) {
            std::vector<std::tuple<uint64_t, uint64_t, std::string>> failed;
            {
                nb::gil_scoped_release release;
                for (uint64_t col = 0; col < m.shape.cols; col += c.cols) {
                    const h5::Block block{row, std::min(c.rows, m.shape.rows - row), col,
                                          std::min(c.cols, m.shape.cols - col)};
                    try {
                        m.data.read(block, buffer.data());
                    } catch (const h5::Error &e) {
                        failed.emplace_back(row, col, e.what());
                    }
                }
            }
            for (const auto &[r, col, error] : failed) problems.append(nb::make_tuple(r, col, error));
            progress.report(std::min(row + c.rows, m.shape.rows));
        }
        return problems;
    });
}

// ---- coverage --------------------------------------------------------------

struct Picture {
    uint32_t width, height;
    std::vector<uint64_t> filled, cells;  // per pixel
};

// Pixel of a cell index along an axis of `n` cells drawn in `pixels`.
uint32_t pixel_of(uint64_t i, uint64_t n, uint32_t pixels) { return uint32_t(i * pixels / n); }

std::vector<uint8_t> render(const Picture &p, std::optional<uint64_t> cursor_x) {
    std::vector<uint8_t> rgb(size_t(p.width) * p.height * 3, 255);
    for (size_t i = 0; i < p.filled.size(); ++i) {
        if (p.filled[i] == 0) continue;
        // Any value at all is visibly grey; a full pixel is black.
        const double share = double(p.filled[i]) / double(p.cells[i]);
        const auto level = static_cast<uint8_t>(std::lround(200.0 * (1.0 - share)));
        rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = level;
    }
    if (cursor_x) {
        for (uint32_t y = 0; y < p.height; ++y) {
            uint8_t *px = &rgb[(size_t(y) * p.width + *cursor_x) * 3];
            px[0] = 220, px[1] = 30, px[2] = 30;
        }
    }
    return rgb;
}

std::vector<AxisTick> axis_ticks(nb::handle ticks, uint64_t first, uint64_t n, uint32_t pixels) {
    std::vector<AxisTick> out;
    for (nb::handle tick : ticks) {
        const auto [at, text] = nb::cast<std::pair<int64_t, std::string>>(tick);
        if (at < int64_t(first) || uint64_t(at) >= first + n) continue;
        out.push_back({pixel_of(uint64_t(at) - first, n, pixels), text});
    }
    return out;
}

nb::dict draw_coverage(nb::handle path_arg, nb::handle output_arg, int64_t max_width, int64_t max_height,
                       nb::handle progress, int64_t first_column, std::optional<int64_t> end_column,
                       nb::handle x_ticks, nb::handle y_ticks) {
    const std::string path = path_argument(path_arg);
    const std::string output = path_argument(output_arg);
    if (max_width < 1 || max_height < 1) throw nb::value_error("width and height must be at least 1");
    return guarded([&] {
        const OpenMatrix opened = open_matrix(path);
        FactorMatrix &m = *opened;
        if (m.shape.rows == 0 || m.shape.cols == 0) throw CommandError(path + ": the matrix is empty");
        const uint64_t first = uint64_t(std::max<int64_t>(first_column, 0));
        const uint64_t end = std::min<uint64_t>(end_column ? uint64_t(std::max<int64_t>(*end_column, 0)) : m.shape.cols,
                                                m.shape.cols);
        if (first >= end) throw CommandError(path + ": no column of the matrix lies in the dates asked for");
        const uint64_t cols = end - first;
        Picture p;
        p.width = uint32_t(std::min<uint64_t>(cols, uint64_t(max_width)));
        p.height = uint32_t(std::min<uint64_t>(m.shape.rows, uint64_t(max_height)));
        p.filled.assign(size_t(p.width) * p.height, 0);
        p.cells.assign(p.filled.size(), 0);
        std::vector<uint32_t> x_of(cols);
        for (uint64_t c = 0; c < cols; ++c) x_of[c] = pixel_of(c, cols, p.width);
        scan_rows(m, progress, [&](uint64_t row, const double *values) {
            const size_t line = size_t(pixel_of(row, m.shape.rows, p.height)) * p.width;
            for (uint64_t c = 0; c < cols; ++c) {
                ++p.cells[line + x_of[c]];
                p.filled[line + x_of[c]] += !std::isnan(values[c]);
            }
        }, first, end);
        const std::vector<AxisTick> xs = axis_ticks(x_ticks, first, cols, p.width);
        const std::vector<AxisTick> ys = axis_ticks(y_ticks, 0, m.shape.rows + 1, p.height);
        std::optional<int64_t> cursor;
        std::optional<uint64_t> cursor_x;
        LabelledPicture picture;
        {
            nb::gil_scoped_release release;
            cursor = m.data.read_int64_attribute("cursor_col");
            if (cursor && *cursor >= int64_t(first) && uint64_t(*cursor) < end) cursor_x = x_of[uint64_t(*cursor) - first];
            picture = add_axis_labels(render(p, cursor_x), p.width, p.height, xs, ys);
            write_png_rgb(output, picture.width, picture.height, picture.rgb);
        }
        nb::dict out;
        out["width"] = p.width;
        out["height"] = p.height;
        out["image_width"] = picture.width;
        out["image_height"] = picture.height;
        out["rows"] = m.shape.rows;
        out["cols"] = m.shape.cols;
        out["first_column"] = first;
        out["end_column"] = end;
        out["cursor_col"] = cursor_x ? optional_int(cursor) : nb::none();
        return out;
    });
}

// ---- rewrite ---------------------------------------------------------------

// The rewrite's passes report a fraction through a plain function on this
// thread; it hands them to the caller's callables as (done, kRewriteSteps).
constexpr uint64_t kRewriteSteps = 1000;
struct RewriteCallbacks;
thread_local const RewriteCallbacks *t_rewrite_callbacks = nullptr;
struct RewriteCallbacks {
    nb::handle reading, writing;
    const RewriteCallbacks *outer;
    ~RewriteCallbacks() { t_rewrite_callbacks = outer; }
};

void report_rewrite(const char *phase, double fraction) {
    // The engine calls this between batches, with the GIL released.
    nb::gil_scoped_acquire acquire;
    const RewriteCallbacks *callbacks = t_rewrite_callbacks;
    if (callbacks) {
        const nb::handle callback = std::strcmp(phase, "writing") == 0 ? callbacks->writing : callbacks->reading;
        const auto done = static_cast<uint64_t>(std::llround(std::clamp(fraction, 0.0, 1.0) * kRewriteSteps));
        if (!callback.is_none()) callback(done, kRewriteSteps);
    }
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

void rewrite_with_progress(nb::handle path_arg, nb::handle reading, nb::handle writing) {
    const std::string path = path_argument(path_arg);
    guarded([&] {
        open_matrix(path);  // a clear error for a file that is no factor file
        const RewriteCallbacks callbacks{reading, writing, t_rewrite_callbacks};
        t_rewrite_callbacks = &callbacks;
        chunks::ProgressScope scope(report_rewrite);
        rewrite_factor_file(nb::str(path.c_str()));
    });
}

nb::object panel_for_show(nb::handle path, nb::handle ids, int64_t start, int64_t end) {
    return guarded([&] { return read_panel(nb::borrow(path), nb::borrow(ids), nb::int_(start), nb::int_(end), true, false); });
}

}  // namespace

void define_command_scans(nb::module_ &m) {
    nb::exception<CommandError>(m, "CommandError");
    m.def("_matrix_layout", &matrix_layout, "path"_a,
          "How `data` is stored: shape, max shape, chunks, dtype, filters as (id, name, options), fill value, the "
          "file's members, cursor_col as stored (None when absent), the attribute meta of data as stored (None "
          "when absent) and the path an unfinished write's journal would have.");
    m.def("_value_extent", &value_extent, "path"_a, "progress"_a.none() = nb::none(),
          "Scans every row: the first and last columns holding a value (None when none does) and how many rows "
          "hold one.");
    m.def("_unreadable_chunks", &unreadable_chunks, "path"_a, "progress"_a.none() = nb::none(),
          "Reads every chunk through HDF5's own pipeline: (row, column, error) of each that fails.");
    m.def("_draw_coverage", &draw_coverage, "path"_a, "output"_a, "max_width"_a, "max_height"_a,
          "progress"_a.none() = nb::none(), "first_column"_a = 0, "end_column"_a.none() = nb::none(),
          "x_ticks"_a = nb::list(), "y_ticks"_a = nb::list(),
          "Writes a PNG of where values exist over columns [first_column, end_column) (instruments down, dates "
          "across, cursor_col as a red line), labelled below at x_ticks [(column, digits)] and on the right at "
          "y_ticks [(row, digits)]; returns the plot's and the image's size, the section and the cursor_col drawn.");
    m.def("_rewrite", &rewrite_with_progress, "path"_a, "reading"_a.none() = nb::none(),
          "writing"_a.none() = nb::none(), "rewrite_factor, reporting the progress of its two passes.");
    m.def("_show_panel", &panel_for_show, "path"_a, "order_book_ids"_a, "start_date"_a, "end_date"_a,
          "read_panel up to cursor_col, as a DataFrame.");
}

}  // namespace quorbel
