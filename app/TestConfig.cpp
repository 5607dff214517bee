#include "app/TestConfig.h"

#include "connections/PortTable.h"
#include "document/Archive.h"
#include "document/FileAccess.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

TestConfigFile ParseTestConfig(const std::uint8_t* data, std::size_t size)
{
    TestConfigFile f;
    ArchiveReader in(data, size);
    auto header = in.U16();
    if (!header) {
        f.endedEarly = true;
        return f;
    }
    f.header = *header;
    const unsigned names = f.header & 0x7FFFu;
    for (unsigned i = 0; i < names; ++i) {
        auto name = in.String();
        if (!name) {
            f.endedEarly = true;
            return f;
        }
        f.documents.push_back(std::move(*name));
    }
    if (!f.HasSettings())
        return f;

    f.version = in.U16();
    if (!f.version) {
        f.endedEarly = true;
        return f;
    }
    for (int port = 1; port <= f.PortsInFile(); ++port) {
        std::uint8_t record[20];
        auto open = in.U32();
        auto protocol = in.U8();
        if (!protocol || !in.Raw(record, sizeof record)) {
            f.endedEarly = true;
            return f;
        }
        f.ports.push_back({*open, *protocol, PortSettingsFromBytes(record)});
    }
    f.serverFlag = in.U32();
    if (!f.serverFlag) {
        f.endedEarly = true;
        return f;
    }
    if (*f.version <= 1)
        return f;

    f.replacesAliases = true;
    auto count = in.I32();
    if (!count) {
        f.endedEarly = true;
        return f;
    }
    for (std::int32_t i = 0; i < *count; ++i) {
        auto type = in.I32();
        auto address = in.I32();
        auto text = address ? in.String() : std::nullopt;
        if (!text) {
            f.endedEarly = true;
            return f;
        }
        f.aliases.push_back({*type, *address, std::move(*text)});
    }
    return f;
}

std::vector<std::uint8_t> SerializeTestConfig(const std::vector<std::string>& documents,
                                              const std::vector<TestConfigPort>& ports32, bool serverOpen,
                                              const std::vector<AliasEntry>& aliases)
{
    ArchiveWriter out;
    out.U16(static_cast<std::uint16_t>(documents.size() | kTestConfigNamesFollowFlag));
    for (const auto& name : documents)
        out.String(name);
    out.U16(kTestConfigVersion);
    for (const auto& port : ports32) {
        out.U32(port.open);
        out.U8(port.protocol);
        const auto record = PortSettingsToBytes(port.settings);
        out.Raw(record.data(), record.size());
    }
    out.U32(serverOpen ? 1 : 0);
    out.I32(static_cast<std::int32_t>(aliases.size()));
    for (const auto& a : aliases) {
        out.I32(a.pointType);
        out.I32(a.address);
        out.String(a.text);
    }
    return out.Bytes();
}

bool CanCreateFile(const std::string& path)
{
    // The writer puts its new file beside the link's final target: that folder must take it.
    const std::optional<std::string> target = FinalTarget(path);
    if (!target)
        return false;
    struct stat st {};
    if (::stat(target->c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return false;
    std::string probe = *target + ".tmpXXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}
