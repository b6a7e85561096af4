#include "file_damage.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "posix_files.hpp"

namespace quorbel::h5 {
namespace {

constexpr unsigned char kSignature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

uint64_t little_endian(const unsigned char *p, unsigned size) {
    uint64_t value = 0;
    for (unsigned i = size; i-- > 0;) value = value << 8 | p[i];
    return value;
}

}  // namespace

std::optional<std::string> file_damage(const std::string &path) {
    const posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const uint64_t size = uint64_t(st.st_size);
    // HDF5 looks for its signature at 0 and at every power of two from 512
    // on, where a user block may have pushed the superblock.
    unsigned char head[64];
    for (uint64_t at = 0; at + sizeof kSignature <= size; at = at == 0 ? 512 : at * 2) {
        const size_t wanted = size_t(std::min<uint64_t>(sizeof head, size - at));
        if (!posix::read_all(fd.get(), head, wanted, at)) return std::nullopt;
        if (std::memcmp(head, kSignature, sizeof kSignature) != 0) continue;
        if (wanted < 16) return "its superblock is cut short";
        const unsigned version = head[8];
        // Where the sizes of addresses and the end-of-file address lie, by
        // superblock version.
        unsigned offsets_size = 0, eof_at = 0;
        if (version <= 1) {
            offsets_size = head[13];
            eof_at = (version == 0 ? 24 : 28) + 2 * offsets_size;
        } else if (version <= 3) {
            offsets_size = head[9];
            eof_at = 12 + 2 * offsets_size;
        } else {
            return std::nullopt;  // a version this check does not know: the open's error says it all
        }
        if (offsets_size != 2 && offsets_size != 4 && offsets_size != 8) return std::nullopt;
        const unsigned base_at = eof_at - 2 * offsets_size;
        if (eof_at + offsets_size > wanted) return "its superblock is cut short";
        const uint64_t base = little_endian(head + base_at, offsets_size);
        const uint64_t stored_eof = little_endian(head + eof_at, offsets_size);
        if (base <= size && size - base < stored_eof) {
            return "it is cut short: " + std::to_string(size) + " bytes where its superblock records " +
                   std::to_string(base + stored_eof);
        }
        return std::nullopt;
    }
    return std::string(size == 0 ? "it is empty" : "it holds no HDF5 signature");
}

DamagedFile::DamagedFile(const std::string &path, const std::string &reason, const std::string &open_error)
    : Error(ErrorKind::OS,
            open_error + ": the factor file is damaged (" + reason + "); waiting cannot mend it. Restore it from "
                "a backup, or remove it and write the factor again",
            EIO),
      path_(path) {}

void refuse_damaged(const std::string &path, const std::string &open_error) {
    if (auto reason = file_damage(path)) throw DamagedFile(path, *reason, open_error);
}

}  // namespace quorbel::h5
