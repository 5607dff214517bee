#include "engine/RequestAnswer.h"

#include "engine/EngineContext.h"


namespace pomrel {


Answer AnswerRequest(EngineContext& context, const RequestLink& link, Addressing addressing, PduOptions options,
                     const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    Answer answer;
    answer.unit = addressing.unit;
    if (const FaultSet* faults = context.Faults(); faults && size > 0) {
        answer.fault = faults->Decide(DescribeRequest(link.id, addressing.unit, pdu, size), FaultSet::Clock::now());
        if (answer.fault.fired) {
            switch (answer.fault.action) {
            case FaultAction::NoReply:
            case FaultAction::Close:
                return answer;
            case FaultAction::Exception:
                // Decided before the block lookup, so a gateway can answer for an absent device;
                // a broadcast is never answered.
                if (addressing.kind != Addressing::Kind::Broadcast) {
                    response[0] = static_cast<std::uint8_t>(pdu[0] | kExceptionBit);
                    response[1] = answer.fault.exceptionCode;
                    answer.pduSize = 2;
                }
                return answer;
            case FaultAction::WrongUnit:
                answer.unit = static_cast<std::uint8_t>(addressing.unit + 1);
                break;
            default:
                break;
            }
        }
    }
    answer.pduSize = ServeRequest(context.blocks, addressing, options, pdu, size, response);
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
