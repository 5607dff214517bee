#include "engine/FileBytes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pomrel {

std::optional<std::vector<std::uint8_t>> ReadRegularFileBytes(const std::string& path, std::size_t limit,
                                                              std::string& why)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        why = "larger than " + std::to_string(limit) + " bytes";
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > limit) {  // grew while being read
            why = "larger than " + std::to_string(limit) + " bytes";
            ::close(fd);
            return std::nullopt;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return bytes;
}

std::FILE* OpenOutputFile(const std::string& path, std::string& why)
{
    // O_NONBLOCK: a FIFO without a reader fails with ENXIO instead of waiting for one.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = errno == ENXIO ? std::string("a FIFO with no reader") : std::string(std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    // A character device (/dev/null, a terminal) is written as a stream too; a block device or a
    // socket is no place for a capture.
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        why = "not a file, FIFO or character device";
        ::close(fd);
        return nullptr;
    }
    // Emptied only once known to be a regular file: O_TRUNC on a device could act on it.
    if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    // From here writes wait for a slow reader like writes to a file wait for the disk.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        why = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

} // namespace pomrel
