// The set-up extras file: what is refused (and how it is named), what round-trips, what is read.
#include "app/HeadlessOptions.h"
#include "app/SetupExtras.h"

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
