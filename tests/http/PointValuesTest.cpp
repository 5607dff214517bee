// /points: references, value names and their words, and reads and writes through the automation
// methods over real documents.
#include "http/PointValues.h"

#include "automation/Automation.h"
#include "automation/MethodRegistry.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using web::PointRef;
using web::ValueName;

TEST(PointRefText, Forms) {
    struct Case { const char* text; int type; std::uint32_t address; };
    const Case good[] = {
        {"40001", 3, 1}, {"49999", 3, 9999}, {"400001", 3, 1}, {"410000", 3, 10000}, {"465536", 3, 65536},
        {"1", 1, 1}, {"17", 1, 17}, {"9999", 1, 9999}, {"00017", 1, 17}, {"010000", 1, 10000},
        {"10001", 2, 1}, {"165535", 2, 65535}, {"30001", 4, 1}, {"312345", 4, 12345},
    };
    for (const Case& c : good) {
        std::string error;
        const auto ref = web::ParsePointRef(c.text, error);
        ASSERT_TRUE(ref) << c.text << ": " << error;
        EXPECT_EQ(*ref, (PointRef{c.type, c.address})) << c.text;
    }
    for (const char* bad : {"", "0", "40000", "400000", "465537", "20001", "200001", "50001", "900001", "4000001",
                            "-40001", "4e4", "40001 ", "0x10", "４0001"}) {
        std::string error;
        EXPECT_FALSE(web::ParsePointRef(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ValueWords, LayoutLowWordFirstUnlessSwapped) {
    // Expected words from the IEEE 754 and two's complement bit patterns, written out by hand.
    struct Case {
        ValueName name;
        nlohmann::json value;
        std::vector<std::uint16_t> words;  // not swapped, from the reference on
    };
    const Case cases[] = {
        {ValueName::Bit, 1, {1}},
        {ValueName::Bit, true, {1}},
        {ValueName::Bit, 0, {0}},
        {ValueName::Int16, -2, {0xFFFE}},
        {ValueName::Uint16, 65535, {0xFFFF}},
        {ValueName::Int32, -2, {0xFFFE, 0xFFFF}},
        {ValueName::Int32, 0x12345678, {0x5678, 0x1234}},
        {ValueName::Uint32, 4294967295u, {0xFFFF, 0xFFFF}},
        {ValueName::Int64, -1, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}},
        {ValueName::Int64, 0x0102030405060708, {0x0708, 0x0506, 0x0304, 0x0102}},
        {ValueName::Uint64, 18446744073709551615u, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}},
        {ValueName::Float32, 2.5, {0x0000, 0x4020}},
        {ValueName::Float32, -1, {0x0000, 0xBF80}},
        {ValueName::Float32, "Infinity", {0x0000, 0x7F80}},
        {ValueName::Float64, 1.0, {0, 0, 0, 0x3FF0}},
        {ValueName::Float64, -2.5, {0, 0, 0, 0xC004}},
        {ValueName::Float64, "-Infinity", {0, 0, 0, 0xFFF0}},
    };
    for (const Case& c : cases) {
        for (const bool swapped : {false, true}) {
            std::vector<std::uint16_t> expected = c.words;
            if (swapped) std::reverse(expected.begin(), expected.end());
            std::string error;
            const auto words = web::WordsFromValue(c.name, c.value, swapped, error);
            ASSERT_TRUE(words) << c.value << ": " << error;
            EXPECT_EQ(*words, expected) << c.value << (swapped ? " swapped" : "");
            const nlohmann::json back = web::ValueFromWords(c.name, expected, swapped);
            if (c.value.is_boolean()) EXPECT_EQ(back, 1);
            else EXPECT_EQ(back, c.value) << c.value;
        }
    }
    // NaN comes back as the word automation uses.
    EXPECT_EQ(web::ValueFromWords(ValueName::Float32, std::vector<std::uint16_t>{0, 0x7FC0}, false), "NaN");
    EXPECT_EQ(web::ValueFromWords(ValueName::Float64, std::vector<std::uint16_t>{0, 0, 0, 0x7FF8}, false), "NaN");
    // A float32 reads as the shortest decimal of the float, not of the double it widens to.
    EXPECT_EQ(web::ValueFromWords(ValueName::Float32, std::vector<std::uint16_t>{0xCCCD, 0x3DCC}, false).dump(), "0.1");
}

TEST(ValueWords, OutOfRangeAndWrongKindsRefused) {
    struct Case { ValueName name; nlohmann::json value; };
    const Case cases[] = {
        {ValueName::Bit, 2}, {ValueName::Bit, "1"}, {ValueName::Int16, 32768}, {ValueName::Int16, -32769},
        {ValueName::Uint16, -1}, {ValueName::Uint16, 1.5}, {ValueName::Int32, 2147483648}, {ValueName::Uint32, -1},
        {ValueName::Uint32, 4294967296}, {ValueName::Int64, 9223372036854775808u}, {ValueName::Uint64, -1},
        {ValueName::Uint64, 1e20}, {ValueName::Int64, nullptr}, {ValueName::Float32, 1e39}, {ValueName::Float32, "nan"},
        {ValueName::Float64, true}, {ValueName::Float64, nlohmann::json::array()},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(web::WordsFromValue(c.name, c.value, false, error)) << c.value;
        EXPECT_FALSE(error.empty());
    }
    // Whole numbers written with a fraction part are whole numbers.
    std::string error;
    EXPECT_EQ(web::WordsFromValue(ValueName::Int32, 5.0, false, error), (std::vector<std::uint16_t>{5, 0}));
    EXPECT_EQ(web::WordsFromValue(ValueName::Int64, -9223372036854775807.0 - 1, false, error),
              (std::vector<std::uint16_t>{0, 0, 0, 0x8000}));
}

class PointsThroughMethods : public ::testing::Test {
protected:
    void SetUp() override { RegisterDocumentMethods(registry, api, {}); }

    CKelvaro32Doc& Doc(int deviceId, int pointType, unsigned start, int length) {
        DocumentContext context;
        context.openDocuments = &open;
        context.iniPath = "/nonexistent/Kelvaro32.ini";
        docs.push_back(std::make_unique<CKelvaro32Doc>(context));
        CKelvaro32Doc& d = *docs.back();
        d.deviceId = static_cast<std::uint8_t>(deviceId);
        d.pointType = static_cast<std::uint8_t>(pointType);
        d.startAddress = static_cast<std::uint16_t>(start);
        d.length = static_cast<std::uint16_t>(length);
        return d;
    }
    web::PointAnswer Get(const char* unit, const char* ref, std::optional<std::string> value,
                         std::optional<std::string> swapped = std::nullopt) {
        return web::HandlePointRequest(registry, false, unit, ref, value, swapped, "");
    }
    web::PointAnswer Put(const char* unit, const char* ref, std::optional<std::string> value, const char* body,
                         std::optional<std::string> swapped = std::nullopt) {
        return web::HandlePointRequest(registry, true, unit, ref, value, swapped, body);
    }

    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    pomrel::ProtocolEngine engine;
    DocumentAutomation api{open, engine};
    MethodRegistry registry;
};

TEST_F(PointsThroughMethods, EveryValueNameWrittenAndReadBack) {
    CKelvaro32Doc& holding = Doc(1, 3, 1, 20);
    struct Case { const char* name; const char* body; nlohmann::json value; };
    const Case cases[] = {
        {"bit", "{\"value\": true}", 1}, {"int16", "{\"value\": -300}", -300}, {"uint16", "{\"value\": 65000}", 65000},
        {"int32", "{\"value\": -70000}", -70000}, {"uint32", "{\"value\": 4000000000}", 4000000000u},
        {"int64", "{\"value\": -5000000000}", -5000000000}, {"uint64", "{\"value\": 18446744073709551615}", 18446744073709551615u},
        {"float32", "{\"value\": 2.5}", 2.5}, {"float64", "{\"value\": -0.1}", -0.1}, {"float32", "{\"value\": \"NaN\"}", "NaN"},
    };
    for (const char* swapped : {"0", "1"}) {
        for (const Case& c : cases) {
            const web::PointAnswer put = Put("1", "40005", c.name, c.body, swapped);
            ASSERT_EQ(put.status, 200) << c.name << " " << put.body;
            EXPECT_EQ(put.body["value"], c.value) << c.name;
            const web::PointAnswer get = Get("1", "40005", c.name, swapped);
            ASSERT_EQ(get.status, 200) << c.name << " " << get.body;
            EXPECT_EQ(get.body["value"], c.value) << c.name << " swapped " << swapped;
        }
    }
    // The words lie where the Python client puts them: low-order word at the reference.
    ASSERT_EQ(Put("1", "40005", "int32", "{\"value\": 305419896}").status, 200);   // 0x12345678
    EXPECT_EQ(holding.Word(4), 0x5678);
    EXPECT_EQ(holding.Word(5), 0x1234);
    ASSERT_EQ(Put("1", "40005", "float32", "{\"value\": 2.5}", "1").status, 200);  // 0x40200000
    EXPECT_EQ(holding.Word(4), 0x4020);
    EXPECT_EQ(holding.Word(5), 0x0000);
    // The default value name is uint16.
    holding.SetWord(0, 0xFFFE);
    EXPECT_EQ(Get("1", "40001", std::nullopt).body["value"], 65534);
    EXPECT_EQ(Get("1", "40001", "int16").body["value"], -2);
}

TEST_F(PointsThroughMethods, EveryPointTypeAndAddressesPastTenThousand) {
    CKelvaro32Doc& coils = Doc(2, 1, 1, 10);
    CKelvaro32Doc& inputs = Doc(2, 2, 12000, 5);
    CKelvaro32Doc& inputRegs = Doc(2, 4, 30000, 4);
    CKelvaro32Doc& high = Doc(2, 3, 65535, 2);   // holding 65535 and 65536
    coils.SetWord(2, 1);
    inputs.SetWord(1, 1);
    EXPECT_EQ(Get("2", "3", "bit").body["value"], 1);
    EXPECT_EQ(Get("2", "00003", "bit").body["value"], 1);
    EXPECT_EQ(Get("2", "112001", "bit").body["value"], 1);
    ASSERT_EQ(Put("2", "330000", "float32", "{\"value\": -1}").status, 200);
    EXPECT_EQ(inputRegs.Word(0), 0x0000);
    EXPECT_EQ(inputRegs.Word(1), 0xBF80);
    ASSERT_EQ(Put("2", "465535", "uint32", "{\"value\": 65537}").status, 200);
    EXPECT_EQ(high.Word(0), 1);
    EXPECT_EQ(high.Word(1), 1);
    EXPECT_EQ(Get("2", "465536", "uint16").body["value"], 1);
}

TEST_F(PointsThroughMethods, MissingWordsWriteNothing) {
    CKelvaro32Doc& holding = Doc(1, 3, 1, 10);
    holding.SetWord(8, 7);
    holding.SetWord(9, 8);
    // Holding registers 9 and 10 exist, 11 and 12 do not.
    const web::PointAnswer put = Put("1", "40009", "uint64", "{\"value\": 1}");
    EXPECT_EQ(put.status, 404);
    EXPECT_EQ(put.body["error"], "not_found");
    EXPECT_EQ(holding.Word(8), 7);
    EXPECT_EQ(holding.Word(9), 8);
    EXPECT_EQ(Put("1", "40010", "float32", "{\"value\": 1}").status, 404);
    EXPECT_EQ(holding.Word(9), 8);
    EXPECT_EQ(Get("1", "40010", "int32").status, 404);
    EXPECT_EQ(Get("3", "40001", "uint16").status, 404);   // no document of unit 3
    EXPECT_EQ(Get("1", "30001", "uint16").status, 404);   // nor of input registers
    EXPECT_EQ(Get("1", "465534", "uint64").status, 400);  // runs past 65536
}

TEST_F(PointsThroughMethods, BadRequestsSayWhy) {
    Doc(1, 3, 1, 10);
    struct Case { bool write; const char* unit; const char* ref; std::optional<std::string> value; std::optional<std::string> swapped; const char* body; const char* says; };
    const Case cases[] = {
        {false, "256", "40001", "uint16", {}, "", "unit"},
        {false, "-1", "40001", "uint16", {}, "", "unit"},
        {false, "x", "40001", "uint16", {}, "", "unit"},
        {false, "1", "20001", "uint16", {}, "", "first digit"},
        {false, "1", "4000a", "uint16", {}, "", "reference"},
        {false, "1", "40001", "float16", {}, "", "value"},
        {false, "1", "40001", "uint16", "yes", "", "swapped"},
        {true, "1", "40001", "uint16", {}, "{\"value\": 1, \"value\": 2}", "twice"},
        {true, "1", "40001", "uint16", {}, "{\"value\": 1", "not JSON"},
        {true, "1", "40001", "uint16", {}, "[1]", "nothing else"},
        {true, "1", "40001", "uint16", {}, "{\"value\": 1, \"extra\": 2}", "nothing else"},
        {true, "1", "40001", "uint16", {}, "{\"value\": 70000}", "uint16"},
        {true, "1", "40001", "int16", {}, "{\"value\": \"5\"}", "int16"},
    };
    for (const Case& c : cases) {
        const web::PointAnswer a = web::HandlePointRequest(registry, c.write, c.unit, c.ref, c.value, c.swapped, c.body);
        EXPECT_EQ(a.status, 400) << c.unit << " " << c.ref << " " << c.body;
        EXPECT_EQ(a.body["error"], "bad_request");
        EXPECT_NE(a.body["message"].get<std::string>().find(c.says), std::string::npos) << a.body;
    }
}

}  // namespace
