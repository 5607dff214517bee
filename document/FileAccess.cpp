#include "document/FileAccess.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Reason(int error)
{
    return std::strerror(error);
}

void SetWhy(std::string* why, std::string text)
{
    if (why)
        *why = std::move(text);
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A free name "<target>.tmpXXXXXX" for the unnamed file to be linked in as.
std::string TemporaryName(const std::string& target, unsigned attempt)
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uint64_t seed = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                         static_cast<std::uint64_t>(::time(nullptr)) ^ (static_cast<std::uint64_t>(attempt) << 40) ^
                         reinterpret_cast<std::uintptr_t>(&target);
    std::string name = target + ".tmp";
    for (int k = 0; k < 6; ++k) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        name.push_back(kDigits[(seed >> 33) % (sizeof kDigits - 1)]);
    }
    return name;
}

// Gives the unnamed file `fd` the name `temp` beside `target`; false (errno set) when it cannot.
bool LinkUnnamed(int fd, const std::string& target, std::string& temp)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temp = TemporaryName(target, attempt);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

} // namespace

std::optional<std::string> FinalTarget(std::string path, std::string* why)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string link(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            SetWhy(why, n < 0 ? Reason(errno) : "symbolic link too long");
            return std::nullopt;
        }
        link.resize(static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : FolderOf(path) + "/" + link;
    }
    SetWhy(why, Reason(ELOOP));
    return std::nullopt;
}

int OpenRegularFile(const std::string& path, std::string* why)
{
    // Look before opening: opening a serial device would already raise its modem lines.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetWhy(why, Reason(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        SetWhy(why, S_ISDIR(st.st_mode) ? "is a folder, not a file" : "not a regular file");
        return -1;
    }
    // Non-blocking: should a FIFO have taken the name meanwhile, open() must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        SetWhy(why, Reason(errno));
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetWhy(why, "not a regular file");
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::vector<std::uint8_t>> ReadFileHead(const std::string& path, std::size_t size, std::string* why)
{
    const int fd = OpenRegularFile(path, why);
    if (fd < 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetWhy(why, Reason(errno));
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, std::size_t limit, std::string* why)
{
    const int fd = OpenRegularFile(path, why);
    if (fd < 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) <= limit)
        bytes.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetWhy(why, Reason(errno));
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > limit) {
            SetWhy(why, "larger than " + std::to_string(limit) + " bytes");
            ::close(fd);
            return std::nullopt;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return bytes;
}

bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* why)
{
    // A symbolic link stays a link: the file it names is the one replaced, in its own folder.
    const auto resolved = FinalTarget(path, why);
    if (!resolved)
        return false;
    const std::string& target = *resolved;
    const std::string folder = FolderOf(target);

    mode_t mode = 0644;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        if (!S_ISREG(old.st_mode)) {
            SetWhy(why, S_ISDIR(old.st_mode) ? "is a folder, not a file" : "not a regular file");
            return false;
        }
        // Renaming over a file ignores its mode; a read-only file is the user's "keep this".
        if ((old.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
            SetWhy(why, "the file is read-only");
            return false;
        }
        mode = old.st_mode & 07777;
    } else if (errno != ENOENT) {
        SetWhy(why, Reason(errno));
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        SetWhy(why, "cannot create files in " + folder + ": " + Reason(errno));
        return false;
    }

    // An unnamed file first: a save killed before the rename leaves nothing behind. Where the
    // file system has no unnamed files (or /proc is missing to name one), a named temporary file
    // (the next start removes a stale one).
    std::string temp;
    int fd = -1;
    for (const bool unnamed : {true, false}) {
        temp.clear();
        fd = unnamed ? ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
        if (!unnamed) {
            temp = target + ".tmpXXXXXX";
            fd = ::mkostemp(temp.data(), O_CLOEXEC);
            if (fd < 0) {
                SetWhy(why, "cannot create a temporary file in " + folder + ": " + Reason(errno));
                return false;
            }
        } else if (fd < 0) {
            continue;
        }
        auto fail = [&] {
            const int error = errno;
            ::close(fd);
            if (!temp.empty())
                ::unlink(temp.c_str());
            SetWhy(why, Reason(error));
            return false;
        };
        if (!WriteAll(fd, bytes))
            return fail();
        // Owner where permitted (root, or a group the user is in); the mode in any case.
        if (exists && ::fchown(fd, old.st_uid, old.st_gid) != 0 &&
            ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Not permitted: the file becomes the user's own, as any new file would.
        }
        if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
            return fail();
        if (unnamed && !LinkUnnamed(fd, target, temp)) {
            ::close(fd);
            continue;
        }
        if (std::rename(temp.c_str(), target.c_str()) != 0)
            return fail();
        break;
    }
    ::close(fd);
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

int RemoveStaleTemporaries(const std::string& folder, const std::vector<std::string>& names, long olderThanSeconds)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    const time_t now = ::time(nullptr);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        for (const std::string& own : names) {
            // Exactly "<own>.tmp" and six characters of mkstemp's alphabet.
            if (name.size() != own.size() + 10 || name.compare(0, own.size() + 4, own + ".tmp") != 0)
                continue;
            bool suffix = true;
            for (std::size_t k = own.size() + 4; k < name.size(); ++k)
                suffix = suffix && std::isalnum(static_cast<unsigned char>(name[k]));
            struct stat st {};
            const std::string full = folder + "/" + name;
            if (suffix && ::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                now - st.st_mtime >= olderThanSeconds && ::unlink(full.c_str()) == 0)
                ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}
