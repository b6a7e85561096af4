#include "history_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "chunk_io.hpp"
#include "history_commits.hpp"
#include "history_log.hpp"
#include "journal_format.hpp"
#include "posix_files.hpp"

namespace quorbel::history {

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path, int error) {
    h5::journal::format::fail(what + " '" + path + "'", error);
}

void require_writable(const h5::File &file, const char *what) {
    if (!file.writable()) {
        throw h5::Error(h5::ErrorKind::Value, std::string("cannot ") + what + " of " + file.name() +
                                                  ": the handle is open for reading only; open it for writing");
    }
}

int64_t cursor_of(const h5::Dataset &data) {
    try {
        return data.read_int64_attribute("cursor_col").value_or(-1);
    } catch (const h5::Error &) {
        return -1;  // not an integer: no writer here leaves that
    }
}

// Writes `bytes` as the history at `path`, beside the factor file at
// `data_path` and readable by whoever may read that file. `replace`: over
// the history there; otherwise only where none is (false when one is).
bool publish(const std::string &path, const std::string &data_path, const std::vector<unsigned char> &bytes,
             bool replace) {
    posix::Owner owner;
    dev_t device;
    ino_t inode;
    if (const int error = posix::owner_of(posix::link_target(data_path), owner, device, inode)) {
        fail("unable to examine the factor file of the history", path, error);
    }
    const std::string temporary = posix::temporary_sibling(path);
    posix::Fd created = posix::create_empty(temporary, &owner);
    if (!created) fail("unable to create the history file", temporary, errno);
    created.reset();
    auto give_up = [&](const char *what, int error) {
        ::unlink(temporary.c_str());
        fail(what, path, error);
    };
    posix::Fd fd(::open(temporary.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) give_up("unable to write the history file", errno);
    if (!h5::journal::format::write_all(fd.get(), bytes.data(), bytes.size(), 0)) {
        give_up("unable to write the history file", errno);
    }
    if (owner.mode != posix::writable_mode(owner) && ::fchmod(fd.get(), owner.mode) != 0) {
        give_up("unable to set the permissions of the history file", errno);
    }
    if (::fsync(fd.get()) != 0) give_up("unable to sync the history file", errno);
    if (const int error = fd.close()) give_up("unable to write the history file", error);
    if (replace) {
        if (::rename(temporary.c_str(), path.c_str()) != 0) give_up("unable to replace the history file", errno);
    } else if (const int error = posix::publish_new(temporary, path)) {
        ::unlink(temporary.c_str());
        if (error == EEXIST) return false;
        fail("unable to publish the history file", path, error);
    }
    if (const int error = posix::sync_directory_of(path)) {
        fail("wrote the history file but unable to sync its directory", path, error);
    }
    return true;
}

template <typename T>
void append_bytes(std::vector<unsigned char> &out, const T &value) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

}  // namespace

bool enable(h5::File &file) {
    require_writable(file, "enable the history");
    h5::ChangeScope alone(file);
    const std::string path = path_for(file.name());
    if (kept_for(file.name())) return false;
    posix::remove_dead_temporaries(path);

    h5::Dataset data = file.open_dataset_for_columns("data");
    const int64_t cursor = cursor_of(data);
    CommitBuilder baseline;
    {
        chunks::ColumnStore store(data);
        std::vector<double> column;
        for (uint64_t c = 0, columns = data.shape().cols; c < columns; ++c) {
            store.read_column(c, column);
            size_t filled = 0;
            for (double v : column) filled += !std::isnan(v);
            if (filled > 0) baseline.filled_column(static_cast<uint32_t>(c), static_cast<uint32_t>(filled));
        }
    }
    const int64_t began = clock_now();
    std::vector<unsigned char> bytes;
    append_bytes(bytes, make_header(began));
    const std::vector<unsigned char> record = baseline.encode(kBaseline, 1, began, cursor, cursor);
    bytes.insert(bytes.end(), record.begin(), record.end());
    return publish(path, file.name(), bytes, false);
}

uint64_t prune(h5::File &file, int64_t cutoff) {
    require_writable(file, "prune the history");
    h5::ChangeScope alone(file);
    const std::string path = path_for(file.name());
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) fail("unable to open the history file", path, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) fail("unable to examine the history file", path, errno);
    Log log = read_log(fd.get(), path, CellsToo::Yes);
    fd.reset();

    bool pruned = false;
    std::vector<unsigned char> bytes;
    append_bytes(bytes, log.header);
    for (Record &record : log.records) {
        if (record.head.time_ns < cutoff) {
            for (ColumnChange &change : record.changes) {
                if (change.state != kCells) continue;
                change.state = kCellsPruned;
                change.rows.clear();
                change.old_values.clear();
                record.head.flags |= kPruned;
                pruned = true;
            }
        }
        const std::vector<unsigned char> encoded = encode_record(record.head, record.changes);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    if (!pruned) return 0;
    publish(path, file.name(), bytes, true);
    const uint64_t before = static_cast<uint64_t>(st.st_size);
    return before > bytes.size() ? before - bytes.size() : 0;
}

}  // namespace quorbel::history

namespace quorbel::history {

std::string set_aside_orphan(const std::string &data_path) {
    const std::string history = path_for(data_path);
    struct stat st;
    if (::lstat(history.c_str(), &st) != 0) return "";
    // Named by when it was moved: a second removal and re-creation later
    // sets its own history aside beside this one.
    int error = EEXIST;
    std::string moved_to;
    for (int attempt = 0; attempt < 6 && error == EEXIST; ++attempt) {
        moved_to = history + ".set-aside-" + std::to_string(clock_now() + attempt);
        error = posix::publish_new(history, moved_to);
    }
    if (error != 0) fail("unable to move aside the history of a removed factor", history, error);
    error = posix::sync_directory_of(history);
    if (error != 0) fail("unable to sync the directory of", history, error);
    return moved_to;
}

}  // namespace quorbel::history
