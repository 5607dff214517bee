// The little-endian archive encoding shared by document files, the alias file and test
// configurations. The reader never trusts a length: every read is checked against what is
// left, and the first short read puts the reader into a failed state for good.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ArchiveWriter {
public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void U64(std::uint64_t v);
    void F32(float v);
    void Raw(const void* data, std::size_t size);
    /// Byte form only: 1-byte length below 255, then 0xFF + 16-bit, 0xFFFF + 32-bit, + 64-bit.
    void String(const std::string& text);
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

class ArchiveReader {
public:
    ArchiveReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit ArchiveReader(const std::vector<std::uint8_t>& bytes) : ArchiveReader(bytes.data(), bytes.size()) {}

    bool Ok() const { return ok_; }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return ok_ ? size_ - pos_ : 0; }

    std::optional<std::uint8_t> U8();
    std::optional<std::uint16_t> U16();
    std::optional<std::uint32_t> U32();
    std::optional<std::int32_t> I32();
    std::optional<std::uint64_t> U64();
    std::optional<float> F32();
    /// Copies `size` bytes or fails without copying.
    bool Raw(void* out, std::size_t size);
    /// Byte form and wide (UTF-16) form; the wide form through Windows-1252
    /// (AnsiText), a character without a byte there as '?'.
    std::optional<std::string> String();

private:
    bool Take(std::size_t n);
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// Every file the program reads goes through these: a name that is not a regular file (a FIFO,
// a device, a folder) is refused with a reason instead of blocking start-up or reading for ever.
// `why`, when given, receives the reason of a failure ("No such file or directory",
// "not a regular file", "the file is read-only", ...).

/// Opens `path` for reading when it is a regular file, never waiting on it; -1 otherwise.
int OpenRegularFile(const std::string& path, std::string* why = nullptr);

/// Whole file into memory, at most `limit` bytes (larger files are refused).
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, std::size_t limit = 64u << 20,
                                                       std::string* why = nullptr);
/// The first `size` bytes of a file (fewer when it is shorter); the rest is never read.
std::optional<std::vector<std::uint8_t>> ReadFileHead(const std::string& path, std::size_t size,
                                                      std::string* why = nullptr);

/// Replaces `path` whole or not at all: the bytes go to an unnamed file in the folder of the
/// file (a symbolic link is followed to the file it names and stays a link), which takes the old
/// file's mode and, where permitted, its owner, reaches the disk, and is then renamed over it.
/// A read-only file, a folder that takes no new files or any failure leaves every file as it
/// was and returns false.
bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* why = nullptr);

/// Removes "<name>.tmpXXXXXX" files of ours in `folder`, for each of `names`, that are at least
/// `olderThanSeconds` old: what a save killed on a file system without unnamed files left.
/// Returns how many were removed.
int RemoveStaleTemporaries(const std::string& folder, const std::vector<std::string>& names, long olderThanSeconds);
