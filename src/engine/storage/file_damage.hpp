// Telling a damaged factor file from a busy one. An open that fails is
// retried, since another process may be writing the file; but a file with no
// HDF5 signature, or whose superblock names more bytes than the file holds,
// stays so however long one waits. Only asked once an open has failed.
#pragma once

#include <optional>
#include <string>

#include "error.hpp"

namespace quorbel::h5 {

// Why the file at `path` can never open as it stands, from its own bytes;
// nullopt when it looks whole (or cannot be read at all: that is the open's
// own error to report).
std::optional<std::string> file_damage(const std::string &path);

// An open that failed on a damaged file: OSError with errno EIO, naming the
// file. Retrying it cannot help.
class DamagedFile : public Error {
public:
    DamagedFile(const std::string &path, const std::string &reason, const std::string &open_error);
    const std::string &path() const noexcept { return path_; }

private:
    std::string path_;
};

// Throws DamagedFile for `path` when file_damage finds it damaged; returns
// otherwise, leaving the caller to report `open_error` as it is.
void refuse_damaged(const std::string &path, const std::string &open_error);

}  // namespace quorbel::h5
