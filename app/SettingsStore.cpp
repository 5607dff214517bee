#include "app/SettingsStore.h"

#include "document/AliasTable.h"
#include "connections/PortTable.h"
#include "document/Archive.h"
#include "document/FileAccess.h"
#include "document/ByteOrder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace {

// kv64comm2.cfg:
//   0    2   service port
//   2    21  × 32: protocol byte, then the 20-byte PortSettings of port n
//   674  60  default font (LOGFONTA)
//   734  4   foreground, 738 background, 742 third colour (0x00BBGGRR)
constexpr std::size_t kPortsAt = 2;
constexpr std::size_t kPortEntrySize = 21;
constexpr std::size_t kFontAt = kPortsAt + kPortEntrySize * PortTable::kPorts;
constexpr std::size_t kColoursAt = kFontAt + 60;
static_assert(kColoursAt + 12 == kSettingsFileSize);

// The ports file is a few dozen short lines; anything far larger is not ours.
constexpr std::size_t kPortsFileLimit = 64 * 1024;

// The face name ends at its first zero; what follows is ignored, and a name filling all 32
// bytes is cut to 31 so that it is always terminated.
void TidyFaceName(LogFont& font)
{
    char* end = static_cast<char*>(std::memchr(font.faceName, 0, sizeof font.faceName));
    if (!end)
        end = &font.faceName[sizeof font.faceName - 1];
    std::memset(end, 0, static_cast<std::size_t>(font.faceName + sizeof font.faceName - end));
}


// A save killed between naming its temporary file and the rename leaves it behind; one this old
// belongs to no save still running.
constexpr long kStaleTemporarySeconds = 60;

} // namespace

std::string MakeFolders(const std::string& folder, MakeFolderCall makeFolder)
{
    // Each step of the path in turn, so that the reason is the one of the step that failed
    // (a read-only file system), not of a file later missing its folder.
    for (std::size_t end = 1; end <= folder.size(); ++end) {
        if (end < folder.size() && folder[end] != '/')
            continue;
        if (folder[end - 1] == '/')
            continue;
        const std::string step = folder.substr(0, end);
        if (makeFolder(step.c_str(), 0777) == 0)
            continue;
        const int why = errno;
        struct stat st {};
        if (why == EEXIST && ::stat(step.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                continue;
            return std::strerror(ENOTDIR);
        }
        return std::strerror(why);
    }
    return {};
}

std::vector<std::uint8_t> EncodeSettingsFile(const RememberedState& state)
{
    std::vector<std::uint8_t> b(kSettingsFileSize, 0);
    b[0] = static_cast<std::uint8_t>(*state.servicePort);
    b[1] = static_cast<std::uint8_t>(*state.servicePort >> 8);
    for (int port = 1; port <= PortTable::kPorts; ++port) {
        std::uint8_t protocol = kProtocolRtu;
        pomrel::PortSettings settings;
        state.ports->GetPortSettings(port, protocol, settings);
        std::uint8_t* entry = &b[kPortsAt + kPortEntrySize * static_cast<std::size_t>(port - 1)];
        entry[0] = protocol;
        const auto record = PortSettingsToBytes(settings);
        std::memcpy(entry + 1, record.data(), record.size());
    }
    const auto font = LogFontToBytes(state.look->font);
    std::memcpy(&b[kFontAt], font.data(), font.size());
    PutU32LE(&b[kColoursAt], state.look->foreground);
    PutU32LE(&b[kColoursAt + 4], state.look->background);
    PutU32LE(&b[kColoursAt + 8], state.look->third);
    return b;
}

void DecodeSettingsFile(const std::uint8_t* data, std::size_t size, const RememberedState& state)
{
    auto holds = [size](std::size_t at, std::size_t n) { return at + n <= size; };
    if (holds(0, 2))
        *state.servicePort = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    for (int port = 1; port <= PortTable::kPorts; ++port) {
        const std::size_t at = kPortsAt + kPortEntrySize * static_cast<std::size_t>(port - 1);
        if (!holds(at, 1))
            break;
        std::uint8_t protocol = kProtocolRtu;
        pomrel::PortSettings settings;
        state.ports->GetPortSettings(port, protocol, settings);
        protocol = data[at];
        if (holds(at + 1, 20))
            settings = PortSettingsFromBytes(data + at + 1);
        state.ports->SetPortSettings(port, protocol, settings);
    }
    if (holds(kFontAt, 60)) {
        state.look->font = LogFontFromBytes(data + kFontAt);
        TidyFaceName(state.look->font);
    }
    Colour* colours[] = {&state.look->foreground, &state.look->background, &state.look->third};
    for (std::size_t i = 0; i < 3; ++i)
        if (holds(kColoursAt + 4 * i, 4))
            *colours[i] = GetU32LE(data + kColoursAt + 4 * i);
}

std::vector<std::uint8_t> EncodeAliasFile(const AliasTable& aliases)
{
    ArchiveWriter w;
    w.I32(1);
    w.I32(static_cast<std::int32_t>(aliases.Entries().size()));
    for (const auto& e : aliases.Entries()) {
        w.I32(e.pointType);
        w.I32(e.address);
        w.String(e.text);
    }
    return w.Bytes();
}

void DecodeAliasFile(const std::vector<std::uint8_t>& bytes, AliasTable& aliases)
{
    ArchiveReader r(bytes);
    r.I32();   // format number, ignored
    const auto count = r.I32();
    if (!count)
        return;
    // Each entry must be read whole before it counts; the first short one ends the file, so a
    // count larger than the file holds costs nothing.
    for (std::int32_t i = 0; i < *count; ++i) {
        const auto pointType = r.I32();
        const auto address = r.I32();
        const auto text = r.String();
        if (!pointType || !address || !text)
            return;
        aliases.SetAlias(*pointType, *address, *text);
    }
}

SettingsStore::SettingsStore(std::string folder, MakeFolderCall makeFolder)
    : folder_(std::move(folder)), settingsPath_(folder_ + "/kv64comm2.cfg"), aliasPath_(folder_ + "/kelvaro64.ali"),
      portsPath_(folder_ + "/kelvaro64.ports"), makeFolder_(makeFolder)
{
}

std::vector<FileFailure> SettingsStore::Load(const RememberedState& state) const
{
    // A folder that cannot be made leaves the defaults; the files are simply not there.
    MakeFolders(folder_, makeFolder_);
    RemoveStaleTemporaries(folder_, {"kv64comm2.cfg", "kelvaro64.ali", "kelvaro64.ports"}, kStaleTemporarySeconds);
    std::vector<FileFailure> failures;
    auto read = [&failures](const std::string& path, auto&& readFile) {
        std::string why;
        auto bytes = readFile(path, &why);
        struct stat st {};
        if (!bytes && ::stat(path.c_str(), &st) == 0)   // there, but not readable as a file
            failures.push_back({path, why});
        return bytes;
    };
    // Only the first 746 bytes matter; a longer file costs no more than that.
    if (auto bytes = read(settingsPath_, [](const std::string& p, std::string* why) {
            return ReadFileHead(p, kSettingsFileSize, why);
        }))
        DecodeSettingsFile(bytes->data(), bytes->size(), state);
    if (auto bytes = read(aliasPath_, [](const std::string& p, std::string* why) {
            return ReadWholeFile(p, 64u << 20, why);
        }))
        DecodeAliasFile(*bytes, *state.aliases);
    if (auto bytes = read(portsPath_, [](const std::string& p, std::string* why) {
            return ReadWholeFile(p, kPortsFileLimit, why);
        }))
        state.ports->ReadPortPaths(std::string(bytes->begin(), bytes->end()));
    return failures;
}

std::vector<FileFailure> SettingsStore::Save(const RememberedState& state) const
{
    // Every file fails for the folder's reason when the folder cannot be made.
    const std::string folderWhy = MakeFolders(folder_, makeFolder_);
    std::vector<FileFailure> failures;
    auto write = [&failures, &folderWhy, this](const std::string& path, const std::vector<std::uint8_t>& bytes) {
        std::string why;
        if (!folderWhy.empty())
            failures.push_back({path, folderWhy + " (cannot create the folder " + folder_ + ")"});
        else if (!WriteFileAtomically(path, bytes, &why))
            failures.push_back({path, why});
    };
    write(settingsPath_, EncodeSettingsFile(state));
    write(aliasPath_, EncodeAliasFile(*state.aliases));
    const std::string ports = state.ports->PortPathsText();
    write(portsPath_, std::vector<std::uint8_t>(ports.begin(), ports.end()));
    return failures;
}
