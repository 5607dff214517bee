// The two files the program remembers between runs: kv64comm2.cfg (service port, port table,
// default font and colours) and kelvaro64.ali (alias names), in the folder "Orvane" under the
// user's configuration folder.
#pragma once

#include "document/LogFont.h"

#include <cstdint>
#include <string>

class AliasTable;
class PortTable;

struct RememberedState {
    std::uint16_t* servicePort;
    PortTable* ports;
    DisplayDefaults* look;
    AliasTable* aliases;
};

class SettingsStore {
public:
    /// `folder` is the settings folder itself (…/Orvane); created when missing.
    explicit SettingsStore(std::string folder);
    const std::string& SettingsPath() const { return settingsPath_; }
    const std::string& AliasPath() const { return aliasPath_; }
    /// Missing or short files leave the defaults of whatever they do not hold whole.
    void Load(const RememberedState& state) const;
    /// Writes both files (temporary file, then rename); failures are silent.
    void Save(const RememberedState& state) const;

private:
    std::string folder_;
    std::string settingsPath_;
    std::string aliasPath_;
};
