// Test configurations (*.tst): the open documents' files, the 32 ports with which are open, the
// Modbus/TCP server flag and the alias names.
//
//   u16  names with bit 15 set            (bit 15 clear: the names and nothing more)
//   names as archive strings
//   u16  version (1, 2, 3)
//   9 (version < 3) or 32 port entries:   u32 open flag, u8 protocol, 20-byte settings
//   u32  server flag                      (version 1 ends here)
//   u32  alias count, then per alias:     i32 point type, i32 address, archive string
#pragma once

#include "document/AliasTable.h"
#include "engine/ProtocolEngine.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CMainFrame;

inline constexpr std::uint16_t kTestConfigNamesFollowFlag = 0x8000;
inline constexpr std::uint16_t kTestConfigVersion = 3;
inline constexpr std::size_t kTestConfigPortEntrySize = 25;

struct TestConfigPort {
    std::uint32_t open = 0;
    std::uint8_t protocol = 1;
    pomrel::PortSettings settings;
};

/// A file as read: each part holds what the file had whole before it ended.
struct TestConfigFile {
    std::uint16_t header = kTestConfigNamesFollowFlag;
    std::vector<std::string> documents;
    std::optional<std::uint16_t> version;        // absent for a header without bit 15
    std::vector<TestConfigPort> ports;           // complete entries only, port 1 first
    std::optional<std::uint32_t> serverFlag;
    bool replacesAliases = false;                // version above 1 and the server flag was read
    std::vector<AliasEntry> aliases;
    bool endedEarly = false;                     // the file ended inside something it announced

    bool HasSettings() const { return (header & kTestConfigNamesFollowFlag) != 0; }
    /// Port entries the version holds: 9 before version 3, else 32.
    int PortsInFile() const { return version && *version >= 3 ? 32 : 9; }
};

/// Reads a file held in memory; never allocates by a count from the file.
TestConfigFile ParseTestConfig(const std::uint8_t* data, std::size_t size);
inline TestConfigFile ParseTestConfig(const std::vector<std::uint8_t>& bytes)
{
    return ParseTestConfig(bytes.data(), bytes.size());
}

/// The current form: header with bit 15, names, version 3, 32 ports, server flag, aliases.
std::vector<std::uint8_t> SerializeTestConfig(const std::vector<std::string>& documents,
                                              const std::vector<TestConfigPort>& ports32, bool serverOpen,
                                              const std::vector<AliasEntry>& aliases);

/// True when a file can be written at `path` (its folder takes new files and `path` is no folder).
bool CanCreateFile(const std::string& path);

/// Opens the file's documents, then (header bit 15) closes every connection, applies the ports,
/// reopens what the file marks open and replaces the aliases. "File Open Error" when the file
/// cannot be read; "Attempted to access <path> past its end." when it ends early, keeping what
/// was restored until then. False when the file could not be opened.
bool RestoreTestConfig(CMainFrame& frame, const std::string& path);
/// Reads a set-up extras file (app/SetupExtras.h) and puts it in force; a refused file is
/// reported (naming the key) and changes nothing. A set-up's own extras (`setUp`) decide the
/// network servers whole; a scenario file (--scenario, LoadScenario) without any of their keys
/// leaves them as they are. The same for the behaviour keys (generators, reactions, scripts),
/// put in force first: a point no open window serves refuses the file.
bool LoadSetupExtras(CMainFrame& frame, const std::string& path, bool setUp = false);
/// The same without a word: false with the reason (the file's name and the key) when refused.
bool ApplySetupExtrasFile(CMainFrame& frame, const std::string& path, std::string& error, bool setUp = false);
/// Save Test Config without its dialog: saves every document, then writes `path`.
bool SaveTestConfigTo(CMainFrame& frame, const std::string& path);
/// Closes every document as File Close does, asking about modified ones; false when the user
/// cancels a question (the documents not yet closed stay open).
bool CloseAllDocuments(CMainFrame& frame);
