// Settings of serial ports 1..32: a protocol byte and the 20-byte record each, and the device
// each port stands for on this machine.
#pragma once

#include "engine/ProtocolEngine.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>

/// Bits 0..6: mode (1 RTU, 0 ASCII); bit 7: Daniel/ENRON option.
inline constexpr std::uint8_t kProtocolRtu = 1;
inline constexpr std::uint8_t kProtocolEnron = 0x80;
inline constexpr std::uint8_t kProtocolModeMask = 0x7F;

struct PortEntry {
    std::uint8_t protocol = kProtocolRtu;
    pomrel::PortSettings settings;
};

/// The record as it lies in files and at the engine: 20 bytes, little-endian.
std::array<std::uint8_t, 20> PortSettingsToBytes(const pomrel::PortSettings& settings);
pomrel::PortSettings PortSettingsFromBytes(const std::uint8_t* bytes);

class PortTable {
public:
    static constexpr int kPorts = 32;
    /// Copies out the entry of `port`; false (nothing copied) unless port, as 8 bits, is 1..32.
    bool GetPortSettings(int port, std::uint8_t& protocol, pomrel::PortSettings& settings) const;
    /// Callers pass ports 1..32 only; anything else is ignored.
    void SetPortSettings(int port, std::uint8_t protocol, const pomrel::PortSettings& settings);
    /// Settings back to their defaults; the device paths stay.
    void ResetToDefaults() { entries_ = {}; }

    /// The device port n opens: its mapped path, else the platform default.
    std::string PortPath(int port) const;
    static std::string DefaultPortPath(int port);
    /// Maps a port to a device. An empty path, the default path, or a port outside 1..32 (or a
    /// path with a line break, which the ports file could not hold) removes or ignores the mapping.
    void SetPortPath(int port, const std::string& path);
    /// Ports whose path differs from the default, in port order.
    const std::map<int, std::string>& MappedPaths() const { return paths_; }
    void ClearPortPaths() { paths_.clear(); }

    /// The ports file: one "N=PATH" line per mapped port; other lines are ignored.
    void ReadPortPaths(const std::string& text);
    std::string PortPathsText() const;

private:
    std::array<PortEntry, kPorts> entries_{};
    std::map<int, std::string> paths_;
};
