// The objects of Read Device Identification (function 43, MEI type 14), per device id: basic
// 0x00-0x02 (vendor name, product code, revision: always there), regular 0x03-0x06 and
// extended 0x80-0xFF (there when given). Set from any thread, read while answering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace pomrel {

class DeviceIdentities {
public:
    using Objects = std::map<std::uint8_t, std::string>;

    /// The longest object text: one object alone in the largest answer.
    static constexpr std::size_t kMaxText = 244;

    /// What a device without an identity of its own answers: "Kelvaro", "Kelvaro64" and the
    /// program's version.
    static Objects Defaults();

    /// `objects` for `device`; a missing basic object keeps its default, reserved ids
    /// (0x07-0x7F) are left out and texts cut to kMaxText bytes.
    void Set(std::uint8_t device, Objects objects);
    void Clear();
    bool Has(std::uint8_t device) const;
    /// The lowest device id with an identity of its own that `active` accepts.
    template <class Active>
    std::optional<std::uint8_t> Lowest(Active&& active) const
    {
        std::lock_guard lock(mutex_);
        for (const auto& [device, objects] : devices_)
            if (active(device))
                return device;
        return std::nullopt;
    }

    /// Answers a function 43 request (`request` from the function code on) for `device`: the
    /// answer PDU's size in `response` (room for the largest PDU), an exception included.
    std::size_t Serve(std::uint8_t device, const std::uint8_t* request, std::size_t size, std::uint8_t* response) const;

private:
    mutable std::mutex mutex_;
    std::map<std::uint8_t, Objects> devices_;
    Objects defaults_ = Defaults();
};

} // namespace pomrel
