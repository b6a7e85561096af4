// Failures of the storage side and the HDF5 library's lock and error stack.
// Every unit of storage/ reports through h5::Error; hdf5.h stays out of this
// header.
#pragma once

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

namespace quorbel::h5 {

// Which Python exception kind an HDF5 failure maps to (one table, in the
// binding's exception translator).
enum class ErrorKind { OS, Key, Value, Index };

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string &message, int error_number = 0)
        : std::runtime_error(message), kind_(kind), errno_(error_number) {}
    ErrorKind kind() const noexcept { return kind_; }
    // The system error number that the HDF5 error stack named, 0 when none.
    int error_number() const noexcept { return errno_; }

private:
    ErrorKind kind_;
    int errno_;
};

// Whether the linked HDF5 library serialises its calls by itself.
bool library_is_threadsafe();

// Held by every entry point into the HDF5 library: a serial build needs our
// lock, and the library's automatic error printing is switched off for the
// calling thread (a per-thread setting in thread-safe builds). Recursive.
class LibraryGuard {
public:
    LibraryGuard();
    LibraryGuard(const LibraryGuard &) = delete;
    LibraryGuard &operator=(const LibraryGuard &) = delete;

private:
    std::unique_lock<std::recursive_mutex> lock_;
};

// Walks the calling thread's error stack once into "Outer (innermost)",
// clears it and throws; `fallback` when the stack is empty.
[[noreturn]] void raise_from_stack(const std::string &fallback, ErrorKind kind = ErrorKind::OS);

// An HDF5 result, or the error stack thrown when it reports failure.
template <typename T>
T checked(T result, const char *what) {
    if (result < 0) raise_from_stack(what);
    return result;
}

// For the file driver: pushes `text` onto the error stack under `minor` (an
// HDF5 minor error code). A nonzero `error_number` travels with the entry
// itself, so raise_from_stack reports it without reading the text.
void push_driver_error(int64_t minor, const char *function, int error_number, const char *text);

}  // namespace quorbel::h5
