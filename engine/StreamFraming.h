// Framings of the network servers, as pure scanners over a receive buffer: Modbus/TCP (MBAP) and
// RTU carried on a TCP stream, and the one-request datagram of Modbus/UDP. No I/O, no clock.
#pragma once

#include "engine/Framing.h"

#include <cstddef>
#include <cstdint>

namespace pomrel {

/// What lies at the front of a receive buffer.
struct StreamScan {
    enum class Kind : std::uint8_t {
        Incomplete,  // wait for more bytes
        Frame,       // a whole request of `size` bytes
        Discard,     // `size` bytes that belong to no good frame (a bad CRC, noise); go on after them
        Malformed,   // the stream cannot be resynchronised (an MBAP header that is no header)
    };
    Kind kind = Kind::Incomplete;
    std::size_t size = 0;
    std::uint8_t unit = 0;
    const std::uint8_t* pdu = nullptr;  // Frame: function code and data, inside the scanned bytes
    std::size_t pduSize = 0;
};

/// Modbus/TCP on a stream (see ScanMbap).
StreamScan ScanMbapStream(const std::uint8_t* data, std::size_t size);

/// RTU frames on a TCP stream, as RTU over TCP gateways and serial device servers carry them:
///
///   unit | function | data ... | CRC low | CRC high      (several may follow back to back)
///
/// Sized from the content by the serial RTU decoder. A stream has no character timing, so a
/// function whose size the content does not give is taken when everything buffered ends in a
/// good CRC (what the line's silence would settle). A damaged frame is discarded once a good frame
/// follows it (a master's retry): the stream resynchronises on the next offset where one starts.
class RtuStreamScanner {
public:
    StreamScan Scan(const std::uint8_t* data, std::size_t size, bool enron);

private:
    RtuDecoder decoder_;  // sizes frames only; refilled from the front of the buffer each scan
};

/// A Modbus/UDP datagram: exactly one MBAP request, its length field matching the datagram.
/// Anything else (short, long, a second request behind the first, a bad header) is Discard.
StreamScan ScanUdpDatagram(const std::uint8_t* data, std::size_t size);

} // namespace pomrel
