// The rule editor's texts: a rule shown and read back is the same rule; what a file would refuse,
// the editor refuses, naming the field by its label; fields the action does not use are left out.
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
        {FaultForm::kUnit, "one", "Unit: must be a whole number"},
        {FaultForm::kUnit, "300", "Unit: must be 0 to 255"},
        {FaultForm::kFunctions, "3, x", "Functions: "},
        {FaultForm::kProbability, "1.5", "Probability: must be 0 to 1"},
        {FaultForm::kAction, "melt", "Action: unknown action \"melt\""},
        {FaultForm::kLast, "0", "Last address: must be 1 to 65536"},
    };
    for (const Case& c : cases) {
        FaultForm bad = form;
        bad.text[static_cast<std::size_t>(c.field)] = c.text;
        EXPECT_FALSE(RuleFromForm(bad, error)) << c.text;
        EXPECT_EQ(error.rfind(c.want, 0), 0u) << c.text << ": " << error;
    }
}

// A field the action does not use is neither read nor refused (a new no-reply rule keeps the
// delay the editor starts with); the fields it uses are, by their labels.
TEST(FaultForm, OnlyTheFieldsOfTheActionCount)
{
    struct Case {
        const char* action;
        int field;
        const char* text;
        const char* refusal;   // nullptr: accepted, and the field left out of the rule
    };
    const Case cases[] = {
        {"no-reply", FaultForm::kDelayMs, "100", nullptr},
        {"close", FaultForm::kDelayMs, "100", nullptr},
        {"delay", FaultForm::kCode, "6", nullptr},
        {"delay", FaultForm::kBytes, "9", nullptr},
        {"exception", FaultForm::kGapMs, "40", nullptr},
        {"delay", FaultForm::kDelayMs, "700000", "Delay (ms): must be 0 to 600000"},
        {"exception", FaultForm::kCode, "0", "Exception code: must be 1 to 255"},
        {"truncate", FaultForm::kBytes, "0", "Bytes: must be 1 to 512"},
        {"split", FaultForm::kGapMs, "x", "Gap (ms): must be a whole number"},
    };
    for (const Case& c : cases) {
        FaultForm form;
        form.text[FaultForm::kAction] = c.action;
        form.text[FaultForm::kLink] = "tcp";   // close is for connections
        form.text[FaultForm::kCode] = "4";
        form.text[FaultForm::kBytes] = "3";
        form.text[FaultForm::kGapMs] = "20";
        form.text[static_cast<std::size_t>(c.field)] = c.text;
        EXPECT_EQ(FaultForm::FieldUsed(c.field, c.action), c.refusal != nullptr) << c.action << " " << c.field;
        std::string error;
        int field = -2;
        const auto rule = RuleFromForm(form, error, &field);
        if (!c.refusal) {
            ASSERT_TRUE(rule) << c.action << ": " << error;
            EXPECT_FALSE(FaultRuleToJson(*rule).contains(FaultForm::FieldName(c.field))) << c.action;
            EXPECT_EQ(field, -1);
        } else {
            EXPECT_FALSE(rule) << c.action;
            EXPECT_EQ(error, c.refusal);
            EXPECT_EQ(field, c.field) << error;
        }
    }
}

TEST(FaultForm, ChoicesNameTheValuesAndOtherTextIsKept)
{
    const auto codes = ExceptionChoices();
    ASSERT_EQ(codes.size(), 10u);   // 01 to 08, 0A, 0B: 09 is not a code
    EXPECT_EQ(codes.front().shown, "01 Illegal Function");
    EXPECT_EQ(codes.back().shown, "0B Gateway Target Device Failed to Respond");
    struct Case {
        std::vector<FormChoice> choices;
        const char* shown;
        const char* value;
    };
    const Case cases[] = {
        {codes, "0B Gateway Target Device Failed to Respond", "11"},
        {codes, "06 Server Device Busy", "6"},
        {codes, " 12 ", "12"},   // another number, as typed
        {PointTypeChoices(), "Holding registers", "3"},
        {PointTypeChoices(), "Input registers", "4"},
        {PointTypeChoices(), "Any", ""},
        {LinkChoices({"tcp", "serial:3"}), "Serial port 3 (serial:3)", "serial:3"},
        {LinkChoices({"tcp", "serial:3"}), "Any link", "any"},
        {LinkChoices({"tcp"}), "serial:5", "serial:5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChoiceValue(c.choices, c.shown), c.value) << c.shown;
    const auto links = LinkChoices({"tcp", "udp", "rtu-over-tcp", "tls", "serial:3"});
    std::vector<std::string> values;
    for (const FormChoice& c : links)
        values.push_back(c.value);
    EXPECT_EQ(values, (std::vector<std::string>{"any", "tcp", "udp", "rtu-over-tcp", "tls", "serial:3"}));
}
