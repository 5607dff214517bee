// Reading and writing whole files: what documents, settings, set-ups and captures all use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

/// The file `path` names once symbolic links are followed (it need not exist yet); none when a
/// link cannot be read or the links go round in a circle.
std::optional<std::string> FinalTarget(std::string path, std::string* why = nullptr);

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
