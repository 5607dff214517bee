// An RTU over TCP receive buffer handled the way a session does: byte 0 sets the ENRON rule and
// how many bytes each read brings; after each read every frame and discard is taken from the
// front and a frame is served.
#include "engine/Pdu.h"
#include "engine/StreamFraming.h"
#include "fuzz/FuzzTable.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pomrel;
    static fuzz::FuzzTable fixture;
    if (size < 1)
        return 0;
    const bool enron = data[0] & 1;
    const std::size_t piece = 1 + (data[0] >> 1);
    RtuStreamScanner scanner;
    std::vector<std::uint8_t> buffer;
    std::uint8_t out[kMaxPdu + 16];
    std::lock_guard lock(fixture.table.Mutex());
    for (std::size_t at = 1; at < size;) {
        const std::size_t n = std::min(piece, size - at);
        buffer.insert(buffer.end(), data + at, data + at + n);
        at += n;
        for (;;) {
            const StreamScan s = scanner.Scan(buffer.data(), buffer.size(), enron);
            if (s.kind == StreamScan::Kind::Incomplete)
                break;
            if (s.kind == StreamScan::Kind::Malformed || s.size == 0 || s.size > buffer.size())
                std::abort();
            if (s.kind == StreamScan::Kind::Frame) {
                if (s.size < 4 || s.size > 256 || s.pdu != buffer.data() + 1 || s.pduSize + 3 != s.size)
                    std::abort();
                if (ServeRequest(fixture.table, Addressing::Serial(s.unit), PduOptions{enron}, s.pdu, s.pduSize, out) > kMaxPdu)
                    std::abort();
            }
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(s.size));
        }
        // What waits for more is never more than the decoder's window: noise cannot pile up.
        if (buffer.size() > 2 * 256 + 64)
            std::abort();
    }
    return 0;
}
