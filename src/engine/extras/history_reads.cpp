// Factors as they were: reads as of a past time, when each date was first
// written, and the listing of a factor's commits, from the history beside a
// factor file (storage/history_log).
//
// An as-of read fills its cube from the factor file first and reads the
// history after. A commit that lands between the two has its record undone
// on cells read before it, which restores what those cells already hold; the
// other order could keep a commit's cells and miss its record.
#include <Python.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <unordered_map>

#include "extras.hpp"
#include "storage/chunk_io.hpp"
#include "storage/history_log.hpp"
#include "storage/journal_format.hpp"
#include "storage/posix_files.hpp"

namespace quorbel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// numpy.datetime64's NaT, as int64.
constexpr int64_t kNaT = std::numeric_limits<int64_t>::min();

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// "2024-01-02 09:00:00.25 UTC": the times of error messages, as UTC.
std::string time_text(int64_t ns) {
    const int64_t seconds = floor_div(ns, 1000000000), fraction = ns - seconds * 1000000000;
    const int64_t days = floor_div(seconds, 86400), of_day = seconds - days * 86400;
    // Howard Hinnant's civil_from_days.
    const int64_t z = days + 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(of_day / 3600),
                  static_cast<long long>(of_day / 60 % 60), static_cast<long long>(of_day % 60));
    std::string out = text;
    if (fraction != 0) {
        std::snprintf(text, sizeof text, ".%09lld", static_cast<long long>(fraction));
        std::string digits = text;
        while (digits.back() == '0') digits.pop_back();
        out += digits;
    }
    return out + " UTC";
}

std::string no_history(const std::string &name) {
    return name + " has no history: enable it with lib.enable_history() or `quorbel history enable`";
}

// One factor's history, and where the records committed after the as-of
// time begin (the records' times never go down).
struct FactorHistory {
    history::Log log;
    size_t first_after = 0;
};

FactorHistory read_history(const std::string &factor_path, const std::string &name, std::optional<int64_t> as_of,
                           history::CellsToo cells) {
    const std::string path = history::path_for(factor_path);
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) throw h5::Error(h5::ErrorKind::Value, no_history(name));
        h5::journal::format::fail("cannot open the history file " + path, errno);
    }
    FactorHistory out;
    if (cells == history::CellsToo::Yes && as_of) {
        out.log = history::read_log_cells_after(fd.get(), path, *as_of);
    } else {
        out.log = history::read_log(fd.get(), path, cells);
    }
    const auto &records = out.log.records;
    out.first_after = records.size();
    if (as_of) {
        while (out.first_after > 0 && records[out.first_after - 1].head.time_ns > *as_of) --out.first_after;
    }
    return out;
}

// Refuses a time the history cannot rebuild the columns [lo, hi) at.
void refuse_unrecorded(const FactorHistory &h, const std::string &name, int64_t as_of, uint64_t lo, uint64_t hi) {
    const int64_t began = h.log.header.began_ns;
    if (as_of < began) {
        for (const history::Record &record : h.log.records) {
            if (record.head.kind == history::kBaseline && !record.changes.empty()) {
                throw h5::Error(h5::ErrorKind::Value,
                                name + " cannot be read as of " + time_text(as_of) + ": its history began at " +
                                    time_text(began) + ", and what it held before then was not recorded");
            }
        }
    }
    std::optional<int64_t> pruned;
    for (size_t r = h.first_after; r < h.log.records.size(); ++r) {
        for (const history::ColumnChange &change : h.log.records[r].changes) {
            if (change.state == history::kCellsPruned && change.column >= lo && change.column < hi) {
                pruned = h.log.records[r].head.time_ns;
            }
        }
    }
    if (pruned) {
        throw h5::Error(h5::ErrorKind::Value, name + " cannot be read as of " + time_text(as_of) +
                                                  ": its history before " + time_text(*pruned) +
                                                  " was pruned; read it as of that time or later");
    }
}

std::optional<int64_t> cursor_as_of(const FactorHistory &h, const h5::File &file) {
    if (h.first_after < h.log.records.size()) {
        const int64_t before = h.log.records[h.first_after].head.cursor_before;
        return before < 0 ? std::nullopt : std::optional<int64_t>(before);
    }
    h5::Dataset data = factor_matrix(file);
    try {
        return data.read_int64_attribute("cursor_col");
    } catch (const h5::Error &error) {
        throw h5::Error(error.kind(), file.name() + ": " + error.what(), error.error_number());
    }
}

// Where each matrix row goes on a cube's instrument axis (a row may go to
// several places: ids asked for twice).
class Positions {
public:
    Positions(const int64_t *rows, size_t count) : next_(count, -1) {
        int64_t top = -1;
        for (size_t p = 0; p < count; ++p) top = std::max(top, rows[p]);
        dense_ = top < (int64_t(1) << 26);
        if (dense_) head_.assign(size_t(top + 1), -1);
        // Backwards, so that each chain runs in position order.
        for (size_t p = count; p-- > 0;) {
            if (rows[p] < 0) continue;
            int64_t &first = dense_ ? head_[size_t(rows[p])] : sparse_.try_emplace(rows[p], -1).first->second;
            next_[p] = first;
            first = int64_t(p);
        }
    }

    template <typename Visit>
    void each(uint32_t row, Visit visit) const {
        int64_t p = -1;
        if (dense_) {
            if (row < head_.size()) p = head_[row];
        } else {
            auto found = sparse_.find(row);
            if (found != sparse_.end()) p = found->second;
        }
        for (; p >= 0; p = next_[size_t(p)]) visit(size_t(p));
    }

private:
    bool dense_ = true;
    std::vector<int64_t> head_, next_;
    std::unordered_map<int64_t, int64_t> sparse_;
};

// The columns [first_column, first_column + width) of one factor in a cube
// (dates x instruments).
struct SlabWindow {
    double *cells;
    uint64_t first_column;
    size_t width, instruments;
};

// Undoes, newest first, every record after the as-of time on the columns
// [lo, hi) of the slab.
void undo_after(const FactorHistory &h, const SlabWindow &slab, uint64_t lo, uint64_t hi,
                const Positions &positions) {
    const auto &records = h.log.records;
    for (size_t r = records.size(); r-- > h.first_after;) {
        for (const history::ColumnChange &change : records[r].changes) {
            if (change.column < lo || change.column >= hi) continue;
            double *line = slab.cells + (change.column - slab.first_column) * slab.instruments;
            if (change.state == history::kWasEmpty) {
                std::fill(line, line + slab.instruments, kNaN);
                continue;
            }
            for (size_t k = 0; k < change.rows.size(); ++k) {
                const double old = change.old_values[k];
                positions.each(change.rows[k], [&](size_t p) { line[p] = old; });
            }
        }
    }
}

// Per column of [first_column, first_column + width), the time of the first
// record that has an entry for it, committed by `as_of` when given; NaT for
// the others.
void first_known(const history::Log &log, std::optional<int64_t> as_of, uint64_t first_column, size_t width,
                 int64_t *out) {
    std::fill(out, out + width, kNaT);
    for (const history::Record &record : log.records) {
        if (as_of && record.head.time_ns > *as_of) break;
        for (const history::ColumnChange &change : record.changes) {
            if (change.column < first_column || change.column - first_column >= width) continue;
            int64_t &known = out[change.column - first_column];
            if (known == kNaT) known = record.head.time_ns;
        }
    }
}

using RowsArgument = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CubeArgument = nb::ndarray<double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

nb::object int_array(const std::vector<int64_t> &values) {
    int64_t *out = nullptr;
    IntArray array = new_int_array(values.size(), &out);
    std::copy(values.begin(), values.end(), out);
    return nb::cast(array);
}

std::optional<int64_t> as_of_argument(nb::handle as_of) {
    if (as_of.is_none()) return std::nullopt;
    return int64_of(as_of, "as_of (nanoseconds since 1970 UTC)");
}

std::vector<std::string> names_of(nb::handle names, size_t count) {
    std::vector<std::string> out;
    for (nb::handle name : nb::iter(names)) out.push_back(nb::cast<std::string>(nb::str(name)));
    if (out.size() != count) throw nb::value_error("one name per factor file is needed");
    return out;
}

// Runs task(i) for every file on up to all cores, and raises the failure of
// the first file in order that failed, whichever thread met it first.
template <typename Task>
void for_each_file(size_t count, Task task) {
    std::vector<std::exception_ptr> failures(count);
    chunks::parallel_for(count, [&](size_t i) {
        try {
            task(i);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    });
    for (const std::exception_ptr &failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

nb::object optional_int(std::optional<int64_t> value) { return value ? nb::cast(*value) : nb::none(); }

// The files' parts of a cube just filled from them, undone back to `as_of`;
// per file (cursor_col as of then, or now without `as_of`; the first-known
// times of the cube's dates when `known`).
nb::list history_undo(nb::handle handles, nb::handle names_argument, nb::handle sections, RowsArgument rows,
                      uint64_t first_column, CubeArgument cube, size_t offset, nb::handle as_of_argument_,
                      bool known) {
    const std::vector<h5::File> files = files_of(handles);
    const std::vector<std::string> names = names_of(names_argument, files.size());
    std::vector<std::pair<uint64_t, uint64_t>> bounds;
    for (nb::handle section : nb::iter(sections)) bounds.push_back(section_bounds(section));
    if (bounds.size() != files.size()) throw nb::value_error("one section per file is needed");
    if (cube.shape(2) != rows.shape(0)) throw nb::value_error("the cube needs one column per instrument");
    if (offset > cube.shape(0) || cube.shape(0) - offset < files.size()) {
        throw nb::value_error("the cube has too few factors for these files");
    }
    const std::optional<int64_t> as_of = as_of_argument(as_of_argument_);
    const size_t width = cube.shape(1), instruments = cube.shape(2);
    std::vector<std::optional<int64_t>> cursors(files.size());
    std::vector<std::vector<int64_t>> known_times(files.size());
    {
        nb::gil_scoped_release release;
        const Positions positions(rows.data(), instruments);
        for_each_file(files.size(), [&](size_t i) {
            const FactorHistory h = read_history(files[i].name(), names[i], as_of,
                                                 as_of ? history::CellsToo::Yes : history::CellsToo::No);
            const uint64_t lo = std::max(bounds[i].first, first_column);
            const uint64_t hi = std::max(lo, std::min(bounds[i].second, first_column + width));
            if (as_of) {
                refuse_unrecorded(h, names[i], *as_of, lo, hi);
                const SlabWindow slab{cube.data() + (offset + i) * width * instruments, first_column, width,
                                      instruments};
                undo_after(h, slab, lo, hi, positions);
            }
            cursors[i] = cursor_as_of(h, files[i]);
            if (known) {
                known_times[i].resize(width);
                first_known(h.log, as_of, first_column, width, known_times[i].data());
            }
        });
    }
    nb::list out;
    for (size_t i = 0; i < files.size(); ++i) {
        out.append(nb::make_tuple(optional_int(cursors[i]), known ? int_array(known_times[i]) : nb::none()));
    }
    return out;
}

// What reads plan from the histories alone, without cells.
nb::list history_facts(nb::handle handles, nb::handle names_argument, nb::handle as_of_argument_,
                       uint64_t first_column, uint64_t end_column) {
    const std::vector<h5::File> files = files_of(handles);
    const std::vector<std::string> names = names_of(names_argument, files.size());
    const std::optional<int64_t> as_of = as_of_argument(as_of_argument_);
    const size_t width = end_column > first_column ? end_column - first_column : 0;
    struct Facts {
        int64_t began = 0;
        std::optional<int64_t> cursor;
        std::vector<int64_t> known, touched, held;
    };
    std::vector<Facts> facts(files.size());
    {
        nb::gil_scoped_release release;
        for_each_file(files.size(), [&](size_t i) {
            const FactorHistory h = read_history(files[i].name(), names[i], as_of, history::CellsToo::No);
            Facts &f = facts[i];
            f.began = h.log.header.began_ns;
            if (as_of) refuse_unrecorded(h, names[i], *as_of, 0, 0);
            f.cursor = cursor_as_of(h, files[i]);
            f.known.resize(width);
            first_known(h.log, as_of, first_column, width, f.known.data());
            for (size_t r = h.first_after; r < h.log.records.size(); ++r) {
                for (const history::ColumnChange &change : h.log.records[r].changes) {
                    f.touched.push_back(change.column);
                    if (change.state != history::kWasEmpty) f.held.push_back(change.column);
                }
            }
            for (auto *columns : {&f.touched, &f.held}) {
                std::sort(columns->begin(), columns->end());
                columns->erase(std::unique(columns->begin(), columns->end()), columns->end());
            }
        });
    }
    nb::list out;
    for (const Facts &f : facts) {
        nb::dict d;
        d["began"] = nb::cast(f.began);
        d["cursor"] = optional_int(f.cursor);
        d["known"] = int_array(f.known);
        d["touched"] = int_array(f.touched);
        d["held"] = int_array(f.held);
        out.append(d);
    }
    return out;
}

// The commits of one factor file, for `quorbel history`.
nb::dict history_log(nb::handle factor_path, nb::handle column_argument) {
    const std::string path = path_argument(factor_path);
    std::optional<int64_t> column;
    if (!column_argument.is_none()) column = int64_of(column_argument, "column");
    FactorHistory h;
    uint64_t size = 0;
    {
        nb::gil_scoped_release release;
        h = read_history(path, path, std::nullopt, column ? history::CellsToo::Yes : history::CellsToo::No);
        struct stat st;
        if (::stat(history::path_for(path).c_str(), &st) == 0) size = uint64_t(st.st_size);
    }
    nb::list records;
    for (const history::Record &record : h.log.records) {
        nb::list entries;
        for (const history::ColumnChange &change : record.changes) {
            if (column && int64_t(change.column) == *column && change.state == history::kCells) {
                std::vector<int64_t> rows(change.rows.begin(), change.rows.end());
                double *values = nullptr;
                FloatArray old = new_float_array({change.old_values.size()}, &values);
                std::copy(change.old_values.begin(), change.old_values.end(), values);
                entries.append(nb::make_tuple(change.column, change.state, change.cells, int_array(rows),
                                              nb::cast(old)));
            } else {
                entries.append(nb::make_tuple(change.column, change.state, change.cells));
            }
        }
        const history::RecordHead &head = record.head;
        nb::dict d;
        d["seq"] = nb::cast(head.seq);
        d["kind"] = nb::cast(head.kind);
        d["flags"] = nb::cast(head.flags);
        d["time"] = nb::cast(head.time_ns);
        d["cursor_before"] = optional_int(head.cursor_before < 0 ? std::nullopt : std::optional<int64_t>(head.cursor_before));
        d["cursor_after"] = optional_int(head.cursor_after < 0 ? std::nullopt : std::optional<int64_t>(head.cursor_after));
        d["entries"] = entries;
        records.append(d);
    }
    nb::dict out;
    out["path"] = nb::cast(history::path_for(path));
    out["began"] = nb::cast(h.log.header.began_ns);
    out["records"] = records;
    out["end"] = nb::cast(h.log.end);
    out["size"] = nb::cast(size);
    return out;
}

}  // namespace

void define_history_reads(nb::module_ &m) {
    using namespace nb::literals;
    m.def("_history_undo", &history_undo, "handles"_a, "names"_a, "sections"_a, "rows"_a, "first_column"_a,
          "cube"_a, "offset"_a, "as_of"_a.none(), "known"_a,
          "After _fill_cube with the same arguments: undoes, in cube[offset:offset + len(handles)], every record\n"
          "of each file's history committed after as_of (UTC ns; None undoes nothing). Per file\n"
          "(cursor_col as of then or None, the first-known times of the cube's dates as int64 ns, NaT\n"
          "where none, or None without known). ValueError naming the factor when it has no history, or\n"
          "its history cannot rebuild that time.");
    m.def("_history_facts", &history_facts, "handles"_a, "names"_a, "as_of"_a.none(), "first_column"_a,
          "end_column"_a,
          "Per factor file, from its history alone: {'began': ns, 'cursor': cursor_col as of as_of,\n"
          "'known': first-known times of columns [first_column, end_column) as of as_of, 'touched': columns\n"
          "that records after as_of changed, 'held': those of them that held values before the change}.");
    m.def("_history_log", &history_log, "path"_a, "column"_a.none() = nb::none(),
          "The history of the factor file at path: {'path', 'began', 'records', 'end', 'size'}; each record\n"
          "{'seq', 'kind', 'flags', 'time', 'cursor_before', 'cursor_after', 'entries'}, each entry\n"
          "(column, state, cells), with (rows, old values) added for the state 1 entries of `column`.");
}

}  // namespace quorbel
