// The files the program remembers between runs, in the folder "Orvane" under the user's
// configuration folder: kv64comm2.cfg (service port, port table, default font and colours),
// kelvaro64.ali (alias names) and kelvaro64.ports (the device of each mapped serial port).
#pragma once

#include "document/LogFont.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

class AliasTable;
class PortTable;

struct RememberedState {
    std::uint16_t* servicePort;
    PortTable* ports;
    DisplayDefaults* look;
    AliasTable* aliases;
};

/// kv64comm2.cfg: a flat 746-byte record.
inline constexpr std::size_t kSettingsFileSize = 746;
std::vector<std::uint8_t> EncodeSettingsFile(const RememberedState& state);
/// Takes every field the bytes hold whole; the rest keeps what `state` already has.
void DecodeSettingsFile(const std::uint8_t* data, std::size_t size, const RememberedState& state);

/// kelvaro64.ali: format number 1, count, then (point type, address, archive string) entries.
std::vector<std::uint8_t> EncodeAliasFile(const AliasTable& aliases);
/// Entries go in through SetAlias (a repeated key keeps its first place, with the last text).
/// Reading stops at the first entry that is not whole; a count is never trusted.
void DecodeAliasFile(const std::vector<std::uint8_t>& bytes, AliasTable& aliases);

/// A settings file that could not be read or written, and why.
struct FileFailure {
    std::string path;
    std::string reason;
};

/// How a folder is made: ::mkdir, or a stand-in where a test needs a failure no real file
/// system gives on demand (a read-only one).
using MakeFolderCall = int (*)(const char* path, mode_t mode);

/// Makes `folder` and its missing parents; empty when it is there, else the system's reason
/// for the first step that failed ("Read-only file system").
std::string MakeFolders(const std::string& folder, MakeFolderCall makeFolder = ::mkdir);

class SettingsStore {
public:
    /// `folder` is the settings folder itself (…/Orvane); created when missing.
    explicit SettingsStore(std::string folder, MakeFolderCall makeFolder = ::mkdir);
    const std::string& Folder() const { return folder_; }
    const std::string& SettingsPath() const { return settingsPath_; }
    const std::string& AliasPath() const { return aliasPath_; }
    const std::string& PortsPath() const { return portsPath_; }
    /// Missing or short files leave the defaults of whatever they do not hold whole. Returns the
    /// files that are there but could not be read (a FIFO or a folder under the name, say);
    /// a missing file is no failure. Removes stale temporary files a killed save left.
    std::vector<FileFailure> Load(const RememberedState& state) const;
    /// Writes every file, each whole or not at all (WriteFileAtomically). Returns the files
    /// that could not be written, with why; the others are written regardless.
    std::vector<FileFailure> Save(const RememberedState& state) const;

private:
    std::string folder_;
    std::string settingsPath_;
    std::string aliasPath_;
    std::string portsPath_;
    MakeFolderCall makeFolder_;
};
