// The ports file (kelvaro64.ports): "N=PATH" lines read into a port table as Load does, then the
// text the table writes read into a fresh table, which must map the same ports to the same paths.
#include "connections/PortTable.h"
#include "fuzz/files/FuzzCheck.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Load refuses a ports file above 64 KiB before it gets here.
    if (size > 64 * 1024)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    PortTable table;
    table.ReadPortPaths(text);

    for (const auto& [port, path] : table.MappedPaths()) {
        FUZZ_CHECK(port >= 1 && port <= PortTable::kPorts);
        FUZZ_CHECK(!path.empty() && path != PortTable::DefaultPortPath(port));
        // A path the ports file could not hold again must never be kept.
        FUZZ_CHECK(path.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        FUZZ_CHECK(path.front() != ' ' && path.front() != '\t' && path.back() != ' ' && path.back() != '\t');
        FUZZ_CHECK(table.PortPath(port) == path);
        FUZZ_CHECK(path.size() <= size);
    }

    const std::string written = table.PortPathsText();
    PortTable again;
    again.ReadPortPaths(written);
    FUZZ_CHECK(again.MappedPaths() == table.MappedPaths());
    FUZZ_CHECK(again.PortPathsText() == written);
    return 0;
}
