// The RTU decoder fed in pieces: byte 0 sets the ENRON rule and the piece size; a piece size
// byte of 0 inside the input means "the line fell silent here".
#include "engine/Framing.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pomrel;
    if (size < 1)
        return 0;
    RtuDecoder decoder;
    decoder.SetEnron(data[0] & 1);
    const std::size_t piece = 1 + (data[0] >> 1);
    std::size_t fed = 0;
    std::size_t out = 0;
    auto drain = [&] {
        for (FrameEvent e = decoder.Next(); e.kind != FrameEvent::Kind::None; e = decoder.Next()) {
            if (e.rawSize == 0 || e.rawSize > 600)
                std::abort();
            if (e.kind == FrameEvent::Kind::Frame
                && (e.pduSize + 3 != e.rawSize || e.pdu != e.raw + 1 || e.rawSize > RtuDecoder::kMaxFrame))
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
        fed += n;
        at += n;
        if (at < size && data[at] == 0x00 && (data[0] & 0x80))
            decoder.Silence();
        drain();
    }
    decoder.Silence();
    drain();
    if (out != fed || decoder.Buffered() != 0)  // every byte ends up in exactly one event
        std::abort();
    return 0;
}
