// Scenario files and the program's fault list: what is read, what is refused and why, what is
// written back, and how the list keeps its ids and counters in the engine.
#include "engine/ProtocolEngine.h"
#include "faults/FaultBook.h"
#include "faults/FaultScenario.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>


using namespace faults;
using nlohmann::json;
using pomrel::FaultAction;
using pomrel::FaultRule;

namespace {

const char* const kExample = R"({
  "faults": [
    {"name": "HR 100 busy", "unit": 1, "functions": [3, 16], "type": 3, "first": 100, "last": 100,
     "action": "exception", "code": 6, "after": 2, "every": 3, "times": 5},
    {"name": "device 4 silent 5-7 s", "unit": 4, "action": "no-reply", "from_s": 5, "until_s": 7},
    {"name": "slow line", "link": "serial:3", "action": "delay", "delay_ms": 250, "probability": 0.3, "seed": 7}
  ]
})";

} // namespace

TEST(FaultScenario, TheExampleReadsAsWrittenAndRoundTrips)
{
    std::string error;
    const auto rules = ParseFaultList(json::parse(kExample)["faults"], error);
    ASSERT_TRUE(rules) << error;
    ASSERT_EQ(rules->size(), 3u);
    const FaultRule& busy = (*rules)[0];
    EXPECT_EQ(busy.name, "HR 100 busy");
    EXPECT_EQ(busy.unit, 1);
    EXPECT_EQ(busy.functions, (std::vector<std::uint8_t>{3, 16}));
    EXPECT_EQ(busy.pointType, 3);
    EXPECT_EQ(busy.first, 100u);
    EXPECT_EQ(busy.last, 100u);
    EXPECT_EQ(busy.action, FaultAction::Exception);
    EXPECT_EQ(busy.exceptionCode, 6);
    EXPECT_EQ(busy.after, 2u);
    EXPECT_EQ(busy.every, 3u);
    EXPECT_EQ(busy.times, 5u);
    EXPECT_EQ((*rules)[1].fromS, 5.0);
    EXPECT_EQ((*rules)[1].untilS, 7.0);
    EXPECT_EQ((*rules)[2].link, "serial:3");
    EXPECT_EQ((*rules)[2].delayMs, 250u);
    EXPECT_EQ((*rules)[2].probability, 0.3);
    EXPECT_EQ((*rules)[2].seed, 7u);

    // Written back and read again: the same rules, field for field.
    const auto again = ParseFaultList(json::parse(FaultListToJson(*rules).dump()), error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(FaultListToJson(*again), FaultListToJson(*rules));
    EXPECT_EQ(FaultListToJson(*rules)[0], json::parse(kExample)["faults"][0]);
}

TEST(FaultScenario, OnlyTheActionIsNeededAndAHalfRangeReachesTheEnd)
{
    std::string error;
    const auto rule = ParseFaultRuleText(R"({"action": "no-reply", "first": 100})", error);
    ASSERT_TRUE(rule) << error;
    EXPECT_EQ(rule->link, "any");
    EXPECT_EQ(rule->unit, -1);
    EXPECT_EQ(rule->first, 100u);
    EXPECT_EQ(rule->last, 65536u);
}

TEST(FaultScenario, ARefusedRuleNamesItsIndexItsNameAndTheField)
{
    struct Case { const char* rule; const char* want; };
    const Case cases[] = {
        {R"({"name": "x", "action": "explode"})", R"(rule 2 ("x"): field "action": unknown action "explode")"},
        {R"({"name": "x"})", R"(rule 2 ("x"): field "action": missing)"},
        {R"({"name": "x", "action": "delay", "colour": 1})", R"(rule 2 ("x"): unknown field "colour")"},
        {R"({"name": "x", "action": "delay", "unit": 256})", R"(rule 2 ("x"): field "unit": must be 0 to 255)"},
        {R"({"name": "x", "action": "delay", "unit": "1"})", R"(rule 2 ("x"): field "unit": must be a whole number)"},
        {R"({"name": "x", "action": "delay", "unit": 1.5})", R"(rule 2 ("x"): field "unit": must be a whole number)"},
        {R"({"name": "x", "action": "delay", "functions": [3, 0]})", R"(rule 2 ("x"): field "functions")"},
        {R"({"name": "x", "action": "delay", "functions": 3})", R"(rule 2 ("x"): field "functions")"},
        {R"({"name": "x", "action": "delay", "type": 5})", R"(rule 2 ("x"): field "type": must be 1 to 4)"},
        {R"({"name": "x", "action": "delay", "first": 0})", R"(rule 2 ("x"): field "first": must be 1 to 65536)"},
        {R"({"name": "x", "action": "delay", "first": 10, "last": 9})", R"(rule 2 ("x"): field "last")"},
        {R"({"name": "x", "action": "delay", "probability": 2})", R"(rule 2 ("x"): field "probability": must be 0 to 1)"},
        {R"({"name": "x", "action": "delay", "every": 0})", R"(rule 2 ("x"): field "every": must be 1 to)"},
        {R"({"name": "x", "action": "delay", "from_s": -1})", R"(rule 2 ("x"): field "from_s": must be 0 to 1e+09)"},
        {R"({"name": "x", "action": "exception"})", R"(rule 2 ("x"): field "code": must be 1 to 255)"},
        {R"({"name": "x", "action": "exception", "code": 256})", R"(rule 2 ("x"): field "code": must be 1 to 255)"},
        {R"({"name": "x", "action": "bad-checksum", "link": "tcp"})", R"(rule 2 ("x"): field "action": bad-checksum)"},
        {R"({"name": "x", "action": "close"})", R"(rule 2 ("x"): field "action": close)"},
        {R"({"name": "x", "action": "truncate"})", R"(rule 2 ("x"): field "bytes": must be 1 to 512)"},
        {R"({"name": "x", "action": "split"})", R"(rule 2 ("x"): field "gap_ms": must be 1 to 60000)"},
        {R"({"name": "x", "action": "no-reply", "delay_ms": 5})", R"(rule 2 ("x"): field "delay_ms": only with)"},
        {R"({"name": "x", "action": "delay", "link": "serial:0"})", R"(rule 2 ("x"): field "link")"},
        {R"({"name": "x", "action": "delay", "enabled": 1})", R"(rule 2 ("x"): field "enabled": must be true or false)"},
        {R"({"name": "x", "action": "delay", "code": 6})", R"(rule 2 ("x"): field "code": only with action "exception")"},
        {R"({"name": "x", "action": "split", "gap_ms": 5, "bytes": 2})", R"(rule 2 ("x"): field "bytes": only with)"},
        {R"({"name": "x", "action": "junk", "bytes": 2, "gap_ms": 5})", R"(rule 2 ("x"): field "gap_ms": only with)"},
        {R"([1])", R"(rule 2: must be an object)"},
    };
    for (const Case& c : cases) {
        const json list = json::parse(std::string(R"([{"action": "delay"}, )") + c.rule + "]");
        std::string error;
        EXPECT_FALSE(ParseFaultList(list, error)) << c.rule;
        EXPECT_EQ(error.rfind(c.want, 0), 0u) << c.rule << "\n  got: " << error;
    }
}

// A rule built in code (not parsed from text) holds a seed as a signed integer: it keeps every
// digit up to the largest, where a detour through a double would round it.
TEST(FaultScenario, ASeedGivenAsASignedIntegerKeepsEveryDigit)
{
    for (const std::int64_t seed : {std::int64_t{9007199254740993}, std::numeric_limits<std::int64_t>::max()}) {
        const json j = {{"action", "delay"}, {"probability", 0.5}, {"seed", seed}};
        ASSERT_TRUE(j["seed"].is_number_integer() && !j["seed"].is_number_unsigned());
        std::string error;
        const auto rule = ParseFaultRule(j, error);
        ASSERT_TRUE(rule) << error;
        EXPECT_EQ(rule->seed, static_cast<std::uint64_t>(seed));
    }
}

// The parser kept the last of a field given twice; which one the writer meant cannot be told.
TEST(FaultScenario, AFieldGivenTwiceIsRefusedByName)
{
    struct Case { const char* text; const char* want; };
    const Case cases[] = {
        {R"({"action": "delay", "unit": 1, "unit": 2})", R"(duplicate field "unit")"},
        {R"({"action": "delay", "action": "no-reply"})", R"(duplicate field "action")"},
        {R"({"action": "delay", "unit": 1, "unit": 2)", "not JSON"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseFaultRuleText(c.text, error)) << c.text;
        EXPECT_EQ(error, c.want) << c.text;
    }
}

// At most 10 000 rules are in force: a longer list is refused with its count.
TEST(FaultScenario, AListOfMoreThanTheMostRulesIsRefusedWithItsCount)
{
    json list = json::array();
    for (std::size_t i = 0; i < kMaxFaultRules; ++i)
        list.push_back(json{{"action", "no-reply"}, {"unit", i % 256}});
    std::string error;
    const auto rules = ParseFaultList(list, error);
    ASSERT_TRUE(rules) << error;
    EXPECT_EQ(rules->size(), kMaxFaultRules);
    list.push_back(json{{"action", "no-reply"}});
    EXPECT_FALSE(ParseFaultList(list, error));
    EXPECT_EQ(error, "at most 10000 rules (this list has 10001)");
}

TEST(FaultBook, IdsCountersAndOrder)
{
    pomrel::ProtocolEngine engine;
    FaultBook book(engine);
    FaultRule silent;
    silent.name = "silent";
    silent.action = FaultAction::NoReply;
    const std::uint32_t a = book.Add(silent);
    FaultRule late = silent;
    late.name = "late";
    late.action = FaultAction::Delay;
    late.delayMs = 5;
    const std::uint32_t b = book.Add(late);
    EXPECT_NE(a, b);
    ASSERT_NE(engine.FaultRulesInForce(), nullptr);
    EXPECT_EQ(engine.FaultRulesInForce()->Rules().size(), 2u);

    // Count one request against the set in force, then edit the other rule: the count stays.
    const std::uint8_t pdu[] = {3, 0, 0, 0, 1};
    engine.FaultRulesInForce()->Decide(pomrel::DescribeRequest({}, 1, pdu, sizeof pdu), pomrel::FaultSet::Clock::now());
    EXPECT_TRUE(book.Enable(b, false));
    EXPECT_EQ(book.List()[0].matched, 1u);
    EXPECT_EQ(book.List()[0].fired, 1u);
    EXPECT_FALSE(book.List()[1].rule.enabled);
    EXPECT_TRUE(book.Move(b, -1));
    EXPECT_EQ(book.List()[0].rule.id, b);
    EXPECT_EQ(book.List()[1].matched, 1u);   // the counts go with their rule, not its place
    EXPECT_EQ(book.List()[0].matched, 0u);
    EXPECT_FALSE(book.Move(b, -1));

    // A new list starts its counts again.
    std::string error;
    book.Replace(*ParseFaultList(json::parse(kExample)["faults"], error));
    EXPECT_EQ(book.List().size(), 3u);
    EXPECT_EQ(book.List()[0].matched, 0u);
    EXPECT_TRUE(book.Remove(book.List()[0].rule.id));
    EXPECT_FALSE(book.Remove(9999));
    book.Clear();
    EXPECT_EQ(engine.FaultRulesInForce(), nullptr);
}
