// The request handler: byte 0 picks the addressing and options, the rest is the request PDU.
#include "engine/Pdu.h"
#include "fuzz/FuzzTable.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pomrel;
    static fuzz::FuzzTable fixture;
    if (size < 2)
        return 0;
    const std::uint8_t mode = data[0];
    const std::uint8_t unit = static_cast<std::uint8_t>(mode & 3);  // devices 0..3
    const Addressing addressing = (mode & 4) ? Addressing::Tcp(unit == 0 ? 255 : unit) : Addressing::Serial(unit);
    const PduOptions options{(mode & 8) != 0};
    std::uint8_t response[kMaxPdu + 16];
    std::size_t n = 0;
    {
        std::lock_guard lock(fixture.table.Mutex());
        n = ServeRequest(fixture.table, addressing, options, data + 1, size - 1, response);
    }
    if (n > kMaxPdu)
        std::abort();
    if (n > 0 && (response[0] & ~kExceptionBit) != (data[1] & ~kExceptionBit))
        std::abort();
    if (n > 0 && addressing.kind == Addressing::Kind::Broadcast)
        std::abort();
    return 0;
}
