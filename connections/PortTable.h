// Settings of serial ports 1..32: a protocol byte and the 20-byte record each.
#pragma once

#include "engine/ProtocolEngine.h"

#include <array>
#include <cstdint>

/// Bits 0..6: mode (1 RTU, 0 ASCII); bit 7: Daniel/ENRON option.
inline constexpr std::uint8_t kProtocolRtu = 1;
inline constexpr std::uint8_t kProtocolEnron = 0x80;

struct PortEntry {
    std::uint8_t protocol = kProtocolRtu;
    pomrel::PortSettings settings;
};

class PortTable {
public:
    static constexpr int kPorts = 32;
    /// Copies out the entry of `port`; false (nothing copied) unless port, as 8 bits, is 1..32.
    bool GetPortSettings(int port, std::uint8_t& protocol, pomrel::PortSettings& settings) const;
    /// Callers pass ports 1..32 only.
    void SetPortSettings(int port, std::uint8_t protocol, const pomrel::PortSettings& settings);
    void ResetToDefaults() { entries_ = {}; }

private:
    std::array<PortEntry, kPorts> entries_{};
};
