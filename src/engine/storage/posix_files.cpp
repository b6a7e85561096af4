#include "posix_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

namespace quorbel::posix {
namespace {

std::string directory_prefix(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Temporaries shorten the name so that a long factor name still leaves a
// valid file name.
constexpr size_t kTemporaryNameLimit = 180;

// ".<name>." of the temporaries of `path`, without the directory.
std::string temporary_prefix(const std::string &path) {
    return hidden_sibling(path, "", kTemporaryNameLimit).substr(directory_prefix(path).size());
}

constexpr const char *kTemporarySuffix = ".tmp";
constexpr const char *kUnknownBoot = "00000000";

// Start time of a process in clock ticks since boot (field 22 of its stat
// line), 0 when it cannot be read.
unsigned long long start_time_of(const std::string &pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string line;
    if (!in || !std::getline(in, line)) return 0;
    // The command name, in parentheses, may hold blanks and parentheses.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return 0;
    const char *p = line.c_str() + close + 1;
    for (int field = 3; field < 22; ++field) {
        while (*p == ' ') ++p;
        while (*p && *p != ' ') ++p;
    }
    unsigned long long start = 0;
    return std::sscanf(p, " %llu", &start) == 1 ? start : 0;
}

// The first 8 hex digits of this boot's identifier; kUnknownBoot without /proc.
std::string boot_tag() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    if (!in || !std::getline(in, id) || id.size() < 8) return kUnknownBoot;
    id.resize(8);
    for (char c : id) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return kUnknownBoot;
    }
    return id;
}

// What a temporary's name says about the process that made it.
struct Maker {
    long pid = 0;
    unsigned long long start = 0;
    std::string boot;
};

bool parse_maker(const std::string &middle, Maker &maker) {
    long pid = 0;
    unsigned long long start = 0;
    char boot[9] = {0}, random[17] = {0};
    int used = 0;
    if (std::sscanf(middle.c_str(), "%ld-%llu-%8[0-9a-f]-%16[0-9a-f]%n", &pid, &start, boot, random, &used) != 4 ||
        static_cast<size_t>(used) != middle.size() || pid <= 0 || std::strlen(boot) != 8 ||
        std::strlen(random) != 16) {
        return false;
    }
    maker = {pid, start, boot};
    return true;
}

// Gone when the name is from an earlier boot, when no process has the pid, or
// when the process with that pid started at another time (the pid was reused).
// Whatever cannot be told counts as alive.
bool maker_is_gone(const Maker &maker, const std::string &this_boot) {
    if (maker.boot != kUnknownBoot && this_boot != kUnknownBoot && maker.boot != this_boot) return true;
    if (::kill(static_cast<pid_t>(maker.pid), 0) != 0 && errno == ESRCH) return true;
    if (maker.start == 0) return false;
    const unsigned long long now = start_time_of(std::to_string(maker.pid));
    return now != 0 && now != maker.start;
}

}  // namespace

Fd &Fd::operator=(Fd &&o) noexcept {
    if (this != &o) {
        reset();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

void Fd::reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int Fd::close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
}

std::string hidden_sibling(const std::string &path, const std::string &suffix, size_t name_limit) {
    const auto slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, name_limit);
    return directory_prefix(path) + "." + name + "." + suffix;
}

std::string link_target(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char *real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string target(real);
    std::free(real);
    return target;
}

std::string temporary_sibling(const std::string &path) {
    static std::random_device entropy;
    char middle[96];
    std::snprintf(middle, sizeof middle, "%ld-%llu-%s-%08x%08x", static_cast<long>(::getpid()),
                  start_time_of("self"), boot_tag().c_str(), static_cast<unsigned>(entropy()),
                  static_cast<unsigned>(entropy()));
    return hidden_sibling(path, middle + std::string(kTemporarySuffix), kTemporaryNameLimit);
}

void remove_dead_temporaries(const std::string &path) {
    DIR *directory = ::opendir(directory_of(path).c_str());
    if (!directory) return;
    const std::string prefix = temporary_prefix(path);
    const std::string suffix = kTemporarySuffix;
    const std::string this_boot = boot_tag();
    std::vector<std::string> dead;
    while (const dirent *entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        Maker maker;
        const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (parse_maker(middle, maker) && maker_is_gone(maker, this_boot)) dead.push_back(name);
    }
    ::closedir(directory);
    if (dead.empty()) return;
    for (const auto &name : dead) {
        const std::string temporary = directory_prefix(path) + name;
        ::unlink(journal_path(temporary).c_str());
        ::unlink(temporary.c_str());
    }
    sync_directory_of(path);
}

Fd create_empty(const std::string &path, const Owner *like) {
    // Created without any permission for others first, so that the content
    // is never readable more widely than the file it replaces.
    const mode_t initial = like ? 0600 : 0666;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, initial));
    if (!fd || !like) return fd;
    int error = 0;
    if (::fchown(fd.get(), like->uid, like->gid) != 0) {
        // Only a privileged process may give a file away; keep the group if we may.
        if (errno != EPERM || (::fchown(fd.get(), static_cast<uid_t>(-1), like->gid) != 0 && errno != EPERM)) {
            error = errno;
        }
    }
    // After the chown, which may clear set-id bits. The owner may need to
    // write a read-only file's replacement: writable_mode() then, and the
    // caller sets like->mode once the content is written.
    if (error == 0 && ::fchmod(fd.get(), writable_mode(*like)) != 0) error = errno;
    if (error != 0) {
        fd.reset();
        ::unlink(path.c_str());
        errno = error;
    }
    return fd;
}

int owner_of(const std::string &path, Owner &owner, dev_t &device, ino_t &inode) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    owner = {static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
    device = st.st_dev;
    inode = st.st_ino;
    return 0;
}

int publish_new(const std::string &from, const std::string &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: link(2) refuses an existing name
    // too. The file is published once linked; a temporary name left over if
    // the unlink fails is removed as a dead process's later.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

std::string directory_of(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int sync_directory_of(const std::string &path) {
    Fd fd(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno;
    if (::fsync(fd.get()) != 0 && errno != EINVAL) return errno;  // EINVAL: cannot be synced, nothing to do
    return 0;
}

// Reads what the file holds; bytes past its end read as zero.
bool read_all(int fd, void *data, size_t size, uint64_t offset) {
    auto *p = static_cast<unsigned char *>(data);
    while (size > 0) {
        ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            std::memset(p, 0, size);
            return true;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace quorbel::posix
