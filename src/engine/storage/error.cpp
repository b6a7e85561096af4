#include "error.hpp"

#include <hdf5.h>

#include <cctype>
#include <map>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

namespace quorbel::h5 {
namespace {

std::recursive_mutex &library_mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

bool threadsafe() {
    static const bool value = library_is_threadsafe();
    return value;
}

// The driver's own error class, with one minor message per system error
// number met so far: the number is read back from the entry's minor code.
struct DriverErrors {
    std::mutex mutex;
    hid_t cls = H5I_INVALID_HID;
    std::map<int, hid_t> minor_of;   // errno -> message id
    std::map<hid_t, int> number_of;  // message id -> errno
};

DriverErrors &driver_errors() {
    static DriverErrors errors;
    return errors;
}

// The class and message id for `error_number`, registered on first use;
// nullopt when the library refuses.
std::optional<std::pair<hid_t, hid_t>> errno_minor(int error_number) {
    DriverErrors &e = driver_errors();
    std::lock_guard<std::mutex> lock(e.mutex);
    if (auto found = e.minor_of.find(error_number); found != e.minor_of.end()) {
        return std::make_pair(e.cls, found->second);
    }
    if (e.cls < 0) e.cls = H5Eregister_class("quorbel file driver", "quorbel", "1");
    if (e.cls < 0) return std::nullopt;
    const std::string text = "system error " + std::to_string(error_number);
    const hid_t minor = H5Ecreate_msg(e.cls, H5E_MINOR, text.c_str());
    if (minor < 0) return std::nullopt;
    e.minor_of.emplace(error_number, minor);
    e.number_of.emplace(minor, error_number);
    return std::make_pair(e.cls, minor);
}

int errno_of_minor(hid_t minor) {
    DriverErrors &e = driver_errors();
    std::lock_guard<std::mutex> lock(e.mutex);
    auto found = e.number_of.find(minor);
    return found == e.number_of.end() ? 0 : found->second;
}

struct StackEntry {
    std::string description;
    int error_number = 0;
};

herr_t collect_entry(unsigned, const H5E_error2_t *entry, void *data) {
    auto *out = static_cast<std::vector<StackEntry> *>(data);
    out->push_back({entry->desc ? entry->desc : "", errno_of_minor(entry->min_num)});
    return 0;
}

std::string capitalised(std::string text) {
    for (auto &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

bool library_is_threadsafe() {
    hbool_t safe = 0;
    H5is_library_threadsafe(&safe);
    return safe != 0;
}

LibraryGuard::LibraryGuard() {
    if (!threadsafe()) lock_ = std::unique_lock<std::recursive_mutex>(library_mutex());
    thread_local bool quiet = false;
    if (!quiet) {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        quiet = true;
    }
}

// The innermost entry is the one that names the system error number.
void raise_from_stack(const std::string &fallback, ErrorKind kind) {
    std::vector<StackEntry> entries;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_entry, &entries);
    H5Eclear2(H5E_DEFAULT);
    if (entries.empty()) throw Error(kind, fallback);
    std::string message = capitalised(entries.front().description);
    if (entries.size() > 1) message += " (" + entries.back().description + ")";
    int number = 0;
    for (const auto &e : entries) {
        if ((number = e.error_number) != 0) break;
    }
    throw Error(kind, message, number);
}

void push_driver_error(int64_t minor, const char *function, int error_number, const char *text) {
    hid_t cls = H5E_ERR_CLS;
    if (error_number != 0) {
        if (const auto own = errno_minor(error_number)) std::tie(cls, minor) = *own;
    }
    H5Epush2(H5E_DEFAULT, __FILE__, function, __LINE__, cls, H5E_VFL, minor, "%s", text);
}

}  // namespace quorbel::h5
