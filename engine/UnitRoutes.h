// Which device each unit id a master sends reaches at one server endpoint.
#pragma once

#include "engine/Pdu.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>

namespace pomrel {

/// Without a map every unit id means what its framing says (Modbus/TCP: 0 and 255 whichever
/// device holds the address; RTU: 0 a broadcast). With one, the endpoint serves only the devices
/// it maps, so that a master addressing "the device at this address" never reads another's data:
///   - a mapped unit id reaches its device;
///   - 0 and 255, unless mapped, reach the endpoint's device (the lowest mapped one if several;
///     on RTU 0 stays a broadcast, to that device alone);
///   - any other unit id reaches no device, exactly as one that no document serves.
class UnitRoutes {
public:
    UnitRoutes() : UnitRoutes({}, false) {}
    UnitRoutes(const std::map<std::uint8_t, std::uint8_t>& units, bool serial)
    {
        for (std::size_t u = 0; u < routes_.size(); ++u) {
            const auto unit = static_cast<std::uint8_t>(u);
            if (units.empty())
                routes_[u] = serial ? Addressing::Serial(unit) : Addressing::Tcp(unit);
            else
                routes_[u] = {Addressing::Kind::Absent, unit};
        }
        if (units.empty())
            return;
        std::uint8_t own = units.begin()->second;
        for (const auto& [sent, device] : units)
            own = std::min(own, device);
        routes_[0] = serial ? Addressing{Addressing::Kind::Broadcast, own, true} : Addressing{Addressing::Kind::Device, own};
        routes_[255] = {Addressing::Kind::Device, own};
        for (const auto& [sent, device] : units)
            routes_[sent] = {Addressing::Kind::Device, device};
    }

    /// How a request with this unit id is served. Its `unit` is the device id (the sent unit id
    /// when no device is reached): an answer goes back with the sent one.
    Addressing operator[](std::uint8_t unit) const { return routes_[unit]; }

private:
    std::array<Addressing, 256> routes_{};
};

} // namespace pomrel
