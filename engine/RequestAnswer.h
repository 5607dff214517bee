// The one place where a request is matched against the fault rules in force and answered. Every
// transport calls AnswerRequest for each whole request it decoded, then frames the answer and
// applies what the fault asks of the bytes (FaultBytes) and of the timing (delay, split, close).
// With no rules installed this is ServeRequest and one pointer test.
#pragma once

#include "engine/FaultRules.h"
#include "engine/LinkDiagnostics.h"
#include "engine/Pdu.h"

#include <vector>

namespace pomrel {

class EngineContext;

/// The link a request came over, as the answer needs it.
struct RequestLink {
    LinkId id;
    LinkDiagnostics* diagnostics = nullptr;  // the link's diagnostics state; null: none kept
    bool writesRefused = false;              // a TLS role that may only read: writes get exception 01
};

struct Answer {
    std::size_t pduSize = 0;   // 0: no answer
    std::uint8_t unit = 0;     // the unit id to answer with
    FaultDecision fault;       // what a rule asked for, if one fired
};

/// Serves one request (function code first). The caller holds the block table's lock.
Answer AnswerRequest(EngineContext& context, const RequestLink& link, Addressing addressing, PduOptions options,
                     const std::uint8_t* pdu, std::size_t size, std::uint8_t* response);

/// The byte faults on a framed answer: Truncate cuts it, Junk appends to it. The checksum (serial
/// framings), Delay, Split and Close are the transport's.
void FaultBytes(const FaultDecision& fault, std::vector<std::uint8_t>& frame);

} // namespace pomrel
