// The generator editor's fields: a generator read back from its own fields is the same
// generator, refusals name the field by its label, and fields of other kinds are left out.
#include "behaviour/GeneratorForm.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using namespace behaviour;
using F = GeneratorForm;

namespace {

GeneratorSpec Parse(const char* text)
{
    std::string error;
    auto g = ParseGenerator(nlohmann::json::parse(text), "", error);
    EXPECT_TRUE(g) << text << ": " << error;
    return g ? *g : GeneratorSpec{};
}

} // namespace

TEST(GeneratorForm, EveryKindComesBackFromItsOwnFields)
{
    const char* const cases[] = {
        R"({"name": "tank", "unit": 7, "type": 4, "address": 65535, "value": "float32", "swapped": true,
            "kind": "sine", "min": -2.5, "max": 100.25, "period_ms": 60000, "phase": 0.25, "update_ms": 100})",
        R"({"unit": 1, "type": 3, "address": 20, "value": "uint32", "kind": "counter", "step": 7, "min": 3, "max": 90})",
        R"({"unit": 2, "type": 1, "address": 5, "kind": "steps", "values": [1, 0, 1], "durations_ms": [3000, 500, 20],
            "loop": false, "enabled": false})",
        R"({"unit": 1, "type": 3, "address": 9, "value": "int16", "kind": "random-walk", "seed": 424242, "step": 3,
            "min": -50, "max": 50})",
        R"({"unit": 1, "type": 3, "address": 9, "value": "int64", "kind": "clock"})",
        R"({"unit": 1, "type": 3, "address": 9, "value": "float64", "kind": "random", "seed": 1})",
        R"({"unit": 1, "type": 2, "address": 1, "kind": "square", "period_ms": 2000})",
    };
    for (const char* text : cases) {
        const GeneratorSpec g = Parse(text);
        std::string error;
        auto back = SpecFromForm(FormFromSpec(g), "", error);
        ASSERT_TRUE(back) << text << ": " << error;
        EXPECT_EQ(GeneratorToJson(*back), GeneratorToJson(g)) << text;
    }
}

TEST(GeneratorForm, RefusalsNameTheFieldByItsLabel)
{
    struct Case {
        int field;
        const char* text;
        const char* starts;
    };
    const Case cases[] = {
        {F::kMax, "-1", "Max: must be 0 to 65535"},
        {F::kUnit, "0", "Unit: must be 1 to 255"},
        {F::kAddress, "abc", "Address: "},
        {F::kPeriodMs, "", "Period (ms): missing"},
        {F::kPhase, "1.5", "Phase: "},
        {F::kUpdateMs, "5", "Update every (ms): "},
        {F::kUpdateMs, "1.5", "Update every (ms): must be a whole number"},
    };
    for (const Case& c : cases) {
        GeneratorForm form = FormForPoint(1, 3, 10);
        form.text[static_cast<std::size_t>(c.field)] = c.text;
        std::string error;
        int field = -2;
        EXPECT_FALSE(SpecFromForm(form, "", error, &field)) << c.starts;
        EXPECT_EQ(error.rfind(c.starts, 0), 0u) << error;
        EXPECT_EQ(field, c.field) << error;
    }

    GeneratorForm steps = FormForPoint(1, 3, 10);
    steps.text[F::kKind] = "steps";
    steps.text[F::kValues] = "1, x";
    steps.text[F::kDurationsMs] = "10, 20";
    std::string error;
    int field = -2;
    EXPECT_FALSE(SpecFromForm(steps, "", error, &field));
    EXPECT_EQ(field, F::kValues) << error;
    steps.text[F::kValues] = "1 2 3";
    EXPECT_FALSE(SpecFromForm(steps, "", error, &field));
    EXPECT_EQ(field, F::kDurationsMs) << error;
}

// What the editor still shows of another kind is not the generator's: a sine turned into a
// counter keeps no period, and a word value no "high word first".
TEST(GeneratorForm, FieldsOfOtherKindsAreLeftOut)
{
    GeneratorForm form = FormForPoint(1, 3, 10, Encoding::Float32, true);
    EXPECT_FALSE(form.text[F::kPeriodMs].empty());
    form.text[F::kKind] = "counter";
    form.text[F::kValue] = "uint16";
    form.text[F::kValues] = "junk";
    std::string error;
    auto g = SpecFromForm(form, "", error);
    ASSERT_TRUE(g) << error;
    EXPECT_EQ(g->kind, Kind::Counter);
    EXPECT_EQ(g->periodMs, 0u);
    EXPECT_FALSE(g->swapped);
    EXPECT_TRUE(g->values.empty());

    EXPECT_TRUE(F::FieldUsed(F::kSwapped, "sine", "float64"));
    EXPECT_FALSE(F::FieldUsed(F::kSwapped, "sine", "int16"));
    EXPECT_FALSE(F::FieldUsed(F::kMin, "steps", "uint16"));
    EXPECT_TRUE(F::FieldUsed(F::kLoop, "csv", "uint16"));
    EXPECT_FALSE(F::FieldUsed(F::kSeed, "counter", "uint16"));
    EXPECT_TRUE(F::FieldUsed(F::kStep, "random-walk", "uint16"));
}

// A data window's point gets a generator the reader takes as it stands: a square for bits, a
// sine in the value the window shows for registers.
TEST(GeneratorForm, APointsPresetIsTakenAsItStands)
{
    std::string error;
    auto coil = SpecFromForm(FormForPoint(3, 1, 17), "", error);
    ASSERT_TRUE(coil) << error;
    EXPECT_EQ(coil->kind, Kind::Square);
    EXPECT_EQ(coil->value, Encoding::Bit);
    EXPECT_EQ(coil->address, 17u);
    auto reg = SpecFromForm(FormForPoint(3, 4, 65535, Encoding::Float32, true), "", error);
    ASSERT_TRUE(reg) << error;
    EXPECT_EQ(reg->value, Encoding::Float32);
    EXPECT_TRUE(reg->swapped);
    EXPECT_EQ(reg->unit, 3);
    EXPECT_EQ(reg->type, 4);
}
