// The rule editor's texts: a rule shown and read back is the same rule; what a file would refuse,
// the editor refuses with the same words.
#include "faults/FaultForm.h"
#include "faults/FaultScenario.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using namespace faults;

TEST(FaultForm, ARuleShownAndReadBackIsTheSameRule)
{
    const char* const rules[] = {
        R"({"name": "HR 100 busy", "unit": 1, "functions": [3, 16], "type": 3, "first": 100, "last": 100,
            "action": "exception", "code": 6, "after": 2, "every": 3, "times": 5})",
        R"({"name": "slow", "link": "serial:3", "action": "delay", "delay_ms": 250, "probability": 0.3, "seed": 7})",
        R"({"action": "split", "gap_ms": 40, "from_s": 1.5, "until_s": 9, "enabled": false})",
        R"({"action": "close", "link": "tcp"})",
    };
    for (const char* text : rules) {
        std::string error;
        const auto rule = ParseFaultRuleText(text, error);
        ASSERT_TRUE(rule) << error;
        const auto back = RuleFromForm(FormFromRule(*rule), error);
        ASSERT_TRUE(back) << text << ": " << error;
        EXPECT_EQ(FaultRuleToJson(*back), FaultRuleToJson(*rule)) << text;
    }
}

TEST(FaultForm, EmptyFieldsAreNotGivenAndBadTextIsRefusedByName)
{
    FaultForm form;
    form.text[FaultForm::kAction] = "no-reply";
    form.text[FaultForm::kUnit] = "  ";
    std::string error;
    const auto rule = RuleFromForm(form, error);
    ASSERT_TRUE(rule) << error;
    EXPECT_EQ(rule->unit, -1);

    struct Case { int field; const char* text; const char* want; };
    const Case cases[] = {
        {FaultForm::kUnit, "one", "field \"unit\": must be a whole number"},
        {FaultForm::kUnit, "300", "field \"unit\": must be 0 to 255"},
        {FaultForm::kFunctions, "3, x", "field \"functions\""},
        {FaultForm::kProbability, "1.5", "field \"probability\": must be 0 to 1"},
        {FaultForm::kAction, "melt", "field \"action\": unknown action \"melt\""},
    };
    for (const Case& c : cases) {
        FaultForm bad = form;
        bad.text[static_cast<std::size_t>(c.field)] = c.text;
        EXPECT_FALSE(RuleFromForm(bad, error)) << c.text;
        EXPECT_EQ(error.rfind(c.want, 0), 0u) << c.text << ": " << error;
    }
}
