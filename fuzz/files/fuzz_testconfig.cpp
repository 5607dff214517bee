// Test configurations: the parser on the raw bytes, then what it read written again in the
// current form and parsed back, which must give the same documents, ports and aliases.
#include "app/TestConfig.h"
#include "connections/PortTable.h"
#include "fuzz/files/FuzzCheck.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const TestConfigFile f = ParseTestConfig(data, size);

    // Every name, port entry and alias stands for bytes of the file: none is made up from a count.
    const std::size_t names = f.header & 0x7FFFu;
    FUZZ_CHECK(f.documents.size() <= names);
    FUZZ_CHECK(f.documents.size() <= size);
    FUZZ_CHECK(f.ports.size() <= static_cast<std::size_t>(f.PortsInFile()));
    FUZZ_CHECK(f.ports.size() * kTestConfigPortEntrySize <= size);
    FUZZ_CHECK(f.aliases.size() * 9 <= size);
    if (size < 2)
        FUZZ_CHECK(f.endedEarly);
    if (!f.endedEarly)
        FUZZ_CHECK(f.documents.size() == names);
    if (!f.HasSettings() || (f.endedEarly && f.documents.size() < names))
        FUZZ_CHECK(!f.version && f.ports.empty() && !f.serverFlag && f.aliases.empty());
    if (f.ports.size() < static_cast<std::size_t>(f.PortsInFile()))
        FUZZ_CHECK(!f.serverFlag);
    if (f.replacesAliases)
        FUZZ_CHECK(f.version && *f.version > 1 && f.serverFlag);
    else
        FUZZ_CHECK(f.aliases.empty());
    if (f.endedEarly || !f.HasSettings() || !f.version)
        return 0;

    // A whole file, of any version, saved again as version 3 (missing ports at their defaults).
    std::vector<TestConfigPort> ports32(32);
    for (std::size_t i = 0; i < f.ports.size(); ++i)
        ports32[i] = f.ports[i];
    const bool server = f.serverFlag && *f.serverFlag != 0;
    const auto bytes = SerializeTestConfig(f.documents, ports32, server, f.aliases);
    const TestConfigFile g = ParseTestConfig(bytes);
    FUZZ_CHECK(!g.endedEarly);
    FUZZ_CHECK(g.HasSettings() && g.version && *g.version == kTestConfigVersion);
    FUZZ_CHECK(g.documents == f.documents);
    FUZZ_CHECK(g.ports.size() == 32);
    for (std::size_t i = 0; i < 32; ++i) {
        FUZZ_CHECK(g.ports[i].open == ports32[i].open && g.ports[i].protocol == ports32[i].protocol);
        FUZZ_CHECK(PortSettingsToBytes(g.ports[i].settings) == PortSettingsToBytes(ports32[i].settings));
    }
    FUZZ_CHECK(g.serverFlag && (*g.serverFlag != 0) == server);
    FUZZ_CHECK(g.replacesAliases);
    FUZZ_CHECK(g.aliases.size() == f.aliases.size());
    for (std::size_t i = 0; i < f.aliases.size(); ++i)
        FUZZ_CHECK(g.aliases[i].pointType == f.aliases[i].pointType && g.aliases[i].address == f.aliases[i].address &&
                   g.aliases[i].text == f.aliases[i].text);
    return 0;
}
