// The registry called directly, as any door calls it: lookup, the parameter array, each family's
// checks, and the same answers the line server gives.
#include "automation/Automation.h"
#include "automation/FaultAutomation.h"
#include "automation/MethodRegistry.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"
#include "faults/FaultBook.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

using nlohmann::json;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        DocumentContext context;
        context.openDocuments = &open;
        context.iniPath = "/nonexistent/Kelvaro32.ini";
        doc = std::make_unique<CKelvaro32Doc>(context);
        doc->length = 10;
        doc->SetWord(0, 1234);
        RegisterDocumentMethods(registry, api, [this] { ++created; });
        RegisterFaultMethods(registry, faultMethods);
    }
    OpenDocuments open;
    std::unique_ptr<CKelvaro32Doc> doc;
    pomrel::ProtocolEngine engine;
    DocumentAutomation api{open, engine};
    faults::FaultBook book{engine};
    FaultAutomation faultMethods{book, [](const std::string&, std::string& error) {
                                     error = "no scenarios here";
                                     return false;
                                 }};
    int created = 0;
    MethodRegistry registry;
};

TEST_F(Registry, CallsWithoutAnyServer) {
    struct Case {
        const char* method;
        std::optional<json> params;   // nullopt: none sent
        int error;                    // 0: a result
        const char* expected;         // the result (JSON), or the start of the error message
    };
    const Case cases[] = {
        {"ReadPoint", json::parse("[1, 40001]"), 0, R"({"status":0,"value":1234})"},
        {"WritePoint", json::parse("[1, 40002, -1]"), 0, R"({"status":0})"},
        {"ReadPointEx", json::parse("[257, 3, 2]"), 0, R"({"status":0,"value":65535})"},
        {"WriteFloat", json::parse("[1, 40004, 0.1, true]"), 0, R"({"status":0})"},
        {"ReadFloat", json::parse("[1, 40004, 1]"), 0, R"({"status":0,"value":0.1})"},
        {"WriteFloat", json::parse(R"([1, 40004, "NaN", false])"), 0, R"({"status":0})"},
        {"ReadFloat", json::parse("[1, 40004, false]"), 0, R"({"status":0,"value":"NaN"})"},
        {"ReadFloat", json::parse("[1, 40010, false]"), 0, R"({"status":-1,"value":0.0})"},
        {"CreateDocument", std::nullopt, 0, R"({"status":0})"},
        {"CreateDocument", json::array(), 0, R"({"status":0})"},
        {"RemoveFault", json::parse("[7]"), 0, R"({"status":-1,"message":"no fault rule 7"})"},
        {"LoadScenario", json::parse(R"(["x.json"])"), 0, R"({"status":-1,"message":"no scenarios here"})"},
        {"ListFaults", json::array(), 0, R"({"status":0,"value":[]})"},
        // refused by the registry or by a method's checks
        {"readPoint", json::parse("[1, 40001]"), -32601, "Method not found: readPoint"},
        {"StartCapture", json::parse(R"(["x"])"), -32601, "Method not found: StartCapture"},  // not registered
        {"ReadPoint", std::nullopt, -32602, "params must be an array of 2 values"},
        {"ReadPoint", json::object(), -32602, "params must be an array of 2 values"},
        {"CreateDocument", json(nullptr), -32602, "params must be an array of 0 values"},
        {"ReadPoint", json::parse("[1]"), -32602, "ReadPoint takes 2 parameters, 1 given"},
        {"WritePoint", json::parse("[1, 40001, 65536]"), -32602, "value must be an integer from -32768 to 65535"},
        {"ReadPoint", json::parse("[1, 2147483648]"), -32602, "reference must be an integer from -2147483648 to 2147483647"},
        {"ReadPoint", json::parse(R"(["1", 40001])"), -32602, "device id must be an integer"},
        {"WriteFloat", json::parse("[1, 40004, 1e39, false]"), -32602, "value must be a number within the range"},
        {"ReadFloat", json::parse(R"([1, 40004, "yes"])"), -32602, "swapped must be a boolean"},
        {"EnableFault", json::parse("[1.5, true]"), -32602, "id: a whole number"},
        {"EnableFault", json::parse("[1, 1]"), -32602, "on: true or false"},
        {"AddFault", json::parse("[[]]"), -32602, "rule: a JSON object"},
    };
    for (const Case& c : cases) {
        const MethodOutcome outcome = registry.Call(c.method, c.params);
        const std::string what = std::string(c.method) + " " + (c.params ? c.params->dump() : "(none)");
        EXPECT_EQ(outcome.errorCode, c.error) << what << ": " << outcome.errorMessage;
        if (c.error == 0)
            EXPECT_EQ(outcome.result, json::parse(c.expected)) << what << ": " << outcome.result.dump();
        else
            EXPECT_EQ(outcome.errorMessage.rfind(c.expected, 0), 0u) << what << ": " << outcome.errorMessage;
    }
    EXPECT_EQ(created, 2);
    EXPECT_EQ(doc->Word(1), 65535);
}

TEST_F(Registry, ListsEachMethodOnceWithItsFamilyAndParameters) {
    // A later method of a name replaces the earlier one in place.
    registry.Add({"ReadPoint", "test", {}, [](const json&) { return MethodOutcome::Done("mine"); }});
    ASSERT_EQ(registry.Methods().size(), 16u);
    EXPECT_EQ(registry.Methods().front().name, "ReadPoint");
    EXPECT_EQ(registry.Call("ReadPoint", std::nullopt).result, "mine");
    const AutomationMethod* write = registry.Find("WriteFloatEx");
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->family, "document");
    ASSERT_EQ(write->params.size(), 5u);
    EXPECT_EQ(write->params[3].name, "value");
    EXPECT_EQ(registry.Find("ClearFaults")->family, "faults");
}

}  // namespace
