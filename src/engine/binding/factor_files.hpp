// What creation (factor_files.cpp) and rewriting (file_maintenance.cpp)
// share: a new factor file built aside under a hidden name, and the request
// through which a rewrite has creation build one for it unpublished.
#pragma once

#include <unistd.h>

#include <optional>
#include <string>

#include "detail.hpp"
#include "storage/posix_files.hpp"

namespace quorbel {

// The errno of a system call's result: 0 when it succeeded.
int errno_of(int result);
// A failed system call on the file at `path`, as an OSError-kind error.
h5::Error system_error(const std::string &what, const std::string &path, int error);

// A new factor file being built under a hidden temporary name beside its
// path; nobody else knows the name, so nobody sees the file half-made.
struct AsideFile {
    h5::File file;
    std::string temporary;
    posix::Fd fd;  // the same file: syncs it without a lookup by name

    // Drops the file and its name; for a failure before it is published.
    void discard() noexcept {
        file.close_discarding();
        fd.reset();
        ::unlink(temporary.c_str());
    }
};

// What a rewrite asks of the creation that it calls through the module: build
// the new file aside, with the old file's owner and permission bits, and hand
// it over unpublished; the rewrite publishes it over the old one.
struct AsideRequest {
    std::string path;
    posix::Owner like;
    bool taken = false;
    std::optional<AsideFile> built;
};

// Offers the request to the creation called within its lifetime, on this
// thread only.
class PendingAside {
public:
    explicit PendingAside(AsideRequest &request);
    PendingAside(const PendingAside &) = delete;
    PendingAside &operator=(const PendingAside &) = delete;
    ~PendingAside();

private:
    PyObject *state_;  // borrowed: lives as long as the thread
    nb::object previous_;
};

}  // namespace quorbel
