// A Modbus/TCP receive buffer handled the way a session does: every whole frame is served from
// the front, a malformed header ends the stream.
#include "engine/Framing.h"
#include "engine/Pdu.h"
#include "fuzz/FuzzTable.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pomrel;
    static fuzz::FuzzTable fixture;
    std::uint8_t out[kMaxMbapFrame + 16];
    std::size_t offset = 0;
    std::lock_guard lock(fixture.table.Mutex());
    while (offset < size) {
        std::size_t frameSize = 0;
        const MbapScan scan = ScanMbap(data + offset, size - offset, frameSize);
        if (scan != MbapScan::Complete)
            break;
        if (frameSize < kMbapHeader + 1 || frameSize > kMaxMbapFrame || frameSize > size - offset)
            std::abort();
        const std::uint8_t* frame = data + offset;
        const std::size_t n = ServeRequest(fixture.table, Addressing::Tcp(frame[6]), PduOptions{(frame[0] & 1) != 0},
                                           frame + kMbapHeader, frameSize - kMbapHeader, out + kMbapHeader);
        if (n > kMaxPdu)
            std::abort();
        if (n > 0)
            PutMbapHeader(out, static_cast<std::uint16_t>(frame[0] << 8 | frame[1]), frame[6], n);
        offset += frameSize;
    }
    return 0;
}
