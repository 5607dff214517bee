// The servers, endpoints and identity keys of the set-up extras: what is read, what is refused
// (named by key), what is written back, and how certificate names follow the extras file.
#include "app/HeadlessOptions.h"
#include "app/SetupExtras.h"
#include "servers/ServerSetup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

using pomrel::ServerEndpoint;
using pomrel::ServerProtocol;

namespace {

const char* const kExample = R"({
  "servers": {"udp": {"port": 1502}, "rtu-over-tcp": {"port": 1503},
              "tls": {"port": 802, "cert": "server.pem", "key": "server.key", "ca": "ca.pem",
                      "read_only_roles": ["Operator"]}},
  "endpoints": [{"protocol": "tcp", "address": "127.0.0.2", "port": 1502, "units": {"1": 7}},
                {"protocol": "tls", "address": "::1", "port": 8802, "cert": "/etc/a.pem", "key": "/etc/a.key"}],
  "identity": {"7": {"VendorName": "Orvane", "ProductCode": "PX-7", "MajorMinorRevision": "2.1",
                     "VendorUrl": "", "ProductName": "", "ModelName": "", "UserApplicationName": "",
                     "0x80": "private object", "255": "last"}}
})";

TEST(ServerSetup, TheExampleReadsAsWrittenAndRoundTrips)
{
    std::string error;
    const auto extras = ParseSetupExtras(kExample, error);
    ASSERT_TRUE(extras) << error;
    ASSERT_TRUE(extras->servers);
    ASSERT_EQ(extras->servers->size(), 3u);
    const auto& servers = *extras->servers;
    EXPECT_EQ(servers[0].protocol, ServerProtocol::Udp);
    EXPECT_EQ(servers[0].port, 1502);
    EXPECT_EQ(servers[1].protocol, ServerProtocol::RtuOverTcp);
    EXPECT_EQ(servers[1].port, 1503);
    EXPECT_EQ(servers[2].protocol, ServerProtocol::Tls);
    EXPECT_EQ(servers[2].tls, (pomrel::TlsFiles{"server.pem", "server.key", "ca.pem", {"Operator"}}));
    for (const auto& s : servers)
        EXPECT_EQ(s.number, 0);

    ASSERT_TRUE(extras->endpoints);
    ASSERT_EQ(extras->endpoints->size(), 2u);
    const ServerEndpoint& tcp = (*extras->endpoints)[0];
    EXPECT_EQ(tcp.protocol, ServerProtocol::Tcp);
    EXPECT_EQ(tcp.address, "127.0.0.2");
    EXPECT_EQ(tcp.units, (std::map<std::uint8_t, std::uint8_t>{{1, 7}}));
    EXPECT_EQ(tcp.number, 1);
    EXPECT_EQ((*extras->endpoints)[1].number, 2);
    EXPECT_EQ((*extras->endpoints)[1].address, "::1");

    ASSERT_TRUE(extras->identity);
    const auto& objects = extras->identity->at(7);
    EXPECT_EQ(objects.at(0), "Orvane");
    EXPECT_EQ(objects.at(1), "PX-7");
    EXPECT_EQ(objects.at(2), "2.1");
    EXPECT_EQ(objects.at(6), "");
    EXPECT_EQ(objects.at(0x80), "private object");
    EXPECT_EQ(objects.at(0xFF), "last");
    EXPECT_EQ(objects.size(), 9u);

    // Written back and read again: the same set-up; extended objects come back in hex.
    const std::string text = SerializeSetupExtras(*extras);
    const auto again = ParseSetupExtras(text, error);
    ASSERT_TRUE(again) << text;
    EXPECT_EQ(*again, *extras);
    EXPECT_NE(text.find("\"0xFF\""), std::string::npos) << text;
    EXPECT_EQ(text.find("\"address\": \"\""), std::string::npos) << text;
}

TEST(ServerSetup, EachKeyIsKeptOnlyWhenGiven)
{
    struct Case { const char* text; bool servers, endpoints, identity; const char* written; };
    const Case cases[] = {
        {"{}", false, false, false, "{}\n"},
        {R"({"servers": {}})", true, false, false, "\"servers\": {}"},
        {R"({"endpoints": []})", false, true, false, "\"endpoints\": []"},
        {R"({"identity": {}})", false, false, true, "\"identity\": {}"},
        {R"({"servers": {"udp": {"port": 0}}})", true, false, false, "\"port\": 0"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto extras = ParseSetupExtras(c.text, error);
        ASSERT_TRUE(extras) << c.text << ": " << error;
        EXPECT_EQ(extras->servers.has_value(), c.servers) << c.text;
        EXPECT_EQ(extras->endpoints.has_value(), c.endpoints) << c.text;
        EXPECT_EQ(extras->identity.has_value(), c.identity) << c.text;
        EXPECT_EQ(extras->Empty(), !c.servers && !c.endpoints && !c.identity) << c.text;
        EXPECT_NE(SerializeSetupExtras(*extras).find(c.written), std::string::npos) << SerializeSetupExtras(*extras);
    }
}

TEST(ServerSetup, RefusedValuesNameTheKeyAndGiveNothing)
{
    struct Case { const char* text; const char* named; };
    const Case cases[] = {
        {R"({"servers": []})", "servers: must be an object"},
        {R"({"servers": {"tcp": {"port": 502}}})", "servers.tcp: unknown key"},
        {R"({"servers": {"udp": 1502}})", "servers.udp: must be an object"},
        {R"({"servers": {"udp": {}}})", "servers.udp.port: missing"},
        {R"({"servers": {"udp": {"port": 65536}}})", "servers.udp.port: must be a whole number from 0 to 65535"},
        {R"({"servers": {"udp": {"port": -1}}})", "servers.udp.port"},
        {R"({"servers": {"udp": {"port": "1502"}}})", "servers.udp.port"},
        {R"({"servers": {"udp": {"port": 1502, "cert": "a.pem"}}})", "servers.udp.cert: unknown key"},
        {R"({"servers": {"rtu-over-tcp": {"port": 1.5}}})", "servers.rtu-over-tcp.port"},
        {R"({"servers": {"tls": {"port": 802, "key": "k"}}})", "servers.tls.cert: missing"},
        {R"({"servers": {"tls": {"port": 802, "cert": "c"}}})", "servers.tls.key: missing"},
        {R"({"servers": {"tls": {"port": 802, "cert": "", "key": "k"}}})", "servers.tls.cert: must not be empty"},
        {R"({"servers": {"tls": {"port": 802, "cert": "c", "key": "k", "ca": 5}}})", "servers.tls.ca: must be a text"},
        {R"({"servers": {"tls": {"port": 802, "cert": "c", "key": "k", "read_only_roles": "Operator"}}})",
         "servers.tls.read_only_roles: must be a list"},
        {R"({"servers": {"tls": {"port": 802, "cert": "c", "key": "k", "read_only_roles": ["A", 3]}}})",
         "servers.tls.read_only_roles[1]: must be a text"},
        {R"({"servers": {"tls": {"port": 802, "cert": "c", "key": "k", "roles": []}}})", "servers.tls.roles: unknown key"},
        {R"({"endpoints": {}})", "endpoints: must be a list"},
        {R"({"endpoints": [5]})", "endpoints[0]: must be an object"},
        {R"({"endpoints": [{"port": 1}]})", "endpoints[0].protocol: missing"},
        {R"({"endpoints": [{"protocol": "rtu", "port": 1}]})", "endpoints[0].protocol: must be"},
        {R"({"endpoints": [{"protocol": "tcp"}]})", "endpoints[0].port: missing"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1}, {"protocol": "udp", "port": 70000}]})", "endpoints[1].port"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "address": "localhost"}]})", "endpoints[0].address: must be an IPv4"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "address": "127.0.0.256"}]})", "endpoints[0].address"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "address": 127}]})", "endpoints[0].address: must be a text"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "units": [1, 7]}]})", "endpoints[0].units: must be an object"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "units": {"256": 7}}]})", "endpoints[0].units.256: a unit id"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "units": {"x": 7}}]})", "endpoints[0].units.x: a unit id"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "units": {"1": 256}}]})", "endpoints[0].units.1: must be a whole"},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "units": {"1": "7"}}]})", "endpoints[0].units.1: must be a whole"},
        {R"({"endpoints": [{"protocol": "udp", "port": 1, "cert": "c"}]})", "endpoints[0].cert: only with protocol \"tls\""},
        {R"({"endpoints": [{"protocol": "tcp", "port": 1, "bogus": 1}]})", "endpoints[0].bogus: unknown key"},
        {R"({"endpoints": [{"protocol": "tls", "port": 1, "cert": "c"}]})", "endpoints[0].key: missing"},
        {R"({"endpoints": [{"protocol": "tls", "port": 1, "cert": "c", "key": "k", "bogus": 1}]})",
         "endpoints[0].bogus: unknown key"},
        {R"({"identity": []})", "identity: must be an object"},
        {R"({"identity": {"256": {}}})", "identity.256: a device id"},
        {R"({"identity": {"seven": {}}})", "identity.seven: a device id"},
        {R"({"identity": {"7": "Orvane"}})", "identity.7: must be an object"},
        {R"({"identity": {"7": {"Vendor": "x"}}})", "identity.7.Vendor: not an object name"},
        {R"({"identity": {"7": {"0x07": "x"}}})", "identity.7.0x07: not an object name"},
        {R"({"identity": {"7": {"0x100": "x"}}})", "identity.7.0x100: not an object name"},
        {R"({"identity": {"7": {"127": "x"}}})", "identity.7.127: not an object name"},
        {R"({"identity": {"7": {"0x80": "a", "128": "b"}}})", "identity.7.128: the same object twice"},
        {R"({"identity": {"7": {"VendorName": 5}}})", "identity.7.VendorName: must be a text"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(ParseSetupExtras(c.text, error), std::nullopt) << c.text;
        EXPECT_EQ(error.rfind(c.named, 0), 0u) << c.text << " -> " << error;
    }
}

TEST(ServerSetup, LimitsKeepAFileFromAskingForTooMuch)
{
    std::string error;
    const std::string longest(servers::kMaxObjectBytes, 'x');
    EXPECT_TRUE(ParseSetupExtras(R"({"identity": {"1": {"VendorName": ")" + longest + "\"}}}", error)) << error;
    EXPECT_FALSE(ParseSetupExtras(R"({"identity": {"1": {"VendorName": ")" + longest + "x\"}}}", error));
    EXPECT_EQ(error, "identity.1.VendorName: at most 244 bytes");

    const struct { std::size_t endpoints; const char* error; } counts[] = {
        {4096, ""},
        {4097, "endpoints: at most 4096 endpoints"},
    };
    for (const auto& c : counts) {
        SCOPED_TRACE(c.endpoints);
        std::string many = R"({"endpoints": [)";
        for (std::size_t i = 0; i < c.endpoints; ++i)
            many += std::string(i ? "," : "") + R"({"protocol": "udp", "port": 1})";
        error.clear();
        const auto extras = ParseSetupExtras(many + "]}", error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(extras && extras->endpoints && extras->endpoints->size() == c.endpoints, !*c.error);
    }
}

TEST(ServerSetup, IdentityObjectNamesBothWays)
{
    struct Case { const char* name; std::optional<std::uint8_t> id; const char* written; };
    const Case cases[] = {
        {"VendorName", 0, "VendorName"},   {"UserApplicationName", 6, "UserApplicationName"},
        {"0x80", 0x80, "0x80"},            {"0X8a", 0x8A, "0x8A"},
        {"128", 0x80, "0x80"},             {"255", 0xFF, "0xFF"},
        {"vendorname", std::nullopt, ""},  {"0x7F", std::nullopt, ""},
        {"0x", std::nullopt, ""},          {"", std::nullopt, ""},
        {"+200", std::nullopt, ""},        {"200 ", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(servers::IdentityObjectId(c.name), c.id) << c.name;
        if (c.id) {
            EXPECT_EQ(servers::IdentityObjectName(*c.id), c.written) << c.name;
        }
    }
}

TEST(ServerSetup, CertificateNamesFollowTheExtrasFile)
{
    char folder[] = "/tmp/kelvaro-servers-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/plant.tst.json";
    {
        std::ofstream out(path);
        out << R"({"servers": {"tls": {"port": 802, "cert": "server.pem", "key": "keys/server.key", "ca": "/etc/ca.pem"}},
                   "endpoints": [{"protocol": "tls", "port": 8802, "cert": "../up.pem", "key": "k.pem"}]})";
    }
    std::string error;
    auto extras = ReadSetupExtras(path, error);
    ASSERT_TRUE(extras) << error;
    const pomrel::TlsFiles& tls = extras->servers->at(0).tls;
    EXPECT_EQ(tls.cert, std::string(folder) + "/server.pem");
    EXPECT_EQ(tls.key, std::string(folder) + "/keys/server.key");
    EXPECT_EQ(tls.ca, "/etc/ca.pem");
    const pomrel::TlsFiles& other = extras->endpoints->at(0).tls;
    EXPECT_EQ(other.cert.rfind("/tmp/up.pem", 0), 0u) << other.cert;
    EXPECT_EQ(other.key, std::string(folder) + "/k.pem");

    // Written beside the same folder: names inside it become relative again, others stay whole.
    servers::RelativeFiles(*extras->servers, folder);
    servers::RelativeFiles(*extras->endpoints, folder);
    EXPECT_EQ(extras->servers->at(0).tls.cert, "server.pem");
    EXPECT_EQ(extras->servers->at(0).tls.key, "keys/server.key");
    EXPECT_EQ(extras->servers->at(0).tls.ca, "/etc/ca.pem");
    EXPECT_EQ(extras->endpoints->at(0).tls.cert, "/tmp/up.pem");
    EXPECT_EQ(extras->endpoints->at(0).tls.key, "k.pem");
    std::remove(path.c_str());
    ::rmdir(folder);
}

TEST(HeadlessServerOptions, PortsAndTlsFilesOrWhatIsWrong)
{
    struct Case {
        std::vector<std::string> args;
        std::optional<int> udp, rtu, tls;
        const char* cert;
        const char* error;  // empty: understood
    };
    const Case cases[] = {
        {{"--udp-port", "1502", "--rtu-over-tcp-port", "0"}, 1502, 0, std::nullopt, "", ""},
        {{"--tls-port", "802", "--tls-cert", "s.pem", "--tls-key", "s.key", "--tls-ca", "ca.pem"}, std::nullopt,
         std::nullopt, 802, "s.pem", ""},
        {{"--tls-key", "s.key", "--tls-cert", "s.pem", "--tls-port", "802"}, std::nullopt, std::nullopt, 802, "s.pem", ""},
        {{"--udp-port", "65536"}, std::nullopt, std::nullopt, std::nullopt, "", "--udp-port: not a port number: 65536"},
        {{"--rtu-over-tcp-port"}, std::nullopt, std::nullopt, std::nullopt, "", "--rtu-over-tcp-port needs a port number"},
        {{"--tls-port", "802"}, std::nullopt, std::nullopt, 802, "", "--tls-port needs --tls-cert FILE and --tls-key FILE"},
        {{"--tls-port", "802", "--tls-cert", "s.pem"}, std::nullopt, std::nullopt, 802, "s.pem",
         "--tls-port needs --tls-cert FILE and --tls-key FILE"},
        {{"--tls-ca", "ca.pem"}, std::nullopt, std::nullopt, std::nullopt, "", "--tls-cert, --tls-key and --tls-ca need --tls-port"},
        {{"--tls-port", "802", "--tls-cert"}, std::nullopt, std::nullopt, 802, "", "--tls-cert needs a file"},
        {{"--tls-port", "802", "--tls-cert", "", "--tls-key", "k"}, std::nullopt, std::nullopt, 802, "", "--tls-cert needs a file"},
    };
    for (const Case& c : cases) {
        const HeadlessOptions o = ParseHeadlessOptions(c.args);
        const std::string line = c.args[0] + " ... (" + std::to_string(c.args.size()) + ")";
        EXPECT_EQ(o.error, c.error) << line;
        EXPECT_EQ(o.udpPort, c.udp) << line;
        EXPECT_EQ(o.rtuOverTcpPort, c.rtu) << line;
        EXPECT_EQ(o.tlsPort, c.tls) << line;
        EXPECT_EQ(o.tlsCert, c.cert) << line;
    }
    const std::string usage = HeadlessUsage();
    for (const char* option : {"--udp-port N", "--rtu-over-tcp-port N", "--tls-port N", "--tls-cert FILE",
                               "--tls-key FILE", "--tls-ca FILE"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

} // namespace
