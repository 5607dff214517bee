// The program's list of network servers on a real engine: what a set-up opens, what a failed
// open keeps, what closing and replacing do to the set-up that Save Test Config writes.
#include "automation/ServerAutomation.h"
#include "servers/NetworkServers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using pomrel::ServerEndpoint;
using pomrel::ServerProtocol;
using servers::NetworkServers;

namespace {

// A loopback socket of the given type holding a port, so that a server on it cannot open.
struct TakenPort {
    explicit TakenPort(int type)
    {
        fd = ::socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (type == SOCK_STREAM)
            ::listen(fd, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~TakenPort() { ::close(fd); }
    int fd = -1;
    std::uint16_t port = 0;
};

ServerEndpoint Endpoint(ServerProtocol protocol, std::uint16_t port, std::string address = "127.0.0.1", int number = 0)
{
    ServerEndpoint e;
    e.protocol = protocol;
    e.port = port;
    e.address = std::move(address);
    e.number = number;
    return e;
}

TEST(ServerList, AServerThatCannotOpenSaysWhyAndStaysInTheSetUp)
{
    pomrel::ProtocolEngine engine;
    NetworkServers list(engine);
    TakenPort tcp(SOCK_STREAM), udp(SOCK_DGRAM);
    std::vector<std::string> told;
    list.onOpenAttempt = [&](const NetworkServers::Entry& e) { told.push_back(NetworkServers::StateText(e)); };

    servers::ServerSetup setup;
    setup.servers = {Endpoint(ServerProtocol::Udp, udp.port, "")};
    setup.endpoints = {Endpoint(ServerProtocol::Tcp, tcp.port, "127.0.0.1", 1)};
    setup.identities[7][0] = "Orvane";
    EXPECT_EQ(list.Apply(setup), 2u);
    ASSERT_EQ(list.Entries().size(), 2u);
    ASSERT_EQ(told.size(), 2u);
    for (const auto& e : list.Entries()) {
        EXPECT_FALSE(e.Open());
        EXPECT_FALSE(e.error.empty());
        EXPECT_EQ(NetworkServers::StateText(e), "failed: " + e.error);
    }
    EXPECT_EQ(NetworkServers::Title(list.Entries()[0]), "Modbus/UDP server (port " + std::to_string(udp.port) + ")");
    EXPECT_EQ(NetworkServers::Title(list.Entries()[1]),
              "Modbus/TCP endpoint 1 (127.0.0.1:" + std::to_string(tcp.port) + ")");
    // Still wanted: saved again, the set-up tries again next time.
    EXPECT_EQ(list.Setup(), setup);

    // Closed by the user: listed, no longer part of the set-up.
    EXPECT_TRUE(list.Close(list.Entries()[1].id));
    EXPECT_EQ(NetworkServers::StateText(list.Entries()[1]), "closed");
    EXPECT_TRUE(list.Setup().endpoints.empty());
    EXPECT_EQ(list.Setup().servers, setup.servers);
    EXPECT_FALSE(list.Close(999));
    EXPECT_FALSE(list.Reopen(999));
    EXPECT_FALSE(list.Remove(999));
    EXPECT_TRUE(list.Remove(list.Entries()[0].id));
    EXPECT_EQ(list.Entries().size(), 1u);
}

TEST(ServerList, OpensClosesAndReplacesOnTheEngine)
{
    pomrel::ProtocolEngine engine;
    NetworkServers list(engine);
    servers::ServerSetup setup;
    setup.servers = {Endpoint(ServerProtocol::Udp, 0), Endpoint(ServerProtocol::RtuOverTcp, 0)};
    setup.endpoints = {Endpoint(ServerProtocol::Tcp, 0, "127.0.0.2", 1)};
    setup.endpoints[0].units = {{1, 7}};
    ASSERT_EQ(list.Apply(setup), 0u) << list.Entries()[0].error;
    for (const auto& e : list.Entries()) {
        ASSERT_TRUE(e.Open()) << NetworkServers::Title(e) << ": " << e.error;
        EXPECT_NE(e.boundPort, 0);
        EXPECT_EQ(NetworkServers::StateText(e), "open on port " + std::to_string(e.boundPort));
    }
    EXPECT_EQ(list.Setup(), setup);

    // A second main UDP server takes the place of the first; an endpoint gets the next number.
    const std::uint32_t udp = list.Entries()[0].id;
    EXPECT_EQ(list.Open(Endpoint(ServerProtocol::Udp, 0, "")), udp);
    EXPECT_EQ(list.Entries().size(), 3u);
    const std::uint32_t added = list.Open(Endpoint(ServerProtocol::Udp, 0, "127.0.0.3"), true);
    ASSERT_NE(list.Find(added), nullptr);
    EXPECT_EQ(list.Find(added)->endpoint.number, 2);
    EXPECT_TRUE(list.Find(added)->Open()) << list.Find(added)->error;

    // Closed and opened again on its own port; the counters of a closed server read nothing.
    const std::uint32_t tcp = list.Entries()[2].id;
    ASSERT_TRUE(list.Close(tcp));
    EXPECT_FALSE(list.Find(tcp)->Open());
    EXPECT_EQ(list.Counters(*list.Find(tcp)).sessions, 0u);
    EXPECT_TRUE(list.Reopen(tcp)) << list.Find(tcp)->error;
    EXPECT_TRUE(list.Find(tcp)->wanted);

    // A set-up without servers closes them all.
    EXPECT_EQ(list.Apply({}), 0u);
    EXPECT_TRUE(list.Entries().empty());
    EXPECT_EQ(list.Setup(), servers::ServerSetup{});
}

TEST(ServerAutomation, MethodsOpenListCloseAndRefuseByField)
{
    pomrel::ProtocolEngine engine;
    NetworkServers list(engine);
    ServerAutomation methods(list);
    using nlohmann::json;

    struct Case { const char* protocol; std::int64_t port; json options; const char* message; };
    const Case refused[] = {
        {"tcp", 0, json::object(), "protocol: \"udp\", \"rtu-over-tcp\" or \"tls\""},
        {"UDP", 0, json::object(), "protocol:"},
        {"udp", -1, json::object(), "port: a whole number from 0 to 65535"},
        {"udp", 65536, json::object(), "port: a whole number from 0 to 65535"},
        {"udp", 0, json::array(), "options: a JSON object"},
        {"udp", 0, json{{"cert", "a.pem"}}, "servers.udp.cert: unknown key"},
        {"tls", 0, json::object(), "servers.tls.cert: missing"},
        {"tls", 0, json{{"cert", "c"}, {"key", "k"}, {"read_only_roles", "Operator"}}, "servers.tls.read_only_roles"},
    };
    for (const Case& c : refused) {
        const FaultCallResult r = methods.OpenServer(c.protocol, c.port, c.options);
        EXPECT_EQ(r.status, -1) << c.protocol << " " << c.port;
        EXPECT_EQ(r.message.rfind(c.message, 0), 0u) << r.message;
    }
    EXPECT_TRUE(list.Entries().empty());

    // A port given as a signed number (as JSON-RPC hands it) opens like any other.
    const FaultCallResult opened = methods.OpenServer("udp", 0, json::object());
    ASSERT_EQ(opened.status, 0) << opened.message;
    const std::uint32_t id = opened.value["id"].get<std::uint32_t>();
    EXPECT_NE(opened.value["port"].get<int>(), 0);
    const FaultCallResult endpoint = methods.OpenEndpoint(json::parse(R"({"protocol": "tcp", "address": "127.0.0.1",
                                                                         "port": 0, "units": {"1": 7}})"));
    ASSERT_EQ(endpoint.status, 0) << endpoint.message;
    EXPECT_EQ(methods.OpenEndpoint(json::parse(R"({"protocol": "tcp", "port": 0, "units": {"1": 300}})")).message,
              "endpoint.units.1: must be a whole number from 0 to 255");

    const json listed = methods.ListServers().value;
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]["protocol"], "udp");
    EXPECT_EQ(listed[0]["state"], "open");
    EXPECT_EQ(listed[0]["endpoint"], 0);
    EXPECT_EQ(listed[1]["endpoint"], 1);
    EXPECT_EQ(listed[1]["units"], json::parse(R"({"1": 7})"));
    EXPECT_TRUE(listed[1]["counters"].contains("handshake_failures"));

    EXPECT_EQ(methods.CloseServer(id).status, 0);
    EXPECT_EQ(methods.ListServers().value[0]["state"], "closed");
    for (std::int64_t bad : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{99}, std::int64_t{1} << 40})
        EXPECT_EQ(methods.CloseServer(bad).message, "no server " + std::to_string(bad));
}

// Thousands of endpoints opened and closed by automation were all still listed, closed; a closed
// endpoint leaves the list, and a main server keeps its row, as the Network Servers window shows it.
TEST(ServerAutomation, ClosedEndpointsLeaveTheListMainServersKeepTheirRows)
{
    pomrel::ProtocolEngine engine;
    NetworkServers list(engine);
    ServerAutomation methods(list);
    using nlohmann::json;

    const FaultCallResult udp = methods.OpenServer("udp", 0, json::object());
    ASSERT_EQ(udp.status, 0) << udp.message;
    std::uint32_t last = 0;
    for (int i = 0; i < 40; ++i) {
        const FaultCallResult e = methods.OpenEndpoint(json::parse(R"({"protocol": "tcp", "address": "127.0.0.1", "port": 0})"));
        ASSERT_EQ(e.status, 0) << e.message;
        last = e.value["id"].get<std::uint32_t>();
        ASSERT_EQ(methods.CloseServer(last).status, 0);
    }
    json listed = methods.ListServers().value;
    ASSERT_EQ(listed.size(), 1u) << listed.dump();
    EXPECT_EQ(listed[0]["protocol"], "udp");
    EXPECT_EQ(methods.CloseServer(last).message, "no server " + std::to_string(last));

    ASSERT_EQ(methods.CloseServer(udp.value["id"].get<std::int64_t>()).status, 0);
    listed = methods.ListServers().value;
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["state"], "closed");
    EXPECT_EQ(list.Setup(), servers::ServerSetup{});
}

} // namespace
