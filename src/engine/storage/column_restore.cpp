#include "column_restore.hpp"

#include <algorithm>
#include <numeric>
#include <optional>

#include "chunk_io.hpp"
#include "date_writes.hpp"
#include "history_commits.hpp"

namespace quorbel::dates {

namespace {

// Within the caller's transaction.
void store_cursor(h5::Dataset &data, int64_t cursor) {
    if (cursor >= 0) {
        data.write_attribute(kCursor, h5::AttrValue::int64_scalar(cursor));
    } else if (data.has_attribute(kCursor)) {
        data.delete_attribute(kCursor);
    }
}

}  // namespace

void set_cursor(h5::File &file, int64_t cursor) {
    h5::Dataset data = file.open_dataset("data");
    h5::WriteTransaction transaction(file);
    store_cursor(data, cursor);
    transaction.commit();
}

void restore_columns(h5::File &file, const std::vector<uint64_t> &columns, const double *values, int64_t cursor) {
    h5::Dataset data = file.open_dataset_for_columns("data");
    h5::WriteTransaction transaction(file);
    chunks::ColumnStore store(data);
    const uint64_t rows = store.rows();
    // Column order, so that the columns of one chunk column are stored together.
    std::vector<size_t> order(columns.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return columns[a] < columns[b]; });
    uint64_t frontier = static_cast<uint64_t>(std::max<int64_t>(cursor, 0));
    if (!columns.empty()) frontier = std::max(frontier, columns[order.back()]);

    history::CommitBuilder *changes = transaction.history_changes();
    std::vector<double> before, after(rows);
    std::optional<uint64_t> staged_in;  // the chunk column holding staged columns
    for (size_t i : order) {
        const uint64_t column = columns[i];
        if (store.stages()) {
            const uint64_t chunk_column = store.chunk_column_of(column);
            if (staged_in && *staged_in != chunk_column) store.write_staged(frontier);
            staged_in = chunk_column;
        }
        after.assign(values + i * rows, values + (i + 1) * rows);
        if (changes) {
            store.read_column(column, before);
            history::record_column(*changes, column, before.data(), after);
        }
        if (store.stages()) {
            store.stage_column(column, after);
        } else {
            store.write_column(column, after, frontier);
        }
    }
    if (store.stages()) store.write_staged(frontier);
    store_cursor(data, cursor);
    transaction.commit();
}

}  // namespace quorbel::dates
