// The "reactions" and "scripts" keys: what a file may say, what it may not (the refusal names the
// item and the field), and that a list written back reads the same.
#include "behaviour/BehaviourScenario.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using namespace behaviour;
using nlohmann::json;

TEST(ReactionScenario, ReadsEveryFieldAndWritesItBackTheSame)
{
    const json extras = json::parse(R"({
      "reactions": [
        {"name": "ack start", "unit": 1, "type": 3, "address": 100, "equals": 1,
         "action": "copy", "target": {"unit": 1, "type": 3, "address": 101}, "after_ms": 200},
        {"name": "self-clearing command", "unit": 1, "type": 3, "address": 100, "action": "clear", "after_ms": 500},
        {"unit": 2, "type": 1, "address": 7, "action": "toggle", "target": {"unit": 2, "type": 1, "address": 8}},
        {"unit": 1, "type": 3, "address": 10, "action": "add", "value": 2.5, "width": "float32", "swapped": true,
         "target": {"unit": 1, "type": 4, "address": 20}, "enabled": false},
        {"unit": 1, "type": 3, "address": 30, "action": "copy", "value": "int32", "target": {"unit": 1, "type": 3, "address": 40}}
      ],
      "scripts": [{"name": "filler", "file": "filler.lua", "tick_ms": 100}, {"file": "sub/other.lua"}]
    })");
    std::string error;
    const auto b = ParseBehaviour(extras, "/base", error);
    ASSERT_TRUE(b) << error;
    ASSERT_EQ(b->reactions.size(), 5u);
    const ReactionSpec& ack = b->reactions[0];
    EXPECT_EQ(ack.name, "ack start");
    EXPECT_EQ(ack.point, (PointRef{1, 3, 100}));
    EXPECT_EQ(ack.equals, 1.0);
    EXPECT_EQ(ack.action, ReactionAction::Copy);
    EXPECT_EQ(ack.target, (PointRef{1, 3, 101}));
    EXPECT_EQ(ack.afterMs, 200u);
    EXPECT_EQ(ack.encoding, Encoding::Uint16);
    EXPECT_FALSE(b->reactions[1].target);
    EXPECT_EQ(b->reactions[3].value, 2.5);
    EXPECT_EQ(b->reactions[3].encoding, Encoding::Float32);
    EXPECT_TRUE(b->reactions[3].swapped);
    EXPECT_FALSE(b->reactions[3].enabled);
    EXPECT_EQ(b->reactions[4].encoding, Encoding::Int32);
    ASSERT_EQ(b->scripts.size(), 2u);
    EXPECT_EQ(b->scripts[0].tickMs, 100u);
    EXPECT_EQ(b->scripts[0].path, "/base/filler.lua");
    EXPECT_EQ(b->scripts[1].file, "sub/other.lua");
    EXPECT_EQ(b->scripts[1].tickMs, 0u);

    json written = json::object();
    BehaviourToJson(*b, written);
    EXPECT_EQ(written["reactions"], extras["reactions"]);
    EXPECT_EQ(written["scripts"], extras["scripts"]);
    const auto again = ParseBehaviour(written, "/base", error);
    ASSERT_TRUE(again) << error;
    json second = json::object();
    BehaviourToJson(*again, second);
    EXPECT_EQ(second.dump(), written.dump());
}

TEST(ReactionScenario, RefusalsNameTheItemAndTheField)
{
    const struct {
        const char* extras;
        const char* error;
    } cases[] = {
        {R"({"reactions": [{"name": "a", "unit": 1, "type": 3, "address": 1, "action": "copy"}]})",
         R"(reaction 1 ("a"): field "target": missing ({"unit", "type", "address"}))"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "clear"},
                           {"name": "b", "unit": 1, "type": 4, "address": 1, "action": "clear"}]})",
         R"(reaction 2 ("b"): field "type": a master writes only coils (1) and holding registers (3))"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "clear", "target": {"unit": 1, "type": 3, "address": 2}}]})",
         R"(reaction 1: field "target": clear acts on the written point itself)"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "set", "target": {"unit": 1, "type": 3, "address": 2}}]})",
         R"(reaction 1: field "value": missing (the number to set))"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "copy", "value": 3, "target": {"unit": 1, "type": 3, "address": 2}}]})",
         R"(reaction 1: field "value": a number only with action set or add (else the width's name))"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "copy", "value": "int12", "target": {"unit": 1, "type": 3, "address": 2}}]})",
         R"(reaction 1: field "value": unknown width "int12" (bit, int16, uint16, int32, uint32, int64, uint64, float32 or float64))"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "copy", "after_ms": 3600001, "target": {"unit": 1, "type": 3, "address": 2}}]})",
         R"(reaction 1: field "after_ms": must be 0 to 3600000)"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "copy", "target": {"unit": 1, "type": 5, "address": 2}}]})",
         R"(reaction 1: field "target": field "type": must be 1 to 4)"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "copy", "value": "float64", "target": {"unit": 1, "type": 3, "address": 65534}}]})",
         R"(reaction 1: field "target": field "address": the value's words run past 65536)"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "push"}]})",
         R"(reaction 1: field "action": unknown action "push" (copy, set, add, toggle or clear))"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "clear", "when": 1}]})",
         R"(reaction 1: unknown field "when")"},
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 1, "action": "add", "value": 1, "width": "int32", "swapped": 1, "target": {"unit": 1, "type": 3, "address": 2}}]})",
         R"(reaction 1: field "swapped": must be true or false)"},
        {R"({"reactions": {}})", R"("reactions" must be a list of reactions)"},
        {R"({"scripts": [{"name": "s", "tick_ms": 100}]})", R"(script 1 ("s"): field "file": missing (the Lua file, relative to the extras file))"},
        {R"({"scripts": [{"file": "a.lua", "tick_ms": 5}]})", R"(script 1: field "tick_ms": must be 0 (no ticks) or 10 to 3600000)"},
        {R"({"scripts": [{"file": "a.lua", "every": 5}]})", R"(script 1: unknown field "every")"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseBehaviour(json::parse(c.extras), "", error)) << c.extras;
        EXPECT_EQ(error, c.error) << c.extras;
    }
}
