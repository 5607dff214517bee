// The exposition text of the metrics: families, labels, escaping, merging.
#include "engine/AccessRecorder.h"
#include "http/Metrics.h"
#include "http/MetricsSources.h"
#include "servers/ServerSetup.h"

#include <gtest/gtest.h>

namespace {

TEST(MetricsText, EveryFamilyWithHelpTypeAndSamples) {
    web::MetricsSnapshot s;
    s.functions.push_back({"tcp", 1, 3, 12, {{2, 4}, {6, 1}}});
    s.functions.push_back({"serial", 17, 16, 5, {}});
    s.invalidFrames = {{"serial:3", 7}};
    s.connections = {{"tcp", 2}, {"tls", 1}};
    s.faults = {{4, "slow reads", 9}};
    s.droppedFrameRecords = 11;
    s.documents = 3;
    s.generatorUpdates = {{1, "tank level", 600}};
    s.reactionsFired = {{2, "ack \"start\"", 4}};
    s.scriptCalls = {{3, "filler", 21}};
    s.droppedWrites = 5;
    const std::string expected =
        "# HELP kelvaro64_requests_total Requests answered, per link kind, unit id and function code.\n"
        "# TYPE kelvaro64_requests_total counter\n"
        "kelvaro64_requests_total{link=\"serial\",unit=\"17\",function=\"16\"} 5\n"
        "kelvaro64_requests_total{link=\"tcp\",unit=\"1\",function=\"3\"} 12\n"
        "# HELP kelvaro64_exceptions_total Exception answers, per link kind, unit id, function code and exception code.\n"
        "# TYPE kelvaro64_exceptions_total counter\n"
        "kelvaro64_exceptions_total{link=\"tcp\",unit=\"1\",function=\"3\",code=\"2\"} 4\n"
        "kelvaro64_exceptions_total{link=\"tcp\",unit=\"1\",function=\"3\",code=\"6\"} 1\n"
        "# HELP kelvaro64_invalid_frames_total Frames refused for a bad checksum or a form that could not be read, per link.\n"
        "# TYPE kelvaro64_invalid_frames_total counter\n"
        "kelvaro64_invalid_frames_total{link=\"serial:3\"} 7\n"
        "# HELP kelvaro64_connections Masters connected now, per link.\n"
        "# TYPE kelvaro64_connections gauge\n"
        "kelvaro64_connections{link=\"tcp\"} 2\n"
        "kelvaro64_connections{link=\"tls\"} 1\n"
        "# HELP kelvaro64_fault_fired_total Times each fault rule fired since its list was put in force (rule id and name).\n"
        "# TYPE kelvaro64_fault_fired_total counter\n"
        "kelvaro64_fault_fired_total{rule=\"4\",name=\"slow reads\"} 9\n"
        "# HELP kelvaro64_frame_records_dropped_total Frame records overwritten before a monitor, capture or log took them.\n"
        "# TYPE kelvaro64_frame_records_dropped_total counter\n"
        "kelvaro64_frame_records_dropped_total 11\n"
        "# HELP kelvaro64_documents Documents open.\n"
        "# TYPE kelvaro64_documents gauge\n"
        "kelvaro64_documents 3\n"
        "# HELP kelvaro64_generator_updates_total Values each generator wrote (generator id and name).\n"
        "# TYPE kelvaro64_generator_updates_total counter\n"
        "kelvaro64_generator_updates_total{generator=\"1\",name=\"tank level\"} 600\n"
        "# HELP kelvaro64_reaction_fired_total Times each reaction fired (reaction id and name).\n"
        "# TYPE kelvaro64_reaction_fired_total counter\n"
        "kelvaro64_reaction_fired_total{reaction=\"2\",name=\"ack \\\"start\\\"\"} 4\n"
        "# HELP kelvaro64_script_calls_total Calls of each script's functions (script id and name).\n"
        "# TYPE kelvaro64_script_calls_total counter\n"
        "kelvaro64_script_calls_total{script=\"3\",name=\"filler\"} 21\n"
        "# HELP kelvaro64_behaviour_writes_dropped_total Masters' writes the reactions and scripts missed because they were behind.\n"
        "# TYPE kelvaro64_behaviour_writes_dropped_total counter\n"
        "kelvaro64_behaviour_writes_dropped_total 5\n";
    EXPECT_EQ(web::MetricsText(s), expected);
}

TEST(MetricsText, EmptyFamiliesKeepTheirHeadersAndZerosShow) {
    const std::string text = web::MetricsText({});
    EXPECT_NE(text.find("# TYPE kelvaro64_requests_total counter\n# HELP kelvaro64_exceptions_total"), std::string::npos);
    EXPECT_NE(text.find("\nkelvaro64_documents 0\n"), std::string::npos);
    EXPECT_NE(text.find("\nkelvaro64_frame_records_dropped_total 0\n"), std::string::npos);
}

TEST(MetricsText, SameLabelsAreOneSample) {
    // Two sources naming one link (a set-up's Modbus/TCP server and the service port) must not
    // give a scraper two samples of one series.
    web::MetricsSnapshot s;
    s.connections = {{"tcp", 2}, {"tcp", 3}};
    s.faults = {{1, "same", 1}, {2, "same", 5}};
    const std::string text = web::MetricsText(s);
    EXPECT_NE(text.find("kelvaro64_connections{link=\"tcp\"} 5\n"), std::string::npos);
    EXPECT_EQ(text.find("kelvaro64_connections{link=\"tcp\"} 2"), std::string::npos);
    EXPECT_NE(text.find("{rule=\"1\",name=\"same\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("{rule=\"2\",name=\"same\"} 5\n"), std::string::npos);
}

TEST(MetricsText, LabelValuesEscaped) {
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"plain", "plain"},
        {"a\"b", "a\\\"b"},
        {"back\\slash", "back\\\\slash"},
        {"two\nlines", "two\\nlines"},
        {"tab\tstays", "tab\tstays"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},  // UTF-8 kept
        {"bad\xFF" "byte", "bad\xEF\xBF\xBD" "byte"},
        {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(web::EscapeLabelValue(c.in), c.out) << c.in;

    web::MetricsSnapshot s;
    s.faults = {{7, "say \"hi\"\n\\", 1}};
    EXPECT_NE(web::MetricsText(s).find("{rule=\"7\",name=\"say \\\"hi\\\"\\n\\\\\"} 1\n"), std::string::npos);
}

// A link label in the metrics is the name the Traffic Monitor, captures and the access
// statistics give the same link, so one link can be followed from one to the other.
TEST(MetricsLinks, ANetworkServersLabelIsTheLinksNameElsewhere) {
    using pomrel::LinkId;
    using pomrel::ServerProtocol;
    struct Case { ServerProtocol protocol; LinkId::Kind kind; };
    const Case cases[] = {
        {ServerProtocol::Tcp, LinkId::Kind::Tcp},
        {ServerProtocol::Udp, LinkId::Kind::Udp},
        {ServerProtocol::RtuOverTcp, LinkId::Kind::RtuOverTcp},
        {ServerProtocol::Tls, LinkId::Kind::Tls},
    };
    for (const Case& c : cases)
        for (const int endpoint : {0, 2, 17})
            EXPECT_EQ(web::ServerLinkName(servers::ProtocolName(c.protocol), endpoint),
                      pomrel::LinkText(LinkId{c.kind, 0, endpoint}))
                << servers::ProtocolName(c.protocol) << " endpoint " << endpoint;
    EXPECT_EQ(web::ServerLinkName("tcp", 2), "tcp:2");
}

}  // namespace
