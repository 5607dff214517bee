// New-document defaults from Kelvaro32.ini beside the executable or in the installed share
// folder (read only, never written).
#pragma once

#include <cstdint>
#include <string>

/// Integer of `key` in `section` of an ini file, read the way Windows' profile API reads it:
/// names match in any case, the value is trimmed, a leading sign and 0x / 0o / 0b prefixes
/// are understood, parsing stops at the first character that is not a digit, and a missing
/// file, section, key or an empty value gives `fallback`. The result wraps to 32 bits.
std::uint32_t ReadProfileInt(const std::string& iniPath, const std::string& section,
                             const std::string& key, std::int32_t fallback);

/// "Kelvaro32.ini" in the folder of the executable; when there is none there but the installed
/// share folder (bin/../share/kelvaro64) has one, that one.
std::string IniPathBesideExecutable(const std::string& executablePath);

/// The block a new document starts with.
struct BlockDefaults {
    std::uint8_t pointType = 3;
    std::uint8_t deviceId = 1;
    std::uint16_t startAddress = 1;   // 0 stands for 65536
    std::uint16_t length = 1000;
};

/// Reads section "Default" and cuts each value to its field's width.
BlockDefaults ReadBlockDefaults(const std::string& iniPath);

/// Brings a block definition from outside (ini or document file) into range field by field:
/// a field that is itself invalid (no point type, device 0, a length of 0 or above 1000) takes
/// the built-in default; a block that would run past address 65536 keeps its start and is
/// shortened to end there.
BlockDefaults SanitizeBlock(BlockDefaults block);
