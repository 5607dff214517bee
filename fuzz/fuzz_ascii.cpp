// The ASCII decoder fed in pieces (byte 0 sets the piece size), with a timeout at the end.
#include "engine/Framing.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pomrel;
    if (size < 1)
        return 0;
    AsciiDecoder decoder;
    const std::size_t piece = 1 + data[0];
    std::size_t out = 0;
    auto drain = [&] {
        for (FrameEvent e = decoder.Next(); e.kind != FrameEvent::Kind::None; e = decoder.Next()) {
            if (e.rawSize == 0 || e.rawSize > AsciiDecoder::kMaxChars + 64)
                std::abort();
            if (e.kind == FrameEvent::Kind::Frame && ((e.pduSize + 2) * 2 + 3 != e.rawSize || e.pduSize > 253))
                std::abort();
            out += e.rawSize;
        }
    };
    for (std::size_t at = 1; at < size;) {
        const std::size_t n = std::min(piece, size - at);
        std::size_t taken = 0;
        while (taken < n) {
            taken += decoder.Feed(data + at + taken, n - taken);
            drain();
        }
        at += n;
    }
    decoder.Silence();
    drain();
    if (out != size - 1 || decoder.Buffered() != 0)
        std::abort();
    return 0;
}
