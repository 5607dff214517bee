// Fault rules: which requests a rule matches, when it fires, and which rules are refused.
#include "engine/FaultRules.h"

#include <gtest/gtest.h>

#include <vector>

using namespace pomrel;

namespace {

const LinkId kTcp{LinkId::Kind::Tcp, 0};
const LinkId kSerial3{LinkId::Kind::Serial, 3};

FaultSet::Clock::time_point T0() { return FaultSet::Clock::time_point{} + std::chrono::hours(1); }
FaultSet::Clock::time_point At(double s)
{
    return T0() + std::chrono::duration_cast<FaultSet::Clock::duration>(std::chrono::duration<double>(s));
}

// Read Holding Registers of `count` registers from document address `address` (wire address - 1).
FaultRequest Read3(std::uint8_t unit, std::uint16_t address, std::uint16_t count, LinkId link = kTcp)
{
    const std::uint16_t wire = static_cast<std::uint16_t>(address - 1);
    const std::uint8_t pdu[] = {3, std::uint8_t(wire >> 8), std::uint8_t(wire), std::uint8_t(count >> 8), std::uint8_t(count)};
    return DescribeRequest(link, unit, pdu, sizeof pdu);
}

FaultRule Exception6()
{
    FaultRule r;
    r.name = "busy";
    r.action = FaultAction::Exception;
    r.exceptionCode = 6;
    return r;
}

// The 1-based numbers of the requests among `n` identical ones that fire.
std::vector<int> Firing(const FaultSet& set, const FaultRequest& request, int n)
{
    std::vector<int> fired;
    for (int i = 1; i <= n; ++i)
        if (set.Decide(request, At(1)).fired)
            fired.push_back(i);
    return fired;
}

} // namespace

TEST(FaultRules, AfterEveryAndTimesCountTheMatchingRequests)
{
    struct Case { std::uint32_t after, every, times; std::vector<int> want; };
    const Case cases[] = {
        {2, 3, 5, {5, 8, 11, 14, 17}},
        {0, 1, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
        {0, 1, 2, {1, 2}},
        {19, 1, 0, {20}},
        {0, 7, 0, {7, 14}},
    };
    for (const Case& c : cases) {
        FaultRule r = Exception6();
        r.after = c.after;
        r.every = c.every;
        r.times = c.times;
        FaultSet set({r}, T0());
        EXPECT_EQ(Firing(set, Read3(1, 100, 1), 20), c.want) << c.after << " " << c.every << " " << c.times;
        EXPECT_EQ(set.Matched(0), 20u);
        EXPECT_EQ(set.Fired(0), c.want.size());
    }
}

TEST(FaultRules, EveryGivenFieldMustHold)
{
    struct Case { const char* name; void (*set)(FaultRule&); FaultRequest request; bool fires; };
    const Case cases[] = {
        {"unit", [](FaultRule& r) { r.unit = 4; }, Read3(4, 1, 1), true},
        {"other unit", [](FaultRule& r) { r.unit = 4; }, Read3(5, 1, 1), false},
        {"unit 0 is a unit", [](FaultRule& r) { r.unit = 0; }, Read3(0, 1, 1), true},
        {"function listed", [](FaultRule& r) { r.functions = {16, 3}; }, Read3(1, 1, 1), true},
        {"function not listed", [](FaultRule& r) { r.functions = {4}; }, Read3(1, 1, 1), false},
        {"type", [](FaultRule& r) { r.pointType = 3; }, Read3(1, 1, 1), true},
        {"other type", [](FaultRule& r) { r.pointType = 4; }, Read3(1, 1, 1), false},
        {"range touches from below", [](FaultRule& r) { r.first = r.last = 100; }, Read3(1, 90, 11), true},
        {"range ends just before", [](FaultRule& r) { r.first = r.last = 100; }, Read3(1, 90, 10), false},
        {"range starts just after", [](FaultRule& r) { r.first = 100; r.last = 110; }, Read3(1, 111, 5), false},
        {"range covers the rule", [](FaultRule& r) { r.first = 100; r.last = 110; }, Read3(1, 1, 125), true},
        {"address 65536", [](FaultRule& r) { r.first = r.last = 65536; }, Read3(1, 65535, 2), true},
        {"tcp link", [](FaultRule& r) { r.link = "tcp"; }, Read3(1, 1, 1), true},
        {"serial link on tcp", [](FaultRule& r) { r.link = "serial"; }, Read3(1, 1, 1), false},
        {"serial:3", [](FaultRule& r) { r.link = "serial:3"; }, Read3(1, 1, 1, kSerial3), true},
        {"serial:4 on port 3", [](FaultRule& r) { r.link = "serial:4"; }, Read3(1, 1, 1, kSerial3), false},
        {"serial:30 on port 3", [](FaultRule& r) { r.link = "serial:30"; }, Read3(1, 1, 1, kSerial3), false},
        {"disabled", [](FaultRule& r) { r.enabled = false; }, Read3(1, 1, 1), false},
    };
    for (const Case& c : cases) {
        FaultRule r = Exception6();
        c.set(r);
        ASSERT_EQ(CheckFaultRule(r), "") << c.name;
        FaultSet set({r}, T0());
        EXPECT_EQ(set.Decide(c.request, At(1)).fired, c.fires) << c.name;
    }
}

TEST(FaultRules, WriteReadRegistersTouchesEitherRange)
{
    // Function 23: read 10 from address 1, write 2 at address 201.
    const std::uint8_t pdu[] = {23, 0, 0, 0, 10, 0, 200, 0, 2, 4, 0, 1, 0, 2};
    const FaultRequest request = DescribeRequest(kTcp, 1, pdu, sizeof pdu);
    FaultRule r = Exception6();
    r.first = r.last = 202;
    EXPECT_TRUE(FaultSet({r}, T0()).Decide(request, At(1)).fired);
    r.first = r.last = 150;
    EXPECT_FALSE(FaultSet({r}, T0()).Decide(request, At(1)).fired);
}

TEST(FaultRules, TheFirstRuleThatFiresDecidesAndAMatchThatDoesNotFireLetsTheNextTry)
{
    FaultRule late = Exception6();
    late.after = 1;   // matches, but lets the first request through
    late.name = "late";
    FaultRule silent;
    silent.name = "silent";
    silent.action = FaultAction::NoReply;
    FaultSet set({late, silent}, T0());
    const FaultDecision first = set.Decide(Read3(1, 1, 1), At(1));
    ASSERT_TRUE(first.fired);
    EXPECT_EQ(*first.ruleName, "silent");
    const FaultDecision second = set.Decide(Read3(1, 1, 1), At(1));
    ASSERT_TRUE(second.fired);
    EXPECT_EQ(*second.ruleName, "late");
    EXPECT_EQ(second.exceptionCode, 6);
    EXPECT_EQ(set.Matched(1), 1u); // the second request never reached it
}

TEST(FaultRules, ASeededProbabilityGivesTheSameRequestsOnEveryRun)
{
    FaultRule r;
    r.action = FaultAction::Delay;
    r.delayMs = 250;
    r.probability = 0.3;
    r.seed = 7;
    const auto run = [&] {
        FaultSet set({r}, T0());
        return Firing(set, Read3(1, 1, 1), 1000);
    };
    const std::vector<int> a = run();
    EXPECT_EQ(run(), a);
    EXPECT_GT(a.size(), 250u);
    EXPECT_LT(a.size(), 350u);
    r.seed = 8;
    EXPECT_NE(run(), a);
    r.probability = 0.0;
    EXPECT_TRUE(run().empty());
}

TEST(FaultRules, OnlyInsideTheTimeWindow)
{
    FaultRule r;
    r.action = FaultAction::NoReply;
    r.fromS = 5;
    r.untilS = 7;
    FaultSet set({r}, T0());
    struct Case { double s; bool fires; };
    for (const Case c : {Case{0, false}, Case{4.999, false}, Case{5, true}, Case{6.5, true}, Case{7, false}, Case{100, false}})
        EXPECT_EQ(set.Decide(Read3(1, 1, 1), At(c.s)).fired, c.fires) << c.s;
}

TEST(FaultRules, RulesThatCannotWorkAreRefusedNamingTheField)
{
    struct Case { const char* field; void (*set)(FaultRule&); };
    const Case cases[] = {
        {"unit", [](FaultRule& r) { r.unit = 256; }},
        {"type", [](FaultRule& r) { r.pointType = 5; }},
        {"first", [](FaultRule& r) { r.first = 65537; r.last = 65537; }},
        {"first", [](FaultRule& r) { r.first = 5; }},
        {"last", [](FaultRule& r) { r.first = 10; r.last = 9; }},
        {"link", [](FaultRule& r) { r.link = "serial:33"; }},
        {"link", [](FaultRule& r) { r.link = "udp:1"; }},  // "udp" alone names the Modbus/UDP server
        {"every", [](FaultRule& r) { r.every = 0; }},
        {"probability", [](FaultRule& r) { r.probability = 1.5; }},
        {"until_s", [](FaultRule& r) { r.fromS = 5; r.untilS = 4; }},
        {"code", [](FaultRule& r) { r.exceptionCode = 0; }},
        {"action", [](FaultRule& r) { r.action = FaultAction::BadChecksum; r.link = "tcp"; }},
        {"action", [](FaultRule& r) { r.action = FaultAction::Close; }},
        {"bytes", [](FaultRule& r) { r.action = FaultAction::Truncate; }},
        {"gap_ms", [](FaultRule& r) { r.action = FaultAction::Split; }},
        {"delay_ms", [](FaultRule& r) { r.action = FaultAction::NoReply; r.delayMs = 10; }},
    };
    for (const Case& c : cases) {
        FaultRule r = Exception6();
        c.set(r);
        const std::string why = CheckFaultRule(r);
        EXPECT_EQ(why.rfind(c.field, 0), 0u) << c.field << ": " << why;
    }
    FaultRule close;
    close.action = FaultAction::Close;
    close.link = "tcp";
    EXPECT_EQ(CheckFaultRule(close), "");
}

TEST(FaultRules, DescribeReadsTypeAndAddressesAndSurvivesShortRequests)
{
    struct Case { std::vector<std::uint8_t> pdu; int type; std::uint32_t first, last; };
    const Case cases[] = {
        {{1, 0, 0, 0, 16}, 1, 1, 16},
        {{2, 0, 9, 0, 1}, 2, 10, 10},
        {{4, 0xFF, 0xFF, 0, 1}, 4, 65536, 65536},
        {{5, 0, 4, 0xFF, 0}, 1, 5, 5},
        {{6, 0, 4, 0, 7}, 3, 5, 5},
        {{15, 0, 0, 0, 10, 2, 0xFF, 3}, 1, 1, 10},
        {{16, 0, 99, 0, 2, 4, 0, 1, 0, 2}, 3, 100, 101},
        {{22, 0, 1, 0, 0, 0, 0}, 3, 2, 2},
        {{3, 0}, 0, 0, 0},
        {{43, 14, 1, 0, 0}, 0, 0, 0},
        {{}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const FaultRequest r = DescribeRequest(kTcp, 1, c.pdu.data(), c.pdu.size());
        EXPECT_EQ(r.pointType, c.type) << int(c.pdu.empty() ? 0 : c.pdu[0]);
        EXPECT_EQ(r.first, c.first) << int(c.pdu.empty() ? 0 : c.pdu[0]);
        EXPECT_EQ(r.last, c.last) << int(c.pdu.empty() ? 0 : c.pdu[0]);
    }
}

// A set built from another carries each rule's counts by id, wherever the rule now stands; a
// rule new to it (or without an id) starts from nothing.
TEST(FaultRules, CountsAreCarriedByIdWhateverTheOrder)
{
    std::vector<FaultRule> rules;
    for (std::uint32_t id : {5u, 2u, 9u}) {
        FaultRule r = Exception6();
        r.id = id;
        r.unit = static_cast<int>(id);
        rules.push_back(r);
    }
    FaultSet old(rules, T0());
    for (std::uint8_t unit : {5, 2, 2, 9, 9, 9})
        old.Decide(Read3(unit, 100, 1), At(1));
    EXPECT_EQ(old.IndexOf(9), 2u);
    EXPECT_EQ(old.IndexOf(7), FaultSet::kNotFound);

    std::vector<FaultRule> moved = {rules[2], rules[0], rules[1], Exception6()};
    moved.back().id = 7;
    FaultSet next(moved, T0(), &old);
    const std::uint64_t want[] = {3, 1, 2, 0};
    for (std::size_t i = 0; i < moved.size(); ++i) {
        EXPECT_EQ(next.Matched(i), want[i]) << "rule " << moved[i].id;
        EXPECT_EQ(next.IndexOf(moved[i].id), i);
    }
}
