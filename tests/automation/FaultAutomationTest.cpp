// The fault methods of automation over a real engine: ids, refusals with their message, the list
// with counters, and scenario loading through the program's loader.
#include "automation/FaultAutomation.h"
#include "engine/ProtocolEngine.h"
#include "faults/FaultBook.h"
#include "faults/FaultScenario.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(FaultAutomation, AddListEnableRemoveClear)
{
    pomrel::ProtocolEngine engine;
    faults::FaultBook book(engine);
    std::string loadedFrom;
    FaultAutomation methods(book, [&](const std::string& path, std::string& error) {
        loadedFrom = path;
        if (path == "bad.json") {
            error = "bad.json: rule 1: field \"unit\": must be 0 to 255";
            return false;
        }
        return true;
    });

    const FaultCallResult added = methods.AddFault(json::parse(R"({"name": "busy", "action": "exception", "code": 6})"));
    ASSERT_EQ(added.status, 0) << added.message;
    const std::int64_t id = added.value.get<std::int64_t>();
    EXPECT_GT(id, 0);

    struct Refusal { FaultCallResult result; const char* message; };
    const Refusal refusals[] = {
        {methods.AddFault(json::parse(R"({"action": "exception"})")), "field \"code\": must be 1 to 255"},
        {methods.AddFault(json::parse(R"({"action": "delay", "colour": "red"})")), "unknown field \"colour\""},
        {methods.AddFault(json::parse("[]")), "must be an object"},
        {methods.RemoveFault(id + 100), "no fault rule"},
        {methods.EnableFault(0, true), "no fault rule 0"},
        {methods.EnableFault(-5, true), "no fault rule -5"},
        {methods.LoadScenario("bad.json"), "bad.json: rule 1: field \"unit\""},
    };
    for (const Refusal& r : refusals) {
        EXPECT_EQ(r.result.status, -1) << r.message;
        EXPECT_EQ(r.result.message.rfind(r.message, 0), 0u) << r.result.message;
    }
    EXPECT_EQ(loadedFrom, "bad.json");

    const std::uint8_t pdu[] = {3, 0, 0, 0, 1};
    engine.FaultRulesInForce()->Decide(pomrel::DescribeRequest({}, 1, pdu, sizeof pdu), pomrel::FaultSet::Clock::now());
    EXPECT_EQ(methods.EnableFault(id, false).status, 0);
    const json list = methods.ListFaults().value;
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["id"], id);
    EXPECT_EQ(list[0]["name"], "busy");
    EXPECT_EQ(list[0]["code"], 6);
    EXPECT_EQ(list[0]["enabled"], false);
    EXPECT_EQ(list[0]["matched"], 1);
    EXPECT_EQ(list[0]["fired"], 1);

    EXPECT_EQ(methods.LoadScenario("good.json").status, 0);
    EXPECT_EQ(methods.RemoveFault(id).status, 0);
    EXPECT_EQ(methods.ListFaults().value.size(), 0u);
    methods.AddFault(json::parse(R"({"action": "no-reply"})"));
    EXPECT_EQ(methods.ClearFaults().status, 0);
    EXPECT_EQ(engine.FaultRulesInForce(), nullptr);
}

// At most 10 000 rules in force: one more is refused with the count, and listing that many
// gives every rule with its id.
TEST(FaultAutomation, NoRuleIsAddedBeyondTheMost)
{
    pomrel::ProtocolEngine engine;
    faults::FaultBook book(engine);
    FaultAutomation methods(book, [](const std::string&, std::string&) { return true; });
    std::vector<pomrel::FaultRule> rules(faults::kMaxFaultRules);
    for (auto& r : rules)
        r.action = pomrel::FaultAction::NoReply;
    book.Replace(std::move(rules));
    EXPECT_TRUE(book.Full());
    const FaultCallResult refused = methods.AddFault(json::parse(R"({"action": "no-reply"})"));
    EXPECT_EQ(refused.status, -1);
    EXPECT_EQ(refused.message, "at most 10000 fault rules in force (there are 10000)");
    EXPECT_EQ(book.Add(pomrel::FaultRule{}), 0u);

    const json list = methods.ListFaults().value;
    ASSERT_EQ(list.size(), faults::kMaxFaultRules);
    EXPECT_EQ(list.back()["id"], book.Rules().back().id);
    EXPECT_TRUE(book.Remove(book.Rules().front().id));
    EXPECT_EQ(methods.AddFault(json::parse(R"({"action": "no-reply"})")).status, 0);
}
