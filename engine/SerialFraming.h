// How a serial link frames its traffic: RTU or ASCII, chosen once when the port is opened so
// that the link itself never asks which. Wraps the pure codecs of Framing.h.
#pragma once

#include "engine/Framing.h"
#include "engine/ProtocolEngine.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace pomrel {

class SerialFraming {
public:
    virtual ~SerialFraming() = default;

    /// The ENRON rules change what RTU can tell from a frame's content; ASCII frames end at CR LF.
    virtual void SetEnron(bool enron) = 0;
    /// As the decoders: takes up to n bytes and returns how many it took.
    virtual std::size_t Feed(const std::uint8_t* data, std::size_t n) = 0;
    /// The line stayed quiet for SilenceGap().
    virtual void Silence() = 0;
    /// Call until it returns Kind::None. Pointers stay valid until the next call.
    virtual FrameEvent Next() = 0;
    virtual std::size_t Buffered() const = 0;
    /// Frames a response PDU; `out` has room for 2 * pduSize + 7 bytes. Returns the frame size.
    virtual std::size_t Encode(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize,
                               std::uint8_t* out) const = 0;
    /// Spoils the check of a framed answer (fault injection): the CRC's high byte, or the LRC.
    virtual void SpoilCheck(std::uint8_t* frame, std::size_t size) const = 0;
    /// How long the line must stay quiet before Silence() settles what is buffered.
    virtual std::chrono::microseconds SilenceGap(const PortSettings& settings) const = 0;
};

/// RTU when `rtu`, else ASCII.
std::unique_ptr<SerialFraming> MakeSerialFraming(bool rtu);

} // namespace pomrel
