// Opening files without ever waiting on them: a FIFO, a device or a folder given where a file is
// expected must not hold up start-up, the user interface or the automation port in open().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pomrel {

/// The whole of `path` when it is a regular file of at most `limit` bytes; none otherwise, with
/// the reason in `why` ("No such file or directory", "not a regular file", ...).
std::optional<std::vector<std::uint8_t>> ReadRegularFileBytes(const std::string& path, std::size_t limit,
                                                              std::string& why);

/// Opens `path` for writing from its start: a regular file (created or emptied), a FIFO that a
/// reader has open or a character device, which are then streamed to. A FIFO without a reader,
/// a folder or a block device fails at once with the reason in `why`.
std::FILE* OpenOutputFile(const std::string& path, std::string& why);

} // namespace pomrel
