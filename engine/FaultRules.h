// Fault injection: rules that make the engine misbehave on purpose for chosen requests, so that
// a master's handling of late, missing, wrong or broken answers can be tested repeatably.
//
// A set of rules is immutable once built and is swapped whole; only its counters change. Rules
// are tried in order for every request before the block lookup; the first that fires decides.
// Pure code: no I/O, no clock of its own (the caller passes the time).
#pragma once

#include "engine/Link.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pomrel {

enum class FaultAction : std::uint8_t {
    Delay,        // answer correctly, delayMs late
    NoReply,      // say nothing
    Exception,    // answer with exception `exceptionCode`
    BadChecksum,  // serial only: CRC or LRC wrong
    WrongUnit,    // answer as unit id + 1
    Truncate,     // send only the first `bytes` bytes of the answer
    Split,        // send the answer in two parts, gapMs apart
    Junk,         // append `bytes` random bytes
    Close,        // TCP only: close the connection instead of answering
};

/// The link a request came over, as rules name it: "tcp", "udp", "rtu-over-tcp", "tls", "serial"
/// or "serial:N".

struct FaultRule {
    std::uint32_t id = 0;               // given by whoever installs the rule; 0 = none
    std::string name;
    std::string link = "any";           // "any", "tcp", "udp", "rtu-over-tcp", "tls", "serial", "serial:N"
    int unit = -1;                      // -1: any unit id
    std::vector<std::uint8_t> functions;// empty: any function
    int pointType = 0;                  // 0: any; 1 coils, 2 inputs, 3 holding, 4 input registers
    std::uint32_t first = 0;            // addresses 1..65536 as documents count them; 0: any
    std::uint32_t last = 0;
    FaultAction action = FaultAction::Delay;
    std::uint8_t exceptionCode = 0;
    std::uint32_t delayMs = 0;          // allowed with every action that sends something
    std::uint32_t bytes = 0;            // Truncate, Junk
    std::uint32_t gapMs = 0;            // Split
    std::uint32_t after = 0;            // let this many matching requests through first
    std::uint32_t every = 1;            // then fire on every n-th of the rest
    std::uint32_t times = 0;            // at most this often; 0: no limit
    double probability = 1.0;           // each time it would fire
    std::uint64_t seed = 0;             // of the draws: the same requests give the same faults
    double fromS = 0.0;                 // active from this many seconds after loading...
    double untilS = -1.0;               // ...until this many (negative: no end)
    bool enabled = true;

    bool operator==(const FaultRule&) const = default;
};

/// What a request looks like to the rules.
struct FaultRequest {
    LinkId link;
    std::uint8_t unit = 0;
    std::uint8_t function = 0;
    int pointType = 0;                  // 0 when the function addresses no points
    std::uint32_t first = 0, last = 0;  // addresses 1..65536 the request touches
    std::uint32_t first2 = 0, last2 = 0;// function 23: the written range as well
};
/// Reads the point type and the addresses a request PDU touches (nothing for a short PDU).
FaultRequest DescribeRequest(LinkId link, std::uint8_t unit, const std::uint8_t* pdu, std::size_t size);

/// What the chosen rule asks of the transport. `fired` false: answer as usual.
struct FaultDecision {
    bool fired = false;
    FaultAction action = FaultAction::Delay;
    std::uint8_t exceptionCode = 0;
    std::uint32_t delayMs = 0;
    std::uint32_t bytes = 0;
    std::uint32_t gapMs = 0;
    std::uint64_t junkSeed = 0;         // for Junk: the bytes to append, drawn from this
    const std::string* ruleName = nullptr;
};

/// Why `rule` cannot be installed (naming the field), or empty when it can.
std::string CheckFaultRule(const FaultRule& rule);

class FaultSet {
public:
    using Clock = std::chrono::steady_clock;

    /// `rules` must each pass CheckFaultRule. Time windows count from `loaded`. A rule whose id
    /// is in `carried` goes on counting from that set's counts (an edit of other rules must not
    /// restart its after/every/times).
    FaultSet(std::vector<FaultRule> rules, Clock::time_point loaded, const FaultSet* carried = nullptr);
    FaultSet(const FaultSet&) = delete;
    FaultSet& operator=(const FaultSet&) = delete;

    /// Tries the rules in order on one request; any thread.
    FaultDecision Decide(const FaultRequest& request, Clock::time_point now) const;

    const std::vector<FaultRule>& Rules() const { return rules_; }
    Clock::time_point Loaded() const { return loaded_; }
    /// Requests rule i matched, and how often it fired.
    std::uint64_t Matched(std::size_t i) const { return counters_[i].matched.load(std::memory_order_relaxed); }
    std::uint64_t Fired(std::size_t i) const { return counters_[i].fired.load(std::memory_order_relaxed); }
    /// The place of the rule with this id (not 0), or kNotFound; a lookup, not a walk of the list.
    static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
    std::size_t IndexOf(std::uint32_t id) const;

private:
    struct Counters {
        std::atomic<std::uint64_t> matched{0};
        std::atomic<std::uint64_t> fired{0};
    };
    // The link a rule names, read once: the request path compares numbers, not text.
    struct LinkFilter {
        enum Kind : std::uint8_t { Any, Tcp, Serial, SerialPort, Udp, RtuOverTcp, Tls, Unknown } kind = Any;
        int port = 0;
    };
    bool Matches(std::size_t i, const FaultRequest& request, double seconds) const;

    std::vector<FaultRule> rules_;
    std::vector<LinkFilter> links_;
    std::unique_ptr<Counters[]> counters_;
    // (id, place) of the rules with an id, by id: whoever lists or carries counts of thousands of
    // rules must not compare every rule with every other.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> byId_;
    Clock::time_point loaded_;
};

/// The draw for the n-th matching request of a rule seeded with `seed`: a number in [0, 1).
double FaultDraw(std::uint64_t seed, std::uint64_t n);
/// The n-th byte of junk drawn from `seed`.
std::uint8_t FaultJunkByte(std::uint64_t seed, std::uint64_t n);

} // namespace pomrel
