// Request handling: one request PDU (function code + data) in, one response PDU out, over the
// block table. Knows no framing: no slave address, CRC, LRC or MBAP header.
#pragma once

#include "engine/BlockTable.h"
#include "engine/FunctionCodes.h"

#include <cstddef>
#include <cstdint>

namespace pomrel {

/// A PDU is at most 253 bytes in every framing.
inline constexpr std::size_t kMaxPdu = 253;

/// Which blocks a request may reach, decided by the framing from the unit id.
struct Addressing {
    enum class Kind : std::uint8_t {
        Device,     // blocks of one device id
        AnyDevice,  // Modbus/TCP unit 0 or 255: whichever block holds the address
        Broadcast,  // serial id 0: writes reach every block (or one device's), nothing is answered
        Absent,     // a unit id the link does not serve: no block, as a device no document holds
    };
    Kind kind = Kind::Device;
    std::uint8_t unit = 0;
    bool oneDevice = false;  // Broadcast: only the blocks of device `unit`

    static Addressing Serial(std::uint8_t unit)
    {
        return {unit == 0 ? Kind::Broadcast : Kind::Device, unit};
    }
    static Addressing Tcp(std::uint8_t unit)
    {
        return {(unit == 0 || unit == 255) ? Kind::AnyDevice : Kind::Device, unit};
    }
};

/// Per-connection rules that change how registers are read and written.
struct PduOptions {
    bool enron = false;  // Daniel/ENRON: 32-bit registers in the ENRON ranges
    AccessMarks* access = nullptr;  // where reads and writes are counted; none: not counted
};

/// Serves `request` (size bytes, function code first). The caller holds table.Mutex().
/// Writes the response PDU to `response` (room for kMaxPdu bytes) and returns its size;
/// 0 means no answer at all (unknown or switched-off device, broadcast, empty request).
std::size_t ServeRequest(const BlockTable& table, Addressing addressing, PduOptions options,
                         const std::uint8_t* request, std::size_t size, std::uint8_t* response);

/// Whether a request so addressed reaches a device that answers (one with a block, switched on;
/// for a broadcast, any). The caller holds table.Mutex().
bool DeviceServed(const BlockTable& table, Addressing addressing);
/// The lowest device id served, if any. The caller holds table.Mutex().
int LowestServedDevice(const BlockTable& table);

} // namespace pomrel
