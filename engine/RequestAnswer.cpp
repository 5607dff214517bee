#include "engine/RequestAnswer.h"

#include "engine/FunctionCodes.h"

#include <algorithm>
#include <cstring>

namespace pomrel {
namespace {

using Event = LinkDiagnostics;

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void PutBe16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::size_t Exception(std::uint8_t fc, std::uint8_t code, std::uint8_t* response)
{
    response[0] = static_cast<std::uint8_t>(fc | kExceptionBit);
    response[1] = code;
    return 2;
}

bool IsWrite(std::uint8_t fc)
{
    switch (FunctionCode{fc}) {
    case FunctionCode::WriteSingleCoil:
    case FunctionCode::WriteSingleRegister:
    case FunctionCode::WriteMultipleCoils:
    case FunctionCode::WriteMultipleRegisters:
    case FunctionCode::MaskWriteRegister:
    case FunctionCode::ReadWriteMultipleRegisters:
        return true;
    default:
        return false;
    }
}

// Diagnostics requests other than the echo: fc | sub-function(2) | data(2).
constexpr std::size_t kDiagnosticsSize = 5;
// Restart Communications: FF00 clears the communication event log as well, 0000 keeps it.
constexpr std::uint16_t kClearLog = 0xFF00;
constexpr std::uint16_t kKeepLog = 0x0000;

// Restart Communications with a data field it takes: the one request a listen-only link obeys.
bool IsRestart(const std::uint8_t* pdu, std::size_t size, bool& keepLog)
{
    if (size != kDiagnosticsSize || FunctionCode{pdu[0]} != FunctionCode::Diagnostics ||
        DiagnosticsCode{Be16(pdu + 1)} != DiagnosticsCode::RestartCommunications)
        return false;
    const std::uint16_t data = Be16(pdu + 3);
    keepLog = data == kKeepLog;
    return data == kKeepLog || data == kClearLog;
}

// Diagnostics that change the link's state for every master: a read-only client may not send them.
bool ChangesLink(const std::uint8_t* pdu, std::size_t size)
{
    if (size < 3 || FunctionCode{pdu[0]} != FunctionCode::Diagnostics)
        return false;
    switch (Be16(pdu + 1)) {
    case 0x01:  // Restart Communications
    case 0x04:  // Force Listen Only
    case 0x0A:  // Clear Counters
    case 0x14:  // Clear Overrun Counter
        return true;
    default:
        return false;
    }
}

// What a diagnostics request does to the link once it has been counted (so that a restart or a
// clear leaves nothing of the request that caused it).
enum class LinkEffect : std::uint8_t { None, Restart, RestartKeepLog, ListenOnly, Clear };

std::uint8_t SentEvent(std::uint8_t exceptionCode)
{
    switch (exceptionCode) {
    case kIllegalFunction:
    case kIllegalDataAddress:
    case kIllegalDataValue:
        return Event::kSentReadException;
    case kServerDeviceFailure:
        return Event::kSentAbortException;
    case kAcknowledge:
    case kServerDeviceBusy:
        return Event::kSentBusyException;
    case kNegativeAcknowledge:
        return Event::kSentNakException;
    default:
        return 0;
    }
}

class Responder {
public:
    Responder(const AnswerSources& sources, const RequestLink& link, Addressing addressing, PduOptions options)
        : sources_(sources), link_(link), d_(link.diagnostics), addressing_(addressing), options_(options),
          broadcast_(addressing.kind == Addressing::Kind::Broadcast)
    {
    }

    /// The answer's size; sets addressed_ (for the counters) and effect_.
    std::size_t Respond(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response);
    /// Counts a request that was answered with `size` bytes (0: not at all), then applies effect_.
    void Count(std::uint8_t fc, const std::uint8_t* response, std::size_t size);
    /// A listen-only link: counts the request, and leaves the mode on a restart.
    void ListenOnly(const std::uint8_t* pdu, std::size_t size);
    void SetAddressed(bool addressed) { addressed_ = addressed; }
    bool Served() const { return DeviceServed(sources_.blocks, addressing_); }

private:
    std::size_t LinkFunction(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response);
    std::size_t Diagnostics(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response);
    std::size_t DeviceIdentification(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response);
    void BroadcastDiagnostics(const std::uint8_t* pdu, std::size_t size);

    const AnswerSources& sources_;
    const RequestLink& link_;
    LinkDiagnostics* d_;
    Addressing addressing_;
    PduOptions options_;
    bool broadcast_;
    bool addressed_ = false;
    LinkEffect effect_ = LinkEffect::None;
};

std::size_t Responder::Respond(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    const std::uint8_t fc = pdu[0];
    switch (FunctionCode{fc}) {
    case FunctionCode::ReadExceptionStatus:
    case FunctionCode::EncapsulatedInterface:
        return LinkFunction(pdu, size, response);
    case FunctionCode::Diagnostics:
    case FunctionCode::GetCommEventCounter:
    case FunctionCode::GetCommEventLog:
        if (d_ != nullptr)  // without a link's state only the echo is served
            return LinkFunction(pdu, size, response);
        break;
    default:
        break;
    }
    if (link_.writesRefused && IsWrite(fc)) {
        addressed_ = Served();
        if (!addressed_ || broadcast_)
            return 0;
        return Exception(fc, kIllegalFunction, response);
    }
    const std::size_t n = ServeRequest(sources_.blocks, addressing_, options_, pdu, size, response);
    // An unanswered request for a device that is there is a broadcast (ServeRequest answers all else).
    if (d_ != nullptr)
        addressed_ = n > 0 || (broadcast_ && Served());
    return n;
}

std::size_t Responder::LinkFunction(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    const std::uint8_t fc = pdu[0];
    if (FunctionCode{fc} == FunctionCode::EncapsulatedInterface)
        return DeviceIdentification(pdu, size, response);
    addressed_ = Served();
    if (!addressed_)
        return 0;
    if (link_.writesRefused && ChangesLink(pdu, size))
        return broadcast_ ? 0 : Exception(fc, kIllegalFunction, response);
    if (broadcast_) {
        BroadcastDiagnostics(pdu, size);
        return 0;
    }
    switch (FunctionCode{fc}) {
    case FunctionCode::ReadExceptionStatus:
        // No exception status outputs are kept: all eight are off.
        if (size != 1)
            return Exception(fc, kIllegalDataValue, response);
        response[0] = fc;
        response[1] = 0x00;
        return 2;
    case FunctionCode::GetCommEventCounter:
        //   fc | status(2): 0 = not busy | event counter(2)
        if (size != 1)
            return Exception(fc, kIllegalDataValue, response);
        response[0] = fc;
        PutBe16(response + 1, 0x0000);
        PutBe16(response + 3, d_->eventCounter);
        return 5;
    case FunctionCode::GetCommEventLog: {
        //   fc | byte count | status(2) | event counter(2) | message count(2) | events, newest first
        if (size != 1)
            return Exception(fc, kIllegalDataValue, response);
        response[0] = fc;
        response[1] = static_cast<std::uint8_t>(6 + d_->eventsHeld);
        PutBe16(response + 2, 0x0000);
        PutBe16(response + 4, d_->eventCounter);
        PutBe16(response + 6, d_->BusMessages());
        for (std::size_t i = 0; i < d_->eventsHeld; ++i)
            response[8 + i] = d_->Event(i);
        return 8 + d_->eventsHeld;
    }
    default:
        return Diagnostics(pdu, size, response);
    }
}

std::size_t Responder::Diagnostics(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    const std::uint8_t fc = pdu[0];
    if (size < 3)
        return Exception(fc, kIllegalDataValue, response);
    const auto sub = DiagnosticsCode{Be16(pdu + 1)};
    switch (sub) {
    case DiagnosticsCode::ReturnQueryData:
        return ServeRequest(sources_.blocks, addressing_, options_, pdu, size, response);
    case DiagnosticsCode::RestartCommunications:
    case DiagnosticsCode::ReturnDiagnosticRegister:
    case DiagnosticsCode::ForceListenOnly:
    case DiagnosticsCode::ClearCounters:
    case DiagnosticsCode::BusMessageCount:
    case DiagnosticsCode::BusCommunicationErrorCount:
    case DiagnosticsCode::BusExceptionErrorCount:
    case DiagnosticsCode::ServerMessageCount:
    case DiagnosticsCode::ServerNoResponseCount:
    case DiagnosticsCode::ServerNakCount:
    case DiagnosticsCode::ServerBusyCount:
    case DiagnosticsCode::BusCharacterOverrunCount:
        break;
    default:
        return Exception(fc, kIllegalFunction, response);
    }
    if (size != kDiagnosticsSize)
        return Exception(fc, kIllegalDataValue, response);
    const std::uint16_t data = Be16(pdu + 3);
    if (sub == DiagnosticsCode::RestartCommunications) {
        bool keepLog = false;
        if (!IsRestart(pdu, size, keepLog))
            return Exception(fc, kIllegalDataValue, response);
        // The answer goes out before the restart takes effect.
        effect_ = keepLog ? LinkEffect::RestartKeepLog : LinkEffect::Restart;
        std::memcpy(response, pdu, size);
        return size;
    }
    if (data != 0)
        return Exception(fc, kIllegalDataValue, response);
    std::uint16_t value = 0;
    switch (sub) {
    case DiagnosticsCode::ForceListenOnly:
        effect_ = LinkEffect::ListenOnly;
        return 0;  // never answered
    case DiagnosticsCode::ClearCounters:
        effect_ = LinkEffect::Clear;
        std::memcpy(response, pdu, size);
        return size;
    case DiagnosticsCode::ReturnDiagnosticRegister: value = d_->diagnosticRegister; break;
    case DiagnosticsCode::BusMessageCount: value = d_->BusMessages(); break;
    case DiagnosticsCode::BusCommunicationErrorCount: value = d_->CommErrors(); break;
    case DiagnosticsCode::BusExceptionErrorCount: value = d_->exceptionErrors; break;
    case DiagnosticsCode::ServerMessageCount: value = d_->serverMessages; break;
    case DiagnosticsCode::ServerNoResponseCount: value = d_->noResponses; break;
    case DiagnosticsCode::ServerNakCount: value = d_->naks; break;
    case DiagnosticsCode::ServerBusyCount: value = d_->busy; break;
    default: value = 0; break;  // character overruns: the system's buffers never lose one to us
    }
    std::memcpy(response, pdu, 3);
    PutBe16(response + 3, value);
    return kDiagnosticsSize;
}

// A broadcast changes the link's state but is never answered.
void Responder::BroadcastDiagnostics(const std::uint8_t* pdu, std::size_t size)
{
    if (FunctionCode{pdu[0]} != FunctionCode::Diagnostics || size != kDiagnosticsSize)
        return;
    bool keepLog = false;
    if (IsRestart(pdu, size, keepLog)) {
        effect_ = keepLog ? LinkEffect::RestartKeepLog : LinkEffect::Restart;
        return;
    }
    if (Be16(pdu + 3) != 0)
        return;
    const auto sub = DiagnosticsCode{Be16(pdu + 1)};
    if (sub == DiagnosticsCode::ForceListenOnly)
        effect_ = LinkEffect::ListenOnly;
    else if (sub == DiagnosticsCode::ClearCounters)
        effect_ = LinkEffect::Clear;
}

// A device id with blocks, or with an identity of its own, answers; TCP unit 0 or 255 is the
// lowest such id.
std::size_t Responder::DeviceIdentification(const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    if (broadcast_) {
        addressed_ = Served();
        return 0;
    }
    static const DeviceIdentities kNone;
    const DeviceIdentities& identities = sources_.identities != nullptr ? *sources_.identities : kNone;
    const BlockTable& blocks = sources_.blocks;
    int device = -1;
    if (addressing_.kind == Addressing::Kind::Absent) {
        device = -1;
    } else if (addressing_.kind == Addressing::Kind::Device) {
        if (Served() || (blocks.DeviceActive(addressing_.unit) && identities.Has(addressing_.unit)))
            device = addressing_.unit;
    } else {
        device = LowestServedDevice(blocks);
        const auto own = identities.Lowest([&](std::uint8_t id) { return blocks.DeviceActive(id); });
        if (own && (device < 0 || *own < device))
            device = *own;
    }
    addressed_ = device >= 0;
    if (!addressed_)
        return 0;
    return identities.Serve(static_cast<std::uint8_t>(device), pdu, size, response);
}

void Responder::Count(std::uint8_t fc, const std::uint8_t* response, std::size_t size)
{
    if (d_ == nullptr || !addressed_)
        return;
    d_->AddEvent(static_cast<std::uint8_t>(Event::kReceived | (broadcast_ ? Event::kReceivedBroadcast : 0)));
    ++d_->serverMessages;
    if (size == 0) {
        ++d_->noResponses;
        if (broadcast_)
            ++d_->eventCounter;
    } else if ((response[0] & kExceptionBit) != 0) {
        ++d_->exceptionErrors;
        if (response[1] == kNegativeAcknowledge)
            ++d_->naks;
        if (response[1] == kServerDeviceBusy)
            ++d_->busy;
        d_->AddEvent(static_cast<std::uint8_t>(Event::kSent | SentEvent(response[1])));
    } else {
        if (FunctionCode{fc} != FunctionCode::GetCommEventCounter)
            ++d_->eventCounter;
        d_->AddEvent(Event::kSent);
    }
    switch (effect_) {
    case LinkEffect::Restart: d_->Restart(false); break;
    case LinkEffect::RestartKeepLog: d_->Restart(true); break;
    case LinkEffect::Clear: d_->ClearCounters(); break;
    case LinkEffect::ListenOnly:
        d_->listenOnly.store(true, std::memory_order_relaxed);
        d_->AddEvent(Event::kEnteredListenOnly);
        break;
    case LinkEffect::None: break;
    }
}

void Responder::ListenOnly(const std::uint8_t* pdu, std::size_t size)
{
    if (!Served())
        return;
    d_->AddEvent(static_cast<std::uint8_t>(Event::kReceived | Event::kReceivedListenOnly |
                                           (broadcast_ ? Event::kReceivedBroadcast : 0)));
    bool keepLog = false;
    if (!link_.writesRefused && IsRestart(pdu, size, keepLog))
        d_->Restart(keepLog);  // not answered either
    else
        ++d_->noResponses;
}

// Exception answers on the served points a request touched.
void MarkExceptions(const BlockTable& table, Addressing addressing, bool enron, int type, std::uint32_t first,
                    std::uint32_t last)
{
    if (type == 0 || first == 0 || addressing.kind == Addressing::Kind::Absent)
        return;
    const std::uint32_t lo = first - 1;
    const std::uint32_t hi = std::min<std::uint32_t>(last, 0x10000u);  // one past the last wire address
    for (const Block& b : table.Blocks()) {
        if (b.type != type || b.stats == nullptr || !table.DeviceActive(b.device) ||
            (addressing.kind != Addressing::Kind::AnyDevice && b.device != addressing.unit))
            continue;
        const std::uint32_t from = std::max(lo, b.wireStart);
        const std::uint32_t to = std::min(hi, b.wireStart + b.Points(enron));
        for (std::uint32_t a = from; a < to; ++a)
            Bump(b.stats[a - b.wireStart].exceptions);
    }
}

bool HasType(const BlockTable& table, Addressing addressing, int type)
{
    for (const Block& b : table.Blocks())
        if (b.type == type && table.DeviceActive(b.device) &&
            (addressing.kind == Addressing::Kind::AnyDevice || b.device == addressing.unit))
            return true;
    return false;
}

// The statistics of one request once its answer is known: per function, per point for an
// exception, and as not served for a unit nobody serves or addresses outside every block.
void Account(const AnswerSources& sources, const RequestLink& link, Addressing addressing, const AccessMarks& marks,
             bool enron, const std::uint8_t* pdu, std::size_t size, const std::uint8_t* response, std::size_t answered,
             bool faulted)
{
    const std::uint8_t code = answered >= 2 && (response[0] & kExceptionBit) != 0 ? response[1] : 0;
    marks.recorder->CountFunction(link.id.kind, addressing.unit, pdu[0], code);
    bool unserved = !faulted && addressing.kind != Addressing::Kind::Broadcast &&
                    (code == kIllegalDataAddress || (answered == 0 && !DeviceServed(sources.blocks, addressing)));
    if (code == 0 && !unserved)
        return;
    const FaultRequest r = DescribeRequest(link.id, addressing.unit, pdu, size);
    // Exception 01 for points of a type the device has no block of: nothing serves those either.
    if (!faulted && code == kIllegalFunction && r.pointType != 0 && !link.writesRefused)
        unserved = !HasType(sources.blocks, addressing, r.pointType);
    if (code != 0) {
        MarkExceptions(sources.blocks, addressing, enron, r.pointType, r.first, r.last);
        MarkExceptions(sources.blocks, addressing, enron, r.pointType, r.first2, r.last2);
    }
    if (unserved) {
        const std::uint32_t quantity = r.pointType == 0 ? 0 : r.last - r.first + 1;
        marks.recorder->CountUnserved(link.id, addressing.unit, pdu[0], r.first,
                                      static_cast<std::uint16_t>(std::min<std::uint32_t>(quantity, 0xFFFF)), marks.nowUs);
    }
}

} // namespace

Answer AnswerFrom(const AnswerSources& sources, const RequestLink& link, Addressing addressing, PduOptions options,
                  const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    Answer answer;
    answer.unit = addressing.unit;
    if (size == 0)
        return answer;
    AccessMarks marks;
    if (sources.access != nullptr && sources.access->Enabled()) {
        marks = AccessMarks{sources.access, WallClockUs(), &link.id, link.peer};
        options.access = &marks;
    }
    const auto account = [&](bool faulted) {
        if (options.access != nullptr)
            Account(sources, link, addressing, marks, options.enron, pdu, size, response, answer.pduSize, faulted);
    };
    Responder responder(sources, link, addressing, options);
    if (LinkDiagnostics* d = link.diagnostics) {
        ++d->requests;
        if (d->listenOnly.load(std::memory_order_relaxed)) {
            responder.ListenOnly(pdu, size);
            return answer;
        }
    }
    if (const FaultSet* faults = sources.faults) {
        answer.fault = faults->Decide(DescribeRequest(link.id, addressing.unit, pdu, size), FaultSet::Clock::now());
        if (answer.fault.fired) {
            switch (answer.fault.action) {
            case FaultAction::NoReply:
            case FaultAction::Close:
                if (link.diagnostics != nullptr) {
                    responder.SetAddressed(responder.Served());
                    responder.Count(pdu[0], response, 0);
                }
                account(true);
                return answer;
            case FaultAction::Exception:
                // Decided before the block lookup, so a gateway can answer for an absent device;
                // a broadcast is never answered.
                if (addressing.kind != Addressing::Kind::Broadcast) {
                    response[0] = static_cast<std::uint8_t>(pdu[0] | kExceptionBit);
                    response[1] = answer.fault.exceptionCode;
                    answer.pduSize = 2;
                }
                if (link.diagnostics != nullptr) {
                    responder.SetAddressed(answer.pduSize > 0 || responder.Served());
                    responder.Count(pdu[0], response, answer.pduSize);
                }
                account(true);
                return answer;
            case FaultAction::WrongUnit:
                answer.unit = static_cast<std::uint8_t>(addressing.unit + 1);
                break;
            default:
                break;
            }
        }
    }
    answer.pduSize = responder.Respond(pdu, size, response);
    responder.Count(pdu[0], response, answer.pduSize);
    if (sources.writes != nullptr && sources.writes->Enabled())
        sources.writes->Offer(sources.blocks, link.id, link.peer, addressing, options, pdu, size, response, answer.pduSize);
    account(false);
    return answer;
}

void FaultBytes(const FaultDecision& fault, std::vector<std::uint8_t>& frame)
{
    if (!fault.fired)
        return;
    if (fault.action == FaultAction::Truncate && frame.size() > fault.bytes)
        frame.resize(fault.bytes);
    if (fault.action == FaultAction::Junk)
        for (std::uint32_t i = 0; i < fault.bytes; ++i)
            frame.push_back(FaultJunkByte(fault.junkSeed, i));
}

} // namespace pomrel
