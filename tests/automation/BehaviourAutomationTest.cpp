// The behaviour methods of automation over a real book, engine and document: ids, the list as the
// extras file keeps it with its counters, refusals naming the generator and the field, and the
// registry's shapes.
#include "automation/BehaviourAutomation.h"
#include "automation/MethodRegistry.h"
#include "behaviour/BehaviourBook.h"
#include "behaviour/DocumentPoints.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

struct Program {
    pomrel::ProtocolEngine engine;
    OpenDocuments open;
    std::unique_ptr<CKelvaro32Doc> doc;
    behaviour::DocumentPoints points{open};
    behaviour::BehaviourBook book{engine, points};
    BehaviourAutomation methods{book};

    Program()
    {
        doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open, "", nullptr});
        doc->deviceId = 1;
        doc->pointType = 3;
        doc->startAddress = 1;
        doc->length = 100;
    }
    ~Program() { book.ForgetOwner(doc.get()); }
};

} // namespace

TEST(BehaviourAutomation, GeneratorsAddedListedSwitchedRemovedAndCleared)
{
    Program p;
    const json added = p.methods.AddGenerator(json::parse(
        R"({"name": "level", "unit": 1, "type": 3, "address": 1, "value": "float32", "kind": "sine",
            "min": 0, "max": 100, "period_ms": 60000, "update_ms": 100})"));
    ASSERT_EQ(added["status"], 0) << added.dump();
    EXPECT_EQ(p.methods.ListBehaviour()["generators"][0]["id"], added["id"]);
    const json second = p.methods.AddGenerator(json::parse(
        R"({"unit": 1, "type": 3, "address": 10, "kind": "counter", "step": 7})"));
    ASSERT_EQ(second["status"], 0) << second.dump();

    json list = p.methods.ListBehaviour();
    EXPECT_EQ(list["status"], 0);
    ASSERT_EQ(list["generators"].size(), 2u);
    EXPECT_EQ(list["generators"][1]["id"], second["id"]);
    json level = list["generators"][0];
    const auto id = level["id"].get<std::int64_t>();
    EXPECT_NE(level["id"], second["id"]);
    // As the extras file keeps it, with the id and counters beside.
    EXPECT_EQ(level["name"], "level");
    EXPECT_EQ(level["value"], "float32");
    EXPECT_EQ(level["period_ms"], 60000);
    EXPECT_EQ(level["update_ms"], 100);
    EXPECT_TRUE(level["enabled"].get<bool>());
    EXPECT_TRUE(level["attached"].get<bool>());
    EXPECT_TRUE(level.contains("updates"));
    EXPECT_EQ(list["generators"][1]["step"], 7);
    EXPECT_TRUE(list["reactions"].is_array());
    EXPECT_TRUE(list["scripts"].is_array());

    EXPECT_EQ(p.methods.EnableGenerator(id, false), json::parse(R"({"status": 0})"));
    EXPECT_FALSE(p.methods.ListBehaviour()["generators"][0]["enabled"].get<bool>());
    EXPECT_FALSE(p.book.Drives(1, 3, 1));
    EXPECT_TRUE(p.book.Drives(1, 3, 10));

    EXPECT_EQ(p.methods.RemoveGenerator(id)["status"], 0);
    list = p.methods.ListBehaviour();
    ASSERT_EQ(list["generators"].size(), 1u);
    EXPECT_EQ(list["generators"][0]["kind"], "counter");
    EXPECT_EQ(p.methods.ClearBehaviour()["status"], 0);
    EXPECT_TRUE(p.methods.ListBehaviour()["generators"].empty());
}

TEST(BehaviourAutomation, RefusalsNameTheGeneratorAndTheFieldAndChangeNothing)
{
    Program p;
    ASSERT_EQ(p.methods.AddGenerator(json::parse(R"({"name": "kept", "unit": 1, "type": 3, "address": 1,
                                                    "kind": "counter"})"))["status"], 0);
    struct Case { json result; std::vector<const char*> named; };
    const Case cases[] = {
        {p.methods.AddGenerator(json::parse(R"({"name": "pump", "unit": 1, "type": 3, "address": 2, "kind": "ramp"})")),
         {"generator (\"pump\")", "period_ms"}},
        {p.methods.AddGenerator(json::parse(R"({"unit": 1, "type": 3, "address": 2, "kind": "counter", "colour": 1})")),
         {"generator", "colour"}},
        {p.methods.AddGenerator(json::parse(R"({"name": "far", "unit": 1, "type": 3, "address": 500, "kind": "counter"})")),
         {"\"far\"", "500", "not served"}},
        {p.methods.RemoveGenerator(99), {"no generator 99"}},
        {p.methods.EnableGenerator(0, true), {"no generator 0"}},
        {p.methods.RemoveReaction(5), {"no reaction 5"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.result["status"], -1) << c.result.dump();
        const std::string message = c.result.value("message", "");
        for (const char* n : c.named)
            EXPECT_NE(message.find(n), std::string::npos) << message;
    }
    const json list = p.methods.ListBehaviour();
    ASSERT_EQ(list["generators"].size(), 1u);
    EXPECT_EQ(list["generators"][0]["name"], "kept");
}

TEST(BehaviourAutomation, RegisteredWithTheirShapes)
{
    Program p;
    MethodRegistry registry;
    RegisterBehaviourMethods(registry, p.methods);
    for (const char* name : {"ListBehaviour", "AddGenerator", "RemoveGenerator", "EnableGenerator", "AddReaction",
                             "RemoveReaction", "ReloadScripts", "ClearBehaviour"}) {
        const AutomationMethod* m = registry.Find(name);
        ASSERT_NE(m, nullptr) << name;
        EXPECT_EQ(m->family, "behaviour");
    }
    struct Case { const char* method; json params; int code; };
    const Case cases[] = {
        {"AddGenerator", json::parse("[[1]]"), rpc::kInvalidParams},
        {"RemoveGenerator", json::parse(R"(["1"])"), rpc::kInvalidParams},
        {"EnableGenerator", json::parse("[1, 1]"), rpc::kInvalidParams},
        {"EnableGenerator", json::parse("[1.5, true]"), rpc::kInvalidParams},
        {"AddReaction", json::parse("[null]"), rpc::kInvalidParams},
        {"ListBehaviour", json::parse("[1]"), rpc::kInvalidParams},
        {"ClearBehaviour", json::parse("[]"), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(registry.Call(c.method, c.params).errorCode, c.code) << c.method << " " << c.params.dump();
    const MethodOutcome added = registry.Call("AddGenerator", json::parse(
        R"([{"unit": 1, "type": 3, "address": 3, "kind": "clock", "value": "uint32"}])"));
    ASSERT_FALSE(added.Failed());
    EXPECT_EQ(added.result["status"], 0);
    EXPECT_TRUE(added.result["id"].is_number_unsigned());
}
