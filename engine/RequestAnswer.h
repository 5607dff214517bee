// The one place where a request is matched against the fault rules in force and answered. Every
// transport calls AnswerRequest for each whole request it decoded, then frames the answer and
// applies what the fault asks of the bytes (FaultBytes) and of the timing (delay, split, close).
// With no rules installed this is ServeRequest, one pointer test and the link's counters.
//
// The functions of the link and of the device as a whole are answered here: Read Exception
// Status (7), Diagnostics (8), the communication event counter and log (11, 12) and Read Device
// Identification (43/14). A link in listen-only mode answers nothing at all.
#pragma once

#include "engine/DeviceIdentity.h"
#include "engine/FaultRules.h"
#include "engine/LinkDiagnostics.h"
#include "engine/Pdu.h"
#include "engine/WriteFeed.h"

#include <vector>

namespace pomrel {

/// The link a request came over, as the answer needs it.
struct RequestLink {
    LinkId id;
    LinkDiagnostics* diagnostics = nullptr;  // the link's diagnostics state; null: none kept
    bool writesRefused = false;              // a TLS role that may only read: writes get exception 01
    const NetAddress* peer = nullptr;        // the master, on network links
};

struct Answer {
    std::size_t pduSize = 0;   // 0: no answer
    std::uint8_t unit = 0;     // the unit id to answer with
    FaultDecision fault;       // what a rule asked for, if one fired
};

/// What a request is answered from: the engine's context (EngineContext) holds all three.
struct AnswerSources {
    const BlockTable& blocks;
    const FaultSet* faults = nullptr;             // the rules in force, or none
    const DeviceIdentities* identities = nullptr; // none: every device has the default identity
    WriteFeed* writes = nullptr;                  // answered writes are handed over here while it is on
    AccessRecorder* access = nullptr;             // access statistics, or none kept
};

/// Serves one request (function code first). The caller holds the block table's lock.
Answer AnswerFrom(const AnswerSources& sources, const RequestLink& link, Addressing addressing, PduOptions options,
                  const std::uint8_t* pdu, std::size_t size, std::uint8_t* response);

/// The same from an EngineContext (a template so that this header needs no Asio).
template <class Context>
Answer AnswerRequest(Context& context, const RequestLink& link, Addressing addressing, PduOptions options,
                     const std::uint8_t* pdu, std::size_t size, std::uint8_t* response)
{
    return AnswerFrom(AnswerSources{context.blocks, context.Faults(), &context.identities, &context.writes, &context.access}, link, addressing, options,
                      pdu, size, response);
}

/// The byte faults on a framed answer: Truncate cuts it, Junk appends to it. The checksum (serial
/// framings), Delay, Split and Close are the transport's.
void FaultBytes(const FaultDecision& fault, std::vector<std::uint8_t>& frame);

} // namespace pomrel
