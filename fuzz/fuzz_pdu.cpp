// The request handler: byte 0 picks the addressing and options, the rest is the request PDU.
// With bit 4 of byte 0 set, the rest is a run of requests (a length byte, then that many bytes)
// answered one after another through AnswerFrom on one link, so that the link's diagnostics
// state (counters, event log, listen-only mode) carries from one to the next; bit 5 makes the
// link read-only; bit 6 addresses through an endpoint's unit map (unit 1 -> device 2).
#include "engine/Pdu.h"
#include "engine/RequestAnswer.h"
#include "engine/UnitRoutes.h"
#include "fuzz/FuzzTable.h"

#include <cstdlib>
#include <string>

namespace {

using namespace pomrel;

// Device 1 has an identity longer than one answer; device 5 has one and no blocks.
const DeviceIdentities& Identities()
{
    static DeviceIdentities identities;
    static const bool filled = [] {
        identities.Set(1, {{0x03, "http://example"}, {0x80, std::string(200, 'a')}, {0x81, std::string(200, 'b')},
                           {0xff, "last"}});
        identities.Set(5, {{0x04, "alone"}});
        return true;
    }();
    (void)filled;
    return identities;
}

// What every answer must satisfy, whatever came in.
void CheckAnswer(const std::uint8_t* request, std::size_t size, const std::uint8_t* response, std::size_t n,
                 Addressing addressing)
{
    if (n > kMaxPdu)
        std::abort();
    if (n == 0)
        return;
    if (size == 0 || (response[0] & ~kExceptionBit) != (request[0] & ~kExceptionBit))
        std::abort();
    if (addressing.kind == Addressing::Kind::Broadcast || addressing.kind == Addressing::Kind::Absent)
        std::abort();  // no device answers: neither a broadcast nor a unit id the endpoint does not map
    if (response[0] & kExceptionBit)
        return;
    switch (FunctionCode{response[0]}) {
    case FunctionCode::EncapsulatedInterface: {
        // The objects' own lengths must add up to the answer.
        if (n < 7)
            std::abort();
        std::size_t at = 7;
        for (std::uint8_t i = 0; i < response[6]; ++i) {
            if (at + 2 > n)
                std::abort();
            at += 2 + response[at + 1];
        }
        if (at != n)
            std::abort();
        break;
    }
    case FunctionCode::GetCommEventLog:
        if (n < 8 || n != 2u + response[1] || response[1] > 6 + LinkDiagnostics::kEventLogSize)
            std::abort();
        break;
    case FunctionCode::ReadFifoQueue:
        if (n < 5 || n != 3u + (response[1] << 8 | response[2]) || (response[3] << 8 | response[4]) > 31)
            std::abort();
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::FuzzTable fixture;
    if (size < 2)
        return 0;
    const std::uint8_t mode = data[0];
    const std::uint8_t unit = static_cast<std::uint8_t>(mode & 3);  // devices 0..3
    Addressing addressing = (mode & 4) ? Addressing::Tcp(unit == 0 ? 255 : unit) : Addressing::Serial(unit);
    if (mode & 0x40) {
        static const UnitRoutes tcpRoutes({{1, 2}}, false);
        static const UnitRoutes serialRoutes({{1, 2}}, true);
        addressing = (mode & 4) ? tcpRoutes[addressing.unit] : serialRoutes[addressing.unit];
    }
    const PduOptions options{(mode & 8) != 0};
    std::uint8_t response[kMaxPdu + 16];
    if ((mode & 0x10) == 0) {
        std::size_t n = 0;
        {
            std::lock_guard lock(fixture.table.Mutex());
            n = ServeRequest(fixture.table, addressing, options, data + 1, size - 1, response);
        }
        CheckAnswer(data + 1, size - 1, response, n, addressing);
        return 0;
    }
    std::atomic<std::uint32_t> damaged{0};
    LinkDiagnostics diagnostics;
    diagnostics.checkErrors = &damaged;
    const RequestLink link{LinkId{}, &diagnostics, (mode & 0x20) != 0};
    // Answered writes go through the hand-over too: what it records must stay inside a record.
    static WriteFeed writes;
    static WriteRecord taken[4];
    writes.Enable(true);
    const AnswerSources sources{fixture.table, nullptr, &Identities(), &writes};
    std::size_t at = 1;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        const std::uint8_t* pdu = data + at + 1;
        at += 1 + length;
        const bool listening = diagnostics.listenOnly.load();
        Answer answer;
        {
            std::lock_guard lock(fixture.table.Mutex());
            answer = AnswerFrom(sources, link, addressing, options, pdu, length, response);
        }
        CheckAnswer(pdu, length, response, answer.pduSize, addressing);
        for (std::size_t i = 0, n = writes.Take(taken); i < n; ++i)
            if (taken[i].address < 1 || taken[i].address > 65536 || taken[i].count == 0 ||
                (taken[i].type == 1 ? (taken[i].count + 15u) / 16u : taken[i].ValueCount()) > WriteRecord::kMaxWords)
                std::abort();
        if (listening && answer.pduSize != 0)
            std::abort();  // a listen-only link says nothing
        if (diagnostics.eventsHeld > LinkDiagnostics::kEventLogSize)
            std::abort();
        damaged.fetch_add(length & 1);
    }
    return 0;
}
