// A Modbus/UDP datagram as the server takes it: one request or nothing, served when it is one.
#include "engine/Pdu.h"
#include "engine/StreamFraming.h"
#include "fuzz/FuzzTable.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pomrel;
    static fuzz::FuzzTable fixture;
    const StreamScan s = ScanUdpDatagram(data, size);
    if (s.kind != StreamScan::Kind::Frame) {
        if (s.kind != StreamScan::Kind::Discard || s.size != size)
            std::abort();
        return 0;
    }
    if (s.size != size || size < kMbapHeader + 1 || size > kMaxMbapFrame || s.pdu != data + kMbapHeader)
        std::abort();
    std::uint8_t out[kMaxMbapFrame + 16];
    std::lock_guard lock(fixture.table.Mutex());
    if (ServeRequest(fixture.table, Addressing::Tcp(s.unit), PduOptions{}, s.pdu, s.pduSize, out + kMbapHeader) > kMaxPdu)
        std::abort();
    return 0;
}
