// The set-up extras file: what is refused (and how it is named), what round-trips, what is read.
#include "app/HeadlessOptions.h"
#include "app/SetupExtras.h"
#include "behaviour/LuaScript.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(SetupExtras, RefusedTextsNameTheKeyAndGiveNothing)
{
    struct Case { const char* text; const char* named; };
    const Case cases[] = {
        {R"({"tcp":{"max_connections":0}})", "tcp.max_connections"},
        {R"({"tcp":{"max_connections":1000001}})", "tcp.max_connections"},
        {R"({"tcp":{"max_connections":-5}})", "tcp.max_connections"},
        {R"({"tcp":{"max_connections":1.5}})", "tcp.max_connections"},
        {R"({"tcp":{"max_connections":"10"}})", "tcp.max_connections"},
        {R"({"tcp":{"request_timeout_ms":3600001}})", "tcp.request_timeout_ms"},
        {R"({"tcp":{"request_timeout_ms":null}})", "tcp.request_timeout_ms"},
        {R"({"tcp":{"max_connections":10,"maxconnections":5}})", "tcp.maxconnections: unknown key"},
        {R"({"tcp":{"max_connections":10},"bogus":1})", "bogus: unknown key"},
        {R"({"tcp":5})", "tcp: must be an object"},
        {R"([{"tcp":{}}])", "one JSON object"},
        {R"({"tcp":{"max_connections":10})", "not valid JSON"},
        {"", "not valid JSON"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(ParseSetupExtras(c.text, error), std::nullopt) << c.text;
        EXPECT_NE(error.find(c.named), std::string::npos) << c.text << " -> " << error;
    }
}

// The parser keeps the last of a key given twice, so {"unit": 1, "unit": 2} meant unit 2 in
// silence. A repeated key at any depth is refused as an unknown one is, naming it.
TEST(SetupExtras, AKeyGivenTwiceAnywhereIsRefusedByName)
{
    struct Case { const char* text; const char* error; };
    const Case cases[] = {
        {R"({"tcp": {}, "tcp": {}})", "tcp: duplicate key"},
        {R"({"tcp": {"max_connections": 1, "max_connections": 2}})", "tcp.max_connections: duplicate key"},
        {R"({"faults": [], "faults": [{"action": "no-reply"}]})", "faults: duplicate key"},
        {R"({"faults": [{"action": "no-reply"}, {"name": "b", "unit": 1, "action": "delay", "unit": 2}]})",
         R"(faults: rule 2 ("b"): duplicate field "unit")"},
        {R"({"faults": [{"action": "no-reply", "functions": [3], "functions": [4]}]})",
         R"(faults: rule 1: duplicate field "functions")"},
        {R"({"servers": {"udp": {"port": 1502}, "udp": {"port": 1503}}})", "servers.udp: duplicate key"},
        {R"({"servers": {"tls": {"port": 802, "cert": "c", "key": "k", "cert": "d"}}})", "servers.tls.cert: duplicate key"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1}, {"protocol": "tcp", "port": 2, "port": 3}]})",
         "endpoints[1].port: duplicate key"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "units": {"1": 7, "2": 8, "1": 9}}]})",
         "endpoints[0].units.1: duplicate key"},
        {R"({"identity": {"1": {"VendorName": "a", "VendorName": "b"}}})", "identity.1.VendorName: duplicate key"},
        {R"({"identity": {"1": {"VendorName": "a"}, "1": {"ProductCode": "b"}}})", "identity.1: duplicate key"},
        // Only the first is named; a text that is not JSON stays "not valid JSON".
        {R"({"tcp": {"max_connections": 1, "max_connections": 2}, "tcp": {}})", "tcp.max_connections: duplicate key"},
        {R"({"tcp": {}, "tcp": })", "not valid JSON"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(ParseSetupExtras(c.text, error), std::nullopt) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
    // The same key in two different objects is no repetition.
    std::string error;
    EXPECT_TRUE(ParseSetupExtras(R"({"faults": [{"name": "a", "action": "no-reply"}, {"name": "b", "action": "no-reply"}],
                                     "endpoints": [{"protocol": "tcp", "port": 0, "units": {"1": 1}},
                                                   {"protocol": "tcp", "port": 0, "units": {"1": 1}}]})",
                                 error))
        << error;
}

TEST(SetupExtras, WhatIsGivenRoundTripsWhatIsLeftOutStaysOut)
{
    struct Case { const char* text; std::optional<TcpExtras> tcp; };
    const Case cases[] = {
        {"{}", std::nullopt},
        {R"({"tcp":{}})", TcpExtras{}},
        {R"({"tcp":{"max_connections":100}})", TcpExtras{100, std::nullopt}},
        {R"({"tcp":{"request_timeout_ms":0}})", TcpExtras{std::nullopt, 0}},
        {R"({"tcp":{"max_connections":1,"request_timeout_ms":3600000}})", TcpExtras{1, 3600000}},
    };
    for (const Case& c : cases) {
        SetupExtras want;
        want.tcp = c.tcp;
        const SetupExtras& cwant = want;
        std::string error;
        const auto read = ParseSetupExtras(c.text, error);
        ASSERT_TRUE(read) << c.text << ": " << error;
        EXPECT_EQ(*read, cwant) << c.text;
        const auto again = ParseSetupExtras(SerializeSetupExtras(*read), error);
        ASSERT_TRUE(again) << SerializeSetupExtras(*read);
        EXPECT_EQ(*again, cwant) << SerializeSetupExtras(*read);
    }
    SetupExtras extras;
    EXPECT_TRUE(extras.Empty());
    extras.tcp = TcpExtras{};
    EXPECT_FALSE(extras.Empty());
    EXPECT_EQ(SetupExtrasPath("/a/b/plant.tst"), "/a/b/plant.tst.json");
}

TEST(SetupExtras, OnlyRegularFilesAreReadAndAFifoDoesNotWait)
{
    char folder[] = "/tmp/extrasXXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const std::string good = dir + "/good.tst.json", fifo = dir + "/fifo.tst.json", bad = dir + "/bad.tst.json";
    std::ofstream(good) << R"({"tcp":{"max_connections":7}})";
    std::ofstream(bad) << R"({"tcp":{"max_connections":7,"x":1}})";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case { std::string path; bool ok; const char* named; };
    const Case cases[] = {
        {good, true, ""},
        {fifo, false, "not a regular file"},  // no writer: a blocking open would never return
        {dir, false, "not a regular file"},
        {dir + "/missing.tst.json", false, "missing.tst.json"},
        {bad, false, "tcp.x: unknown key"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto read = ReadSetupExtras(c.path, error);
        EXPECT_EQ(read.has_value(), c.ok) << c.path;
        EXPECT_NE(error.find(c.named), std::string::npos) << c.path << " -> " << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.path), std::string::npos) << error;  // the file is named
        }
    }
    for (const std::string& f : {good, fifo, bad})
        std::remove(f.c_str());
    ::rmdir(folder);
}

TEST(HeadlessLimits, OptionsTakeTheirRangeOrSayWhatIsWrong)
{
    struct Case {
        std::vector<std::string> args;
        std::optional<std::uint32_t> maxConnections, requestTimeoutMs;
        std::string scenario;
        const char* error;  // empty: understood
    };
    const Case cases[] = {
        {{"--max-connections", "1", "--request-timeout-ms", "0"}, 1u, 0u, "", ""},
        {{"--max-connections", "1000000", "--request-timeout-ms", "3600000"}, 1000000u, 3600000u, "", ""},
        {{"--scenario", "s.json", "a.tst"}, std::nullopt, std::nullopt, "s.json", ""},
        {{"--max-connections", "0"}, std::nullopt, std::nullopt, "", "--max-connections: not a number from 1"},
        {{"--max-connections", "1000001"}, std::nullopt, std::nullopt, "", "--max-connections: not a number"},
        {{"--request-timeout-ms", "-1"}, std::nullopt, std::nullopt, "", "--request-timeout-ms: not a number"},
        {{"--request-timeout-ms", "5s"}, std::nullopt, std::nullopt, "", "--request-timeout-ms: not a number"},
        {{"--max-connections"}, std::nullopt, std::nullopt, "", "--max-connections needs a number"},
        {{"--scenario"}, std::nullopt, std::nullopt, "", "--scenario needs a file"},
    };
    for (const Case& c : cases) {
        const HeadlessOptions o = ParseHeadlessOptions(c.args);
        EXPECT_EQ(o.maxConnections, c.maxConnections) << c.args[0];
        EXPECT_EQ(o.requestTimeoutMs, c.requestTimeoutMs) << c.args[0];
        EXPECT_EQ(o.scenario, c.scenario) << c.args[0];
        EXPECT_EQ(o.error.rfind(c.error, 0), 0u) << c.args[0] << ": " << o.error;
        EXPECT_EQ(o.error.empty(), std::string(c.error).empty()) << o.error;
    }
}

} // namespace

TEST(SetupExtrasBehaviour, GeneratorsAreReadNamedWhenRefusedAndWrittenTheSameTwice)
{
    const char* text = R"({"faults": [{"unit": 9, "action": "no-reply"}],
        "generators": [{"name": "level", "unit": 1, "type": 3, "address": 1, "value": "float32",
                        "kind": "sine", "min": 0, "max": 100, "period_ms": 60000, "update_ms": 100},
                       {"unit": 2, "type": 1, "address": 5, "kind": "steps", "values": [1, 0],
                        "durations_ms": [3000, 500]}]})";
    std::string error;
    const auto read = ParseSetupExtras(text, error);
    ASSERT_TRUE(read) << error;
    ASSERT_TRUE(read->behaviour);
    ASSERT_EQ(read->behaviour->items.generators.size(), 2u);
    EXPECT_EQ(read->behaviour->items.generators[0].name, "level");
    EXPECT_EQ(read->behaviour->items.generators[1].durationsMs, (std::vector<std::uint32_t>{3000, 500}));
    EXPECT_TRUE(read->faults);
    EXPECT_FALSE(read->Empty());

    const std::string written = SerializeSetupExtras(*read);
    const auto again = ParseSetupExtras(written, error);
    ASSERT_TRUE(again) << written;
    EXPECT_EQ(*again, *read);
    EXPECT_EQ(SerializeSetupExtras(*again), written);

    // A file without the keys holds no behaviour (what is in force then stays); an empty list
    // is behaviour, and saves as nothing.
    EXPECT_FALSE(ParseSetupExtras(R"({"faults": []})", error)->behaviour);
    const auto none = ParseSetupExtras(R"({"generators": []})", error);
    ASSERT_TRUE(none && none->behaviour);
    EXPECT_TRUE(none->behaviour->items.generators.empty());

    struct Case { const char* text; std::vector<const char*> named; };
    const Case refused[] = {
        {R"({"generators": [{"name": "pump", "unit": 1, "type": 3, "address": 1, "kind": "sine", "period_ms": 1000,
             "min": 5, "max": 1}]})", {"generator 1", "pump", "max"}},
        {R"({"generators": [{"unit": 1, "type": 3, "address": 1, "kind": "sine", "period_ms": 1000},
             {"name": "b", "unit": 1, "type": 3, "address": 2, "kind": "wobble"}]})", {"generator 2", "\"b\"", "kind"}},
        {R"({"generators": [{"unit": 1, "type": 3, "address": 1, "kind": "counter", "update_ms": 5}]})",
         {"generator 1", "update_ms"}},
        {R"({"generators": {"unit": 1}})", {"generators"}},
        {R"({"generators": [{"unit": 1, "unit": 2}]})", {"generators[0].unit", "duplicate"}},
        {R"({"generators": [], "generator": []})", {"generator: unknown key"}},
    };
    for (const Case& c : refused) {
        error.clear();
        EXPECT_FALSE(ParseSetupExtras(c.text, error)) << c.text;
        for (const char* n : c.named)
            EXPECT_NE(error.find(n), std::string::npos) << c.text << " -> " << error;
    }
}

TEST(SetupExtrasBehaviour, CsvFilesAreFoundBesideTheFileAndKeptRelativeInsideItsFolder)
{
    char folder[] = "/tmp/extrasXXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder;
    std::ofstream(dir + "/level.csv") << "ms,value\n0,1\n500,2\n";
    const std::string path = dir + "/plant.tst.json";
    std::ofstream(path) << R"({"generators": [{"unit": 1, "type": 3, "address": 1, "kind": "csv", "file": "level.csv"}]})";

    // Read from elsewhere: the file is the one beside the extras, and comes back whole.
    std::string error;
    const auto read = ReadSetupExtras(path, error);
    ASSERT_TRUE(read) << error;
    const behaviour::GeneratorSpec& g = read->behaviour->items.generators.at(0);
    EXPECT_EQ(g.file, dir + "/level.csv");
    ASSERT_TRUE(g.rows);
    EXPECT_EQ(g.rows->size(), 2u);

    // Written for the same folder: relative again; for another folder: whole.
    behaviour::Behaviour same = read->behaviour->items;
    RelativeBehaviourFiles(same, dir);
    EXPECT_EQ(same.generators[0].file, "level.csv");
    behaviour::Behaviour other = read->behaviour->items;
    RelativeBehaviourFiles(other, dir + "/sub");
    EXPECT_EQ(other.generators[0].file, dir + "/level.csv");
    ResolveBehaviourFiles(same, dir);
    EXPECT_EQ(same.generators[0].file, dir + "/level.csv");

    // A missing csv refuses the file, naming the generator and the field.
    std::ofstream(path) << R"({"generators": [{"name": "g", "unit": 1, "type": 3, "address": 1, "kind": "csv",
                                               "file": "gone.csv"}]})";
    EXPECT_FALSE(ReadSetupExtras(path, error));
    EXPECT_NE(error.find("generator 1 (\"g\")"), std::string::npos) << error;
    EXPECT_NE(error.find("file"), std::string::npos) << error;
    std::remove((dir + "/level.csv").c_str());
    std::remove(path.c_str());
    ::rmdir(folder);
}

namespace {

// Reaches nothing: loading a script runs only its top level.
class NoPoints : public behaviour::ScriptHost {
public:
    bool Get(int, int, std::uint32_t, behaviour::Encoding, bool, double&, std::string& error) override
    {
        error = "no points";
        return false;
    }
    bool Set(int, int, std::uint32_t, double, behaviour::Encoding, bool, std::string& error) override
    {
        error = "no points";
        return false;
    }
    bool After(behaviour::LuaScript&, std::int64_t, int) override { return false; }
    void Log(behaviour::LuaScript&, std::string) override {}
};

} // namespace

TEST(SetupExtrasBehaviour, ScriptsAreFoundBesideTheFileAndTheirErrorsNameThemAsWritten)
{
    char folder[] = "/tmp/extrasXXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder;
    std::ofstream(dir + "/broken.lua") << "-- one\nfunction on_write(w)\n  kv.set(1, 4, 3,\nend\n";
    const std::string path = dir + "/plant.tst.json";
    std::ofstream(path) << R"({"scripts": [{"name": "broken", "file": "broken.lua"}]})";

    std::string error;
    const auto read = ReadSetupExtras(path, error);
    ASSERT_TRUE(read) << error;
    const behaviour::ScriptSpec& s = read->behaviour->items.scripts.at(0);
    EXPECT_EQ(s.file, "broken.lua");
    EXPECT_EQ(s.path, dir + "/broken.lua");
    NoPoints host;
    EXPECT_EQ(behaviour::LuaScript::Load(s, host, error), nullptr);
    EXPECT_EQ(error, "broken.lua:4: unexpected symbol near 'end'");

    // Written for the same folder: by the same name; for another folder: whole.
    behaviour::Behaviour same = read->behaviour->items;
    RelativeBehaviourFiles(same, dir);
    EXPECT_EQ(same.scripts[0].file, "broken.lua");
    behaviour::Behaviour other = read->behaviour->items;
    RelativeBehaviourFiles(other, dir + "/sub");
    EXPECT_EQ(other.scripts[0].file, dir + "/broken.lua");
    std::remove((dir + "/broken.lua").c_str());
    std::remove(path.c_str());
    ::rmdir(folder);
}
