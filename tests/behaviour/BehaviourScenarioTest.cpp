// The "generators" key: what is read, with which defaults, what is refused and why, csv files,
// and what is written back.
#include "behaviour/BehaviourScenario.h"

#include "ScratchDir.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace behaviour;
using nlohmann::json;

namespace {

const char* const kExample = R"({"generators": [
  {"name": "tank level", "unit": 1, "type": 3, "address": 1, "value": "float32",
   "kind": "sine", "min": 0, "max": 100, "period_ms": 60000, "update_ms": 100},
  {"name": "energy", "unit": 1, "type": 4, "address": 20, "value": "uint32", "swapped": true,
   "kind": "counter", "step": 7, "update_ms": 1000},
  {"name": "pump run", "unit": 2, "type": 1, "address": 5, "value": "bit",
   "kind": "steps", "values": [1, 0], "durations_ms": [3000, 500]}
]})";

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

TEST(BehaviourScenario, TheExampleReadsAsWritten)
{
    std::string error;
    const auto b = ParseBehaviour(json::parse(kExample), "", error);
    ASSERT_TRUE(b) << error;
    ASSERT_EQ(b->generators.size(), 3u);
    const GeneratorSpec& tank = b->generators[0];
    EXPECT_EQ(tank.name, "tank level");
    EXPECT_EQ(tank.value, Encoding::Float32);
    EXPECT_EQ(tank.kind, Kind::Sine);
    EXPECT_EQ(tank.Low(), 0.0);
    EXPECT_EQ(tank.High(), 100.0);
    EXPECT_EQ(tank.periodMs, 60000u);
    EXPECT_EQ(tank.updateMs, 100u);
    const GeneratorSpec& energy = b->generators[1];
    EXPECT_EQ(energy.type, 4);
    EXPECT_EQ(energy.address, 20u);
    EXPECT_TRUE(energy.swapped);
    EXPECT_EQ(energy.step, 7.0);
    EXPECT_EQ(energy.Low(), 0.0);                 // the value's range
    EXPECT_EQ(energy.High(), 4294967295.0);
    const GeneratorSpec& pump = b->generators[2];
    EXPECT_EQ(pump.unit, 2);
    EXPECT_EQ(pump.value, Encoding::Bit);
    EXPECT_EQ(pump.values, (std::vector<double>{1, 0}));
    EXPECT_EQ(pump.durationsMs, (std::vector<std::uint32_t>{3000, 500}));
    EXPECT_TRUE(pump.loop);
    EXPECT_EQ(pump.updateMs, 1000u);
    EXPECT_TRUE(pump.enabled);
}

TEST(BehaviourScenario, DefaultsFollowThePointType)
{
    std::string error;
    const auto coil = ParseGenerator(json::parse(R"({"unit": 1, "type": 2, "address": 7, "kind": "square", "period_ms": 100})"), "", error);
    ASSERT_TRUE(coil) << error;
    EXPECT_EQ(coil->value, Encoding::Bit);
    const auto reg = ParseGenerator(json::parse(R"({"unit": 1, "type": 4, "address": 7, "kind": "clock"})"), "", error);
    ASSERT_TRUE(reg) << error;
    EXPECT_EQ(reg->value, Encoding::Uint16);
    EXPECT_FALSE(reg->swapped);
    EXPECT_EQ(reg->Low(), 0.0);
    EXPECT_EQ(reg->High(), 65535.0);
}

TEST(BehaviourScenario, JsonRoundTripIsByteStable)
{
    ScratchDir dir;
    WriteFile(dir.Path() + "/level.csv", "ms,value\n0,1.5\n1000,2\n");
    json extras = json::parse(kExample);
    extras["generators"].push_back(json::parse(R"({"unit": 3, "type": 3, "address": 9, "value": "float64",
        "kind": "csv", "file": "level.csv", "loop": false, "enabled": false})"));
    extras["generators"].push_back(json::parse(R"({"name": "w", "unit": 3, "type": 3, "address": 20, "value": "int16",
        "kind": "random-walk", "min": -5.5, "max": 12, "step": 0.25, "seed": 99, "update_ms": 10})"));
    extras["generators"].push_back(json::parse(R"({"unit": 3, "type": 3, "address": 30, "value": "uint64",
        "kind": "triangle", "period_ms": 1000, "phase": 0.125, "max": 18446744073709551615})"));
    std::string error;
    const auto first = ParseBehaviour(extras, dir.Path(), error);
    ASSERT_TRUE(first) << error;
    json written = json::object();
    BehaviourToJson(*first, written);
    const std::string once = written.dump(2);
    // What was written by hand comes back field for field, less the fields that say their
    // default; uint64's top is the nearest double.
    json expected = extras;
    expected["generators"][1].erase("update_ms");
    expected["generators"][2].erase("value");
    expected["generators"][5]["max"] = 18446744073709551616.0;
    EXPECT_EQ(written, expected);
    const auto second = ParseBehaviour(json::parse(once), dir.Path(), error);
    ASSERT_TRUE(second) << error;
    json again = json::object();
    BehaviourToJson(*second, again);
    EXPECT_EQ(again.dump(2), once);
}

TEST(BehaviourScenario, AFileWithoutTheKeyLeavesNothingToWrite)
{
    std::string error;
    const auto b = ParseBehaviour(json::parse(R"({"faults": []})"), "", error);
    ASSERT_TRUE(b) << error;
    EXPECT_TRUE(b->generators.empty());
    json extras = json::parse(R"({"faults": [], "generators": [1]})");
    BehaviourToJson(*b, extras);
    EXPECT_EQ(extras, json::parse(R"({"faults": []})"));
}

struct Refusal {
    const char* generator;   // the second of a list whose first is good
    const char* message;
};

class GeneratorRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(GeneratorRefusals, NameTheGeneratorAndTheField)
{
    ScratchDir dir;
    std::filesystem::create_directory(dir.Path() + "/folder.csv");
    WriteFile(dir.Path() + "/bad.csv", "0,1\n# a note\n\n500,2\n400,3\n");
    WriteFile(dir.Path() + "/neg.csv", "0,1\n10,-1\n");
    const json list = json::array({json::parse(R"({"unit": 1, "type": 3, "address": 1, "kind": "clock"})"),
                                   json::parse(GetParam().generator)});
    std::string error;
    EXPECT_FALSE(ParseGeneratorList(list, dir.Path(), error));
    EXPECT_EQ(error, GetParam().message);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, GeneratorRefusals, testing::Values(
    Refusal{R"({"name": "g", "unit": 1, "type": 3, "address": 1, "kind": "sine", "perod_ms": 10})",
            R"(generator 2 ("g"): unknown field "perod_ms")"},
    Refusal{R"({"name": "g", "unit": 0, "type": 3, "address": 1, "kind": "clock"})",
            R"(generator 2 ("g"): field "unit": must be 1 to 255)"},
    Refusal{R"({"name": "g", "type": 3, "address": 1, "kind": "clock"})",
            R"(generator 2 ("g"): field "unit": missing (1 to 255))"},
    Refusal{R"({"unit": 1, "type": 5, "address": 1, "kind": "clock"})",
            R"(generator 2: field "type": must be 1 to 4)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 65537, "kind": "clock"})",
            R"(generator 2: field "address": must be 1 to 65536)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 65534, "value": "float64", "kind": "clock"})",
            R"(generator 2: field "address": the value's words run past 65536)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "value": "float16", "kind": "clock"})",
            R"(generator 2: field "value": unknown value "float16" (bit, int16, uint16, int32, uint32, int64, uint64, float32 or float64))"},
    Refusal{R"({"unit": 1, "type": 1, "address": 1, "value": "uint16", "kind": "clock"})",
            R"(generator 2: field "value": coils and inputs take only "bit")"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "value": "bit", "kind": "clock"})",
            R"(generator 2: field "value": "bit" only for coils and inputs (type 1 or 2))"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "swapped": true, "kind": "clock"})",
            R"(generator 2: field "swapped": only with a value of several words)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "saw"})",
            R"(generator 2: field "kind": unknown kind "saw")"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "sine"})",
            R"(generator 2: field "period_ms": missing (1 to 86400000))"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "square", "period_ms": 100, "phase": 1.5})",
            R"(generator 2: field "phase": must be 0 to 1)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "sine", "period_ms": 100, "seed": 4})",
            R"(generator 2: field "seed": only with kind random or random-walk)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "steps", "values": [1], "durations_ms": [5], "min": 0})",
            R"(generator 2: field "min": only with kind sine, triangle, ramp, square, random, random-walk or counter)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "random", "min": 9, "max": 3})",
            R"(generator 2: field "max": must not be below min)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "value": "int16", "kind": "random", "min": -40000})",
            R"(generator 2: field "min": must be -32768 to 32767)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "clock", "update_ms": 9})",
            R"(generator 2: field "update_ms": must be 10 to 3600000)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "clock", "update_ms": 3600001})",
            R"(generator 2: field "update_ms": must be 10 to 3600000)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "counter", "step": 0})",
            R"(generator 2: field "step": must be above 0)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "counter", "step": 1.5})",
            R"(generator 2: field "step": must be a whole number for an integer value)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "steps", "values": [1, 2], "durations_ms": [5]})",
            R"(generator 2: field "durations_ms": must be a list of one time for each value)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "steps", "values": [1, 70000], "durations_ms": [5, 5]})",
            R"(generator 2: field "values": must be numbers 0 to 65535)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "clock", "loop": false})",
            R"(generator 2: field "loop": only with kind steps or csv)"},
    Refusal{R"({"unit": 1, "type": 3, "address": 1, "kind": "clock", "enabled": "yes"})",
            R"(generator 2: field "enabled": must be true or false)"},
    Refusal{R"({"name": "c", "unit": 1, "type": 3, "address": 1, "kind": "csv"})",
            R"(generator 2 ("c"): field "file": missing (a csv file of rows ms,value))"},
    Refusal{R"({"name": "c", "unit": 1, "type": 3, "address": 1, "kind": "csv", "file": "nope.csv"})",
            R"(generator 2 ("c"): field "file": nope.csv: no such file)"},
    Refusal{R"({"name": "c", "unit": 1, "type": 3, "address": 1, "kind": "csv", "file": "folder.csv"})",
            R"(generator 2 ("c"): field "file": folder.csv: not a regular file)"},
    Refusal{R"({"name": "c", "unit": 1, "type": 3, "address": 1, "kind": "csv", "file": "bad.csv"})",
            R"(generator 2 ("c"): field "file": bad.csv:5: time 400 not after the row before)"},
    Refusal{R"({"name": "c", "unit": 1, "type": 3, "address": 1, "kind": "csv", "file": "neg.csv"})",
            R"(generator 2 ("c"): field "file": neg.csv:2: value -1 outside 0 to 65535)"},
    Refusal{R"([1, 2])", R"(generator 2: must be an object)"}));
// clang-format on

TEST(BehaviourScenario, CsvFilesAreBoundedAndToldByLine)
{
    ScratchDir dir;
    const std::string big = dir.Path() + "/big.csv";
    WriteFile(big, "0,1\n");
    std::filesystem::resize_file(big, kMaxCsvBytes + 1);
    std::string error;
    EXPECT_FALSE(ReadCsvRows(big, "big.csv", 0, 10, error));
    EXPECT_EQ(error, "big.csv: larger than 16777216 bytes");

    const std::string text = dir.Path() + "/t.csv";
    WriteFile(text, "ms,value\r\n0, 1.5\r\n250,x\r\n");
    EXPECT_FALSE(ReadCsvRows(text, "t.csv", 0, 10, error));
    EXPECT_EQ(error, "t.csv:3: value \"x\" is not a number");

    WriteFile(text, "time,level\n 0 , 1.5 \n\n# pause\n250,2\n");
    const auto rows = ReadCsvRows(text, "t.csv", 0, 10, error);
    ASSERT_TRUE(rows) << error;
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].ms, 0);
    EXPECT_EQ((*rows)[0].value, 1.5);
    EXPECT_EQ((*rows)[1].ms, 250);

    WriteFile(text, "0,1\n250\n");
    EXPECT_FALSE(ReadCsvRows(text, "t.csv", 0, 10, error));
    EXPECT_EQ(error, "t.csv:2: expected ms,value");
}

TEST(BehaviourScenario, GeneratorsSharingACsvFileShareItsRows)
{
    ScratchDir dir;
    WriteFile(dir.Path() + "/level.csv", "0,1\n100,2\n");
    json list = json::array();
    for (int i = 0; i < 3; ++i)
        list.push_back({{"unit", 1}, {"type", 3}, {"address", 1 + i}, {"kind", "csv"}, {"file", "level.csv"}});
    std::string error;
    const auto parsed = ParseGeneratorList(list, dir.Path(), error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_TRUE((*parsed)[0].rows);
    EXPECT_EQ((*parsed)[0].rows, (*parsed)[2].rows);
    EXPECT_EQ((*parsed)[0].rows->size(), 2u);
}
