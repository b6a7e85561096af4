// The `quorbel` command line tool. Argument parsing is the host's argparse
// (so --help and usage errors look like every other Python tool); the work
// is done here on the engine's HDF5 side, with the GIL released around it.
#include <Python.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "chunk_io.hpp"
#include "extras.hpp"

using namespace nb::literals;

namespace quorbel {
namespace {

// A failure the user can act on: printed as "quorbel: error: <text>", exit 1.
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void write_to(const char *stream, const std::string &text) {
    nb::object file = nb::module_::import_("sys").attr(stream);
    file.attr("write")(text);
    file.attr("flush")();
}
void say(const std::string &text) { write_to("stdout", text + "\n"); }
void warn(const std::string &text) { write_to("stderr", text + "\n"); }

std::string text_of(nb::handle value) { return nb::cast<std::string>(nb::str(value)); }

// "[#######-------]  45%" on stderr, redrawn in place as the percentage moves.
class ProgressBar {
public:
    ProgressBar(std::string label, uint64_t total) : label_(std::move(label)), total_(std::max<uint64_t>(total, 1)) {
        update(0);
    }
    void update(uint64_t done) {
        const int percent = static_cast<int>(std::min<uint64_t>(done, total_) * 100 / total_);
        if (percent == shown_) return;
        shown_ = percent;
        const int filled = percent * kWidth / 100;
        std::ostringstream bar;
        bar << '\r' << label_ << " [" << std::string(filled, '#') << std::string(kWidth - filled, '-') << "] "
            << std::setw(3) << percent << '%';
        write_to("stderr", bar.str());
        // Lets Ctrl-C end a long scan between batches.
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    void finish() {
        update(total_);
        write_to("stderr", "\n");
    }

private:
    static constexpr int kWidth = 30;
    std::string label_;
    uint64_t total_;
    int shown_ = -1;
};

// ---- the factor file -------------------------------------------------------

struct FactorMatrix {
    h5::File file;
    h5::Dataset data;
    h5::DatasetLayout layout;
    h5::Shape2 shape;
};

FactorMatrix open_matrix(const std::string &path) {
    FactorMatrix m;
    try {
        nb::gil_scoped_release release;
        m.file = h5::File::open(path, false);
    } catch (...) {
        log_set_aside_journals();
        throw;
    }
    log_set_aside_journals();
    nb::gil_scoped_release release;
    if (!m.file.has_dataset("data")) throw CommandError(path + " holds no dataset 'data'");
    m.data = m.file.open_dataset("data");
    m.layout = m.data.layout();
    if (m.layout.rank != 2) throw CommandError(path + ": 'data' is not a matrix (rank " + std::to_string(m.layout.rank) + ")");
    m.shape = m.data.shape();
    return m;
}

std::string existing_file(nb::handle path_arg) {
    const std::string path = path_argument(path_arg);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw CommandError("no such file: " + path);
    if (!S_ISREG(st.st_mode)) throw CommandError("not a file: " + path);
    return path;
}

uint64_t file_size(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The trading date of a column, through quorbel.detail's calendar; nullopt
// for a column beyond the calendar.
std::optional<int64_t> date_of_column(uint64_t column) {
    try {
        nb::object pair = module_attr("_get_date_by_index")(column, column);
        return nb::cast<int64_t>(pair[0]);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_IndexError)) return std::nullopt;
        throw;
    }
}

std::string column_text(uint64_t column) {
    std::optional<int64_t> date = date_of_column(column);
    return "column " + std::to_string(column) + (date ? ", " + std::to_string(*date) : ", beyond the calendar");
}

// Every row over every column, in row order, each chunk inflated once;
// visit(row, values) runs without the GIL.
void scan_rows(FactorMatrix &m, const char *label, const std::function<void(uint64_t, const double *)> &visit) {
    const uint64_t batch = m.layout.chunks.size() == 2 ? std::max<uint64_t>(m.layout.chunks[0], 1) : 256;
    ProgressBar progress(label, m.shape.rows);
    std::optional<h5::Dataset> data;
    std::optional<chunks::RowReader> reader;
    std::vector<double> row(m.shape.cols);
    {
        nb::gil_scoped_release release;
        const h5::ChunkCache cache =
            m.layout.chunks.size() == 2
                ? h5::chunk_cache_for_columns({m.layout.chunks[0], m.layout.chunks[1]}, 0, m.shape.cols)
                : h5::ChunkCache{};
        data = m.file.open_dataset("data", cache);
        reader.emplace(*data, 0, m.shape.cols);
    }
    for (uint64_t first = 0; first < m.shape.rows; first += batch) {
        {
            nb::gil_scoped_release release;
            for (uint64_t r = first; r < std::min(first + batch, m.shape.rows); ++r) {
                reader->read_row(r, row.data());
                visit(r, row.data());
            }
        }
        progress.update(std::min(first + batch, m.shape.rows));
    }
    progress.finish();
    nb::gil_scoped_release release;
    reader.reset();
    data.reset();
}

std::string filters_text(const std::vector<h5::FilterInfo> &filters) {
    if (filters.empty()) return "none";
    std::ostringstream out;
    for (size_t i = 0; i < filters.size(); ++i) {
        out << (i ? ", " : "") << (filters[i].name.empty() ? "filter " + std::to_string(filters[i].id) : filters[i].name)
            << '(';
        for (size_t j = 0; j < filters[i].options.size(); ++j) out << (j ? "," : "") << filters[i].options[j];
        out << ')';
    }
    return out.str();
}

std::string extent_text(uint64_t n) { return n == h5::kUnlimited ? "unlimited" : std::to_string(n); }

std::string mib(uint64_t bytes) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << double(bytes) / (1 << 20) << " MiB";
    return out.str();
}

std::optional<int64_t> cursor_col_of(const FactorMatrix &m) {
    nb::gil_scoped_release release;
    return m.data.read_int64_attribute("cursor_col");
}

// ---- info ------------------------------------------------------------------

int info(nb::handle args) {
    const std::string path = existing_file(args.attr("file"));
    FactorMatrix m = open_matrix(path);
    const auto &l = m.layout;
    say("file          " + path);
    say("shape         " + std::to_string(m.shape.rows) + " instruments x " + std::to_string(m.shape.cols) + " dates");
    say("max shape     " + extent_text(l.max_shape[0]) + " x " + extent_text(l.max_shape[1]));
    say("chunks        " + (l.chunks.size() == 2 ? std::to_string(l.chunks[0]) + " x " + std::to_string(l.chunks[1])
                                                  : std::string("none (contiguous)")));
    say("dtype         " + l.dtype);
    say("filters       " + filters_text(l.filters));
    std::ostringstream fill;
    if (l.fill_value) fill << *l.fill_value; else fill << "not a float";
    say("fill value    " + fill.str());
    std::optional<int64_t> cursor = cursor_col_of(m);
    say("cursor_col    " + (cursor ? (*cursor >= 0 ? column_text(uint64_t(*cursor)) : std::to_string(*cursor))
                                   : std::string("absent (nothing written yet)")));

    std::vector<uint8_t> column_has(m.shape.cols, 0);
    uint64_t instruments = 0;
    scan_rows(m, "scanning", [&](uint64_t, const double *values) {
        bool any = false;
        for (uint64_t c = 0; c < m.shape.cols; ++c) {
            if (!std::isnan(values[c])) column_has[c] = 1, any = true;
        }
        instruments += any;
    });
    auto first = std::find(column_has.begin(), column_has.end(), 1);
    if (first == column_has.end()) {
        say("values        none");
    } else {
        const uint64_t last = column_has.rend() - std::find(column_has.rbegin(), column_has.rend(), 1) - 1;
        say("first value   " + column_text(uint64_t(first - column_has.begin())));
        say("last value    " + column_text(last));
    }
    say("instruments   " + std::to_string(instruments) + " hold values");
    const uint64_t size = file_size(path);
    const uint64_t cells = m.shape.rows * m.shape.cols * 8;
    std::ostringstream ratio;
    ratio << std::fixed << std::setprecision(1) << (size ? double(cells) / double(size) : 0.0);
    say("file size     " + mib(size) + " (" + std::to_string(size) + " bytes)");
    say("compression   " + ratio.str() + "x (" + mib(cells) + " of float64 cells)");
    return 0;
}

// ---- verify ----------------------------------------------------------------

std::vector<std::string> layout_problems(const FactorMatrix &m) {
    std::vector<std::string> problems;
    const auto &l = m.layout;
    std::vector<std::string> members = m.file.member_names();
    for (const std::string &name : members) {
        if (name != "data") problems.push_back("the file holds '" + name + "' besides 'data'");
    }
    if (l.dtype != "<f8") problems.push_back("'data' is " + l.dtype + ", not <f8");
    if (l.chunks.size() != 2) problems.push_back("'data' is not chunked");
    const bool deflate9 = l.filters.size() == 1 && l.filters[0].id == 1 && !l.filters[0].options.empty() &&
                          l.filters[0].options[0] == 9;
    if (!deflate9) problems.push_back("filters are " + filters_text(l.filters) + ", not DEFLATE level 9 alone");
    if (!l.fill_value || !std::isnan(*l.fill_value)) problems.push_back("the fill value is not NaN");
    if (l.max_shape.size() != 2 || l.max_shape[0] != h5::kUnlimited || l.max_shape[1] != h5::kUnlimited) {
        problems.push_back("the maximum shape is not unlimited in both dimensions");
    }
    if (m.data.has_attribute("cursor_col")) {
        const h5::AttrValue cursor = m.data.read_attribute("cursor_col");
        if (cursor.kind != h5::AttrValue::Kind::Signed || cursor.element_size != 8 || !cursor.dims.empty()) {
            problems.push_back("cursor_col is not a scalar int64");
        } else {
            int64_t value = 0;
            std::memcpy(&value, cursor.numbers.data(), sizeof value);
            if (value < 0 || uint64_t(value) >= m.shape.cols) {
                problems.push_back("cursor_col " + std::to_string(value) + " lies outside the matrix's " +
                                   std::to_string(m.shape.cols) + " columns");
            }
        }
    }
    return problems;
}

std::string journal_of(const std::string &path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return dir + "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".journal";
}

// Reads every chunk through HDF5's own pipeline, independently of the
// engine's direct chunk reads, and reports each that fails.
std::vector<std::string> chunk_problems(FactorMatrix &m) {
    std::vector<std::string> problems;
    const h5::Shape2 c = m.layout.chunks.size() == 2 ? h5::Shape2{m.layout.chunks[0], m.layout.chunks[1]}
                                                     : h5::Shape2{std::min<uint64_t>(m.shape.rows, 256), m.shape.cols};
    if (c.rows == 0 || c.cols == 0 || m.shape.rows == 0 || m.shape.cols == 0) return problems;
    std::vector<double> buffer(c.rows * c.cols);
    ProgressBar progress("reading chunks", m.shape.rows);
    for (uint64_t row = 0; row < m.shape.rows; row += c.rows) {
        {
            nb::gil_scoped_release release;
            for (uint64_t col = 0; col < m.shape.cols; col += c.cols) {
                const h5::Block block{row, std::min(c.rows, m.shape.rows - row), col, std::min(c.cols, m.shape.cols - col)};
                try {
                    m.data.read(block, buffer.data());
                } catch (const h5::Error &e) {
                    problems.push_back("the chunk at row " + std::to_string(row) + ", column " + std::to_string(col) +
                                       " cannot be read: " + e.what());
                }
            }
        }
        progress.update(std::min(row + c.rows, m.shape.rows));
    }
    progress.finish();
    return problems;
}

int verify(nb::handle args) {
    const std::string path = existing_file(args.attr("file"));
    FactorMatrix m = open_matrix(path);
    std::vector<std::string> problems = layout_problems(m);
    struct stat st {};
    if (::stat(journal_of(path).c_str(), &st) == 0) {
        problems.push_back("an unfinished write left its journal " + journal_of(path) +
                           "; opening the file through get_h5 with write access undoes that write");
    }
    std::vector<std::string> unreadable = chunk_problems(m);
    problems.insert(problems.end(), unreadable.begin(), unreadable.end());
    for (const std::string &p : problems) say("problem: " + p);
    if (!problems.empty()) {
        say(path + ": " + std::to_string(problems.size()) + (problems.size() == 1 ? " problem" : " problems"));
        return 1;
    }
    say(path + ": OK (" + std::to_string(m.shape.rows) + " x " + std::to_string(m.shape.cols) +
        ", every chunk readable)");
    return 0;
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

int coverage(nb::handle args) {
    const std::string path = existing_file(args.attr("file"));
    const std::string output = path_argument(args.attr("output"));
    const int64_t max_width = nb::cast<int64_t>(args.attr("width")), max_height = nb::cast<int64_t>(args.attr("height"));
    if (max_width < 1 || max_height < 1) throw CommandError("--width and --height must be at least 1");
    FactorMatrix m = open_matrix(path);
    if (m.shape.rows == 0 || m.shape.cols == 0) throw CommandError(path + ": the matrix is empty");
    Picture p;
    p.width = uint32_t(std::min<uint64_t>(m.shape.cols, uint64_t(max_width)));
    p.height = uint32_t(std::min<uint64_t>(m.shape.rows, uint64_t(max_height)));
    p.filled.assign(size_t(p.width) * p.height, 0);
    p.cells.assign(p.filled.size(), 0);
    std::vector<uint32_t> x_of(m.shape.cols);
    for (uint64_t c = 0; c < m.shape.cols; ++c) x_of[c] = pixel_of(c, m.shape.cols, p.width);
    scan_rows(m, "scanning", [&](uint64_t row, const double *values) {
        const size_t line = size_t(pixel_of(row, m.shape.rows, p.height)) * p.width;
        for (uint64_t c = 0; c < m.shape.cols; ++c) {
            ++p.cells[line + x_of[c]];
            p.filled[line + x_of[c]] += !std::isnan(values[c]);
        }
    });
    std::optional<int64_t> cursor = cursor_col_of(m);
    std::optional<uint64_t> cursor_x;
    if (cursor && *cursor >= 0 && uint64_t(*cursor) < m.shape.cols) cursor_x = x_of[uint64_t(*cursor)];
    write_png_rgb(output, p.width, p.height, render(p, cursor_x));
    say("wrote " + output + ": " + std::to_string(p.width) + " x " + std::to_string(p.height) + " pixels for " +
        std::to_string(m.shape.rows) + " instruments (top to bottom) x " + std::to_string(m.shape.cols) +
        " dates (left to right)");
    say("dark = values, grey = some, white = none" +
        std::string(cursor_x ? "; red line = cursor_col (" + column_text(uint64_t(*cursor)) + ")" : ""));
    return 0;
}

// ---- rewrite ---------------------------------------------------------------

// A bar on stderr for the rewrite's two passes over the matrix. It is called
// without the GIL, so it writes with stdio only.
void rewrite_progress(const char *phase, double fraction) {
    const int width = 30;
    const int filled = static_cast<int>(fraction * width + 0.5);
    std::fprintf(stderr, "\r%-8s [%.*s%*s] %3d%%", phase, filled, "##############################",
                 width - filled, "", static_cast<int>(fraction * 100 + 0.5));
    if (fraction >= 1.0) std::fputc('\n', stderr);
    std::fflush(stderr);
}

int rewrite(nb::handle args) {
    const std::string path = existing_file(args.attr("file"));
    open_matrix(path);  // a clear error for a file that is no factor file
    const uint64_t before = file_size(path);
    warn("rewriting " + path + " ...");
    const auto started = std::chrono::steady_clock::now();
    {
        chunks::ProgressScope bar(rewrite_progress);
        rewrite_factor_file(nb::str(path.c_str()));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::ostringstream took;
    took << std::fixed << std::setprecision(1) << seconds;
    say("rewrote " + path + " in " + took.str() + " s: " + mib(before) + " -> " + mib(file_size(path)));
    return 0;
}

// ---- show ------------------------------------------------------------------

int64_t date_argument(nb::handle value, int64_t fallback) {
    if (value.is_none()) return fallback;
    std::string text = text_of(value);
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    if (text.size() != 8 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        throw CommandError("not a date: " + text_of(value) + " (write 20180102 or 2018-01-02)");
    }
    return std::stoll(text);
}

int show(nb::handle args) {
    const std::string path = existing_file(args.attr("file"));
    open_matrix(path);
    const int64_t start = date_argument(args.attr("start"), 0);
    const int64_t end = date_argument(args.attr("end"), 99991231);
    nb::list ids = nb::borrow<nb::list>(args.attr("ids"));
    nb::object frame = read_panel(nb::str(path.c_str()), ids, nb::int_(start), nb::int_(end), true, false);
    nb::object shown = frame.attr("columns");
    for (nb::handle id : ids) {
        if (!PySequence_Contains(shown.ptr(), id.ptr())) warn("not in the instrument index: " + text_of(id));
    }
    if (nb::len(shown) == 0) throw CommandError("none of the instruments is in the instrument index");
    if (nb::len(frame) == 0) {
        say("no trading dates with values in that range");
        return 0;
    }
    say(text_of(frame.attr("to_string")()));
    return 0;
}

// ---- the parser ------------------------------------------------------------

nb::object add_command(nb::handle commands, const char *name, const char *help) {
    return commands.attr("add_parser")(name, "help"_a = help, "description"_a = help);
}

void add_file(nb::handle parser) { parser.attr("add_argument")("file", "help"_a = "the factor file (HDF5)"); }

nb::object parser() {
    nb::object argparse = nb::module_::import_("argparse");
    nb::object p = argparse.attr("ArgumentParser")(
        "prog"_a = "quorbel",
        "description"_a = "Inspect and maintain quorbel factor files. Dates are read through the trading "
                          "calendar; only `show` needs the instrument index (MongoDB).");
    nb::object commands = p.attr("add_subparsers")("dest"_a = "command", "metavar"_a = "COMMAND", "required"_a = true);

    add_file(add_command(commands, "info",
                         "Shape, chunks, filters, fill value, cursor_col and its date, the first and last dates "
                         "holding values, how many instruments hold values, file size and compression ratio."));

    nb::object show_p = add_command(commands, "show", "The values of some instruments as a table (dates x instruments), "
                                                      "up to cursor_col. Needs the instrument index (MongoDB).");
    add_file(show_p);
    show_p.attr("add_argument")("ids", "nargs"_a = "+", "metavar"_a = "ID", "help"_a = "order_book_id of an instrument");
    show_p.attr("add_argument")("--start", "help"_a = "first date, 20180102 or 2018-01-02 (default: the first)");
    show_p.attr("add_argument")("--end", "help"_a = "last date (default: the last, as far as cursor_col)");

    add_file(add_command(commands, "verify",
                         "Check the layout (one dataset 'data', <f8, DEFLATE 9 alone, NaN fill, unlimited maximum "
                         "shape, cursor_col a scalar int64 inside the matrix) and read every chunk. Exit status 1 "
                         "when anything is wrong."));

    nb::object cov = add_command(commands, "coverage",
                                 "Draw where values exist as a PNG: instruments top to bottom against dates left to "
                                 "right, downsampled to fit, with cursor_col as a red line.");
    add_file(cov);
    cov.attr("add_argument")("-o", "--output", "required"_a = true, "help"_a = "the PNG file to write");
    cov.attr("add_argument")("--width", "type"_a = nb::module_::import_("builtins").attr("int"), "default"_a = 1200,
                             "help"_a = "at most this many pixels across (default 1200)");
    cov.attr("add_argument")("--height", "type"_a = nb::module_::import_("builtins").attr("int"), "default"_a = 800,
                             "help"_a = "at most this many pixels down (default 800)");

    add_file(add_command(commands, "rewrite",
                         "Replace the file by a compact fresh copy (rewrite_factor): same cells and attributes."));
    return p;
}

int run(nb::handle args) {
    const std::string command = text_of(args.attr("command"));
    if (command == "info") return info(args);
    if (command == "show") return show(args);
    if (command == "verify") return verify(args);
    if (command == "coverage") return coverage(args);
    if (command == "rewrite") return rewrite(args);
    throw CommandError("unknown command " + command);
}

int exit_status(nb::python_error &e) {
    nb::object code = e.value().attr("code");
    if (code.is_none()) return 0;
    if (PyLong_Check(code.ptr())) return nb::cast<int>(code);
    warn(text_of(code));
    return 1;
}

int fail(const std::string &message) {
    warn("quorbel: error: " + message);
    return 1;
}

}  // namespace

int cli_main() {
    try {
        nb::list arguments;
        nb::object argv = nb::module_::import_("sys").attr("argv");
        for (size_t i = 1; i < nb::len(argv); ++i) arguments.append(argv[i]);
        nb::object args = parser().attr("parse_args")(arguments);
        return run(args);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_SystemExit)) return exit_status(e);
        if (e.matches(PyExc_KeyboardInterrupt)) {
            warn("\ninterrupted");
            return 130;
        }
        return fail(python_type_name(e.value()) + ": " + text_of(e.value()));
    } catch (const h5::Error &e) {
        return fail(e.what());
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}

}  // namespace quorbel
