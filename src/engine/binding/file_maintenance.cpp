// Rewriting a factor file as a fresh copy published over the old one, and
// removing a factor file with the undo journal that is its own.
#include <nanobind/stl/string.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "factor_files.hpp"
#include "function_docs.hpp"
#include "storage/chunk_io.hpp"
#include "storage/file_locking.hpp"
#include "storage/history_log.hpp"
#include "storage/journal.hpp"

namespace quorbel {
namespace {

// What a rewrite carries from the old file to the new one.
struct FactorCopy {
    h5::Shape2 shape;
    std::unique_ptr<double[]> cells;  // row-major, shape.rows x shape.cols
    h5::AttributeSnapshot attributes;
    std::optional<uint64_t> frontier;  // cursor_col, when it is a column
};

size_t cell_count(h5::Shape2 shape) {
    if (shape.cols != 0 && shape.rows > std::numeric_limits<size_t>::max() / sizeof(double) / shape.cols) {
        throw std::bad_alloc();
    }
    return static_cast<size_t>(shape.rows * shape.cols);
}

// The old file, kept open read-only until its replacement is published: its
// shared lock keeps writers out (readers take none), so no date written
// meanwhile is lost.
struct OldFactor {
    h5::File file;
    h5::DiskIdentity identity;
    posix::Owner owner;
    FactorCopy copy;
};

// Which file `path` names now (following a link, as opening does).
std::optional<h5::DiskIdentity> identity_at(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return h5::DiskIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The path no longer holds the file being rewritten: another process removed
// or replaced it, and its doing stands.
h5::Error path_changed(const std::string &path) {
    const bool gone = !identity_at(path) && errno == ENOENT;
    return h5::Error(h5::ErrorKind::OS,
                     "Rewriting " + path + " failed: " +
                         (gone ? std::string("the file was removed meanwhile")
                               : std::string("another file now stands at that path")) +
                         "; the new copy was dropped",
                     gone ? ENOENT : EEXIST);
}

void read_old_factor(const std::string &path, OldFactor &old) {
    old.file = h5::File::open_keeping_writers_out(path);
    old.identity = old.file.disk_identity();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw path_changed(path);
    if (!(old.identity == h5::DiskIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)})) {
        throw path_changed(path);
    }
    old.owner = {static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
    FactorCopy &copy = old.copy;
    h5::Dataset data = old.file.open_dataset("data");
    copy.shape = data.shape();
    // A chunk whose index entry is damaged would read as never written
    // and be missing, unnoticed, from the fresh copy.
    data.check_chunk_index();
    copy.cells.reset(new double[std::max<size_t>(cell_count(copy.shape), 1)]);
    chunks::read_matrix(data, copy.cells.get());
    copy.attributes = data.read_all_attributes();
    try {
        const auto cursor = data.read_int64_attribute("cursor_col");
        if (cursor && *cursor >= 0) copy.frontier = static_cast<uint64_t>(*cursor);
    } catch (const h5::Error &) {
        // A cursor_col of another kind is copied as it is; it only sizes slots.
    }
}

void fill_new_factor(h5::File &file, const FactorCopy &copy) {
    h5::Dataset data = file.open_dataset("data");
    const h5::Shape2 shape = data.shape();
    if (shape != copy.shape) {
        throw h5::Error(h5::ErrorKind::Value,
                        "The new factor file's matrix has shape (" + std::to_string(shape.rows) + ", " +
                            std::to_string(shape.cols) + "), not the old one's (" + std::to_string(copy.shape.rows) +
                            ", " + std::to_string(copy.shape.cols) + ")");
    }
    chunks::write_matrix(data, copy.cells.get(), copy.frontier);
    data.write_all_attributes(copy.attributes);
    // Chunks still cached would be written by the dataset's close, which
    // cannot report a failure: write them now, while one can be seen.
    file.flush();
}

// Completes the new file and puts it over the old one. Until the rename the
// path holds the whole old file; after it, the whole new one.
void publish_rewritten(const std::string &path, OldFactor &old, AsideFile &aside) {
    aside.file.close_checked();
    const posix::Owner &owner = old.owner;
    if (owner.mode != posix::writable_mode(owner)) {
        const int error = errno_of(::fchmod(aside.fd.get(), owner.mode));
        if (error != 0) throw system_error("Unable to set the permissions of the new file", path, error);
    }
    const int sync_error = errno_of(::fsync(aside.fd.get()));
    if (sync_error != 0) throw system_error("Unable to sync the new file", path, sync_error);
    // Only a removal or replacement by name gets past the old file's lock; a
    // rename would undo it.
    const auto present = identity_at(path);
    if (!present || !(*present == old.identity)) throw path_changed(path);
    const int rename_error = errno_of(::rename(aside.temporary.c_str(), path.c_str()));
    if (rename_error != 0) throw system_error("Unable to replace the file", path, rename_error);
    const int error = posix::sync_directory_of(path);
    if (error != 0) throw system_error("Replaced the file but unable to sync its directory", path, error);
}

}  // namespace

void rewrite_factor_file(nb::handle given_path) {
    // Through a symbolic link, the file it reaches is rewritten and the link
    // stays: replacing the link by a copy would leave the two names on two
    // files, one of them no longer written.
    const std::string file_path = posix::link_target(path_argument(given_path));
    use_file_locking_setting();
    log_info("rewrite factor, %s", given_path);
    nb::str path(file_path.c_str(), file_path.size());
    OldFactor old;
    AsideRequest request;
    try {
        {
            nb::gil_scoped_release release;
            read_old_factor(file_path, old);
            posix::remove_dead_temporaries(file_path);
        }
        log_set_aside_journals();
        request.path = file_path;
        request.like = old.owner;
        nb::object handle;
        {
            PendingAside pending(request);
            handle = module_attr("create_new_factor_h5")(path, nb::make_tuple(old.copy.shape.rows, old.copy.shape.cols));
        }
        h5::File file = file_of(handle);
        nb::gil_scoped_release release;
        if (!request.built || !file.is_open() || !(file.disk_identity() == request.built->file.disk_identity())) {
            throw h5::Error(h5::ErrorKind::Value,
                            "create_new_factor_h5 did not return the file it built for " + file_path);
        }
        fill_new_factor(file, old.copy);
        publish_rewritten(file_path, old, *request.built);
        old.file.close();
    } catch (...) {
        // The old file stays at the path as it was; the copy goes.
        nb::gil_scoped_release release;
        if (request.built) request.built->discard();
        old.file.close();
        throw;
    }
    log_info("rewrite factor success, %s", given_path);
}

namespace {

// What remove_factor failed at: the errno and the path it names.
struct Removal {
    int error = 0;
    std::string failed_path;
};

// Unlinks the file, then the undo journal beside it when that journal was
// written for this very file and no live writer holds the file (a writer's
// journal is its own to delete), then its history unless kept, then syncs
// the directory. A link is removed as a link: the journal and the history
// then belong to its target, which stays.
Removal remove_file_and_own_journal(const std::string &file_path, bool keep_history) {
    struct stat named;
    const bool is_link = ::lstat(file_path.c_str(), &named) == 0 && S_ISLNK(named.st_mode);
    const posix::Fd data(::open(file_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    bool own_journal = false;
    struct stat st;
    // Without locks a live writer cannot be told from a dead one: its journal stays.
    if (data && ::fstat(data.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        h5::locking::mode() != h5::locking::Mode::Off && ::flock(data.get(), LOCK_SH | LOCK_NB) == 0) {
        own_journal = h5::journal::journal_is_own(file_path, data.get());
    }
    // The file stays open until the journal is gone, so its inode cannot be
    // taken by a new file meanwhile.
    if (::unlink(file_path.c_str()) != 0) return {errno, file_path};
    const std::string journal = h5::journal::journal_path(file_path);
    if (own_journal && ::unlink(journal.c_str()) != 0 && errno != ENOENT) return {errno, journal};
    // The history goes after the file: a removal that fails half-way never
    // leaves a factor that lost its history.
    if (!keep_history && !is_link) {
        const std::string history = history::path_for(file_path);
        if (::unlink(history.c_str()) != 0 && errno != ENOENT) return {errno, history};
    }
    if (const int error = posix::sync_directory_of(file_path)) return {error, posix::directory_of(file_path)};
    return {};
}

void remove_factor(nb::handle path, bool keep_history) {
    const std::string file_path = path_argument(path);
    use_file_locking_setting();
    Removal removal;
    {
        nb::gil_scoped_release release;
        removal = remove_file_and_own_journal(file_path, keep_history);
    }
    if (removal.error == 0) return;
    if (removal.failed_path == file_path) raise_os_error(removal.error, path);
    raise_os_error(removal.error, nb::str(removal.failed_path.c_str()));
}

}  // namespace

void define_file_maintenance(nb::module_ &m) {
    // One unnamed parameter: positional only, as the published table says. It
    // takes None too, so that path_argument can say what is wrong with it.
    m.def("rewrite_factor", &rewrite_factor_file, nb::arg().none(), nb::sig("def rewrite_factor(path: str | os.PathLike, /) -> None"),
          docs::kRewriteFactor);
    m.def("remove_factor", &remove_factor, nb::arg().none(), nb::kw_only(), nb::arg("keep_history") = false,
          nb::sig("def remove_factor(path: str | os.PathLike, /, *, keep_history: bool = False) -> None"),
          docs::kRemoveFactor);
}

}  // namespace quorbel
