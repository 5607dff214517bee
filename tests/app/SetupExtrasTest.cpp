// The set-up extras file: what is refused (and how it is named), what round-trips, what is read.
#include "app/SetupExtras.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
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

} // namespace

// The fault rules travel in the same file: read, written back, and refused whole with the rule's
// index, name and field.
TEST(SetupExtras, FaultsSection)
{
    std::string error;
    const auto extras = ParseSetupExtras(R"({"faults": [{"name": "busy", "unit": 1, "action": "exception", "code": 6},
                                                       {"action": "no-reply", "from_s": 5, "until_s": 7}],
                                            "tcp": {"max_connections": 10}})", error);
    ASSERT_TRUE(extras) << error;
    ASSERT_TRUE(extras->faults);
    ASSERT_EQ(extras->faults->size(), 2u);
    EXPECT_EQ((*extras->faults)[0].exceptionCode, 6);
    EXPECT_FALSE(extras->Empty());
    const auto again = ParseSetupExtras(SerializeSetupExtras(*extras), error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(*again, *extras);

    EXPECT_FALSE(ParseSetupExtras(R"({"tcp": {"max_connections": 10}, "faults": [{"action": "delay"}, {"name": "x", "action": "exception"}]})", error));
    EXPECT_EQ(error, R"(faults: rule 2 ("x"): field "code": must be 1 to 255)");
    EXPECT_FALSE(ParseSetupExtras(R"({"faults": {}})", error));
    EXPECT_EQ(error, R"(faults: "faults" must be a list of rules)");
    SetupExtras none;
    none.faults = std::vector<pomrel::FaultRule>{};
    EXPECT_FALSE(none.Empty());   // an empty list is kept: it says "no faults" over a scenario
}
