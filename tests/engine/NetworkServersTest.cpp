// The network servers beside the main Modbus/TCP server: Modbus/UDP, RTU over TCP and extra
// endpoints, driven by raw sockets on loopback; and the pure scanners under them.
#include "engine/Checksums.h"
#include "engine/ProtocolEngine.h"
#include "engine/StreamFraming.h"
#include "engine/TrafficLog.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestCertificate.h"

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace pomrel {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::ToHex;
using Bytes = std::vector<std::uint8_t>;

Bytes WithCrc(Bytes frame)
{
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

// ------------------------------------------------------------------ the scanners

// What a session does with a stream: scan the front, take a frame or a discard, go on.
std::string ScanAll(RtuStreamScanner& scanner, const Bytes& buffer, std::size_t& used)
{
    std::string events;
    used = 0;
    for (;;) {
        const StreamScan s = scanner.Scan(buffer.data() + used, buffer.size() - used, false);
        if (s.kind == StreamScan::Kind::Incomplete)
            return events;
        events += (s.kind == StreamScan::Kind::Frame ? "F" : "D") + std::to_string(s.size) + " ";
        if (s.kind == StreamScan::Kind::Frame && (s.pdu != buffer.data() + used + 1 || s.pduSize + 3 != s.size))
            return events + "bad-pdu";
        used += s.size;
    }
}

TEST(RtuStream, FramesByContentWholeAndInPieces)
{
    const std::string read = "01 03 00 00 00 01 84 0A";  // a published FC 3 frame
    const std::string readTen = "01 03 00 00 00 0A C5 CD";
    const std::string unknown = ToHex(WithCrc({0x01, 0x41}));  // a function the content cannot size
    Bytes overLongBytes = {0x17, 0x17};
    overLongBytes.resize(2 + 8 + 1 + 255, 0xFF);
    const std::string overLong = ToHex(WithCrc(overLongBytes));
    struct Case { const char* name; std::string bytes; std::string events; };
    const Case cases[] = {
        {"one read", read, "F8 "},
        {"two back to back", read + readTen, "F8 F8 "},
        {"write multiple sized by its byte count", ToHex(WithCrc(Hex("01 10 00 00 00 02 04 00 0A 01 02"))), "F13 "},
        {"a bad CRC waits for what follows", "01 03 00 00 00 01 84 0B", ""},
        {"a bad CRC is dropped at the retry", "01 03 00 00 00 01 84 0B" + read, "D8 F8 "},
        {"noise before a frame", "FF 00 " + read, "D2 F8 "},
        {"unknown function ending in a good CRC", unknown, "F4 "},
        {"half a frame", "01 03 00 00", ""},
        // Function 23 whose byte count asks for 255 bytes: 268 bytes with a good CRC, yet longer
        // than any RTU frame, so noise that goes at the next frame.
        {"over 256 bytes is no frame", overLong, ""},
        {"over 256 bytes is dropped at the next frame", overLong + read, "D268 F8 "},
    };
    for (const Case& c : cases) {
        const Bytes bytes = Hex(c.bytes);
        RtuStreamScanner scanner;
        std::size_t used = 0;
        EXPECT_EQ(ScanAll(scanner, bytes, used), c.events) << c.name << " (whole)";
        // One byte at a time: the events must be the same (a frame split over reads is no frame less).
        if (c.bytes == unknown)
            continue;  // a prefix of it may end in a good CRC by chance; sized by content it is not
        Bytes buffer;
        std::string events;
        for (std::uint8_t b : bytes) {
            buffer.push_back(b);
            std::size_t u = 0;
            events += ScanAll(scanner, buffer, u);
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(u));
        }
        EXPECT_EQ(events, c.events) << c.name << " (byte by byte)";
    }
}

TEST(RtuStream, GarbageNeverHoldsMoreThanAFrameWindow)
{
    // A stream of noise is discarded as it comes, so a session's buffer never fills with it.
    RtuStreamScanner scanner;
    Bytes noise(4000, 0xFF);
    std::size_t used = 0;
    ScanAll(scanner, noise, used);
    EXPECT_GE(used, noise.size() - 600);
}

TEST(UdpDatagram, ExactlyOneRequest)
{
    const std::string read = "00 01 00 00 00 06 01 03 00 00 00 01";
    struct Case { const char* name; std::string bytes; bool frame; };
    const Case cases[] = {
        {"one request", read, true},
        {"empty", "", false},
        {"short header", "00 01 00 00 00", false},
        {"length says more than came", "00 01 00 00 00 07 01 03 00 00 00 01", false},
        {"a byte too many", read + " 00", false},
        {"two requests in one datagram", read + read, false},
        {"protocol id not 0", "00 01 00 01 00 06 01 03 00 00 00 01", false},
        {"length below 2", "00 01 00 00 00 01 01", false},
    };
    for (const Case& c : cases) {
        const Bytes bytes = Hex(c.bytes);
        const StreamScan s = ScanUdpDatagram(bytes.data(), bytes.size());
        EXPECT_EQ(s.kind == StreamScan::Kind::Frame, c.frame) << c.name;
        if (c.frame) {
            EXPECT_EQ(s.unit, 1) << c.name;
            EXPECT_EQ(s.pduSize, 5u) << c.name;
        }
    }
}

// ------------------------------------------------------------------ sockets

sockaddr_storage Address(const std::string& ip, std::uint16_t port, socklen_t& size)
{
    sockaddr_storage a{};
    if (ip.find(':') != std::string::npos) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        ::inet_pton(AF_INET6, ip.c_str(), &a6->sin6_addr);
        size = sizeof(sockaddr_in6);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        ::inet_pton(AF_INET, ip.c_str(), &a4->sin_addr);
        size = sizeof(sockaddr_in);
    }
    return a;
}

// A master socket, TCP or UDP, to one address; every wait bounded.
class Master {
public:
    Master(const std::string& ip, std::uint16_t port, bool udp = false)
    {
        socklen_t size = 0;
        const sockaddr_storage a = Address(ip, port, size);
        fd_ = ::socket(a.ss_family, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
        int one = 1;
        if (!udp)
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), size) == 0;
    }
    ~Master() { ::close(fd_); }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    bool Connected() const { return connected_; }
    bool Send(const Bytes& bytes) { return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()); }
    // TCP: up to `want` bytes; UDP: one datagram.
    Bytes Receive(std::size_t want, std::chrono::milliseconds timeout = 2000ms)
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            std::uint8_t buf[1024];
            const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, want - out.size()), 0);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::size_t OpenDescriptors()
{
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

// The engine's frame records, waited for (bounded) until `count` have come.
std::vector<FrameRecord> TakeRecords(ProtocolEngine& engine, std::size_t count)
{
    std::vector<FrameRecord> records;
    for (int i = 0; i < 600 && records.size() < count; ++i) {
        if (engine.TakeFrameRecords(records, 64) == 0)
            std::this_thread::sleep_for(5ms);
    }
    return records;
}

// Device 1: holding registers 1..1000 = 0x0100 + i; device 7: registers 1..10 = 0x7000 + i.
class NetworkServers : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (std::size_t i = 0; i < device1.size(); ++i)
            device1[i] = static_cast<std::uint16_t>(0x0100 + i);
        for (std::size_t i = 0; i < device7.size(); ++i)
            device7[i] = static_cast<std::uint16_t>(0x7000 + i);
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 1000, device1.data()), kNoHandle);
        ASSERT_NE(engine.DefineDataBlock(7, 3, 1, 10, device7.data()), kNoHandle);
    }
    Handle Open(ServerProtocol protocol, std::string address = "127.0.0.1", std::map<std::uint8_t, std::uint8_t> units = {})
    {
        ServerEndpoint e;
        e.protocol = protocol;
        e.address = std::move(address);
        e.units = std::move(units);
        e.number = 3;
        const Handle h = engine.OpenServer(e);
        EXPECT_NE(h, kNoHandle) << engine.LastOpenError();
        return h;
    }
    // Waits (bounded) until the server counts `sessions` masters.
    bool SessionsBecome(Handle h, std::uint32_t sessions)
    {
        for (int i = 0; i < 400; ++i) {
            if (engine.ServerStatus(h).sessions == sessions)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    std::array<RegisterWord, 1000> device1{};
    std::array<RegisterWord, 10> device7{};
    ProtocolEngine engine;
};

TEST_F(NetworkServers, UdpAnswersTheSenderAndDropsBadDatagrams)
{
    const Handle h = Open(ServerProtocol::Udp);
    Master master("127.0.0.1", engine.BoundTcpPort(h), true);
    ASSERT_TRUE(master.Connected());
    ASSERT_TRUE(master.Send(Hex("12 34 00 00 00 06 01 03 00 02 00 02")));
    EXPECT_EQ(ToHex(master.Receive(64)), "12 34 00 00 00 07 01 03 04 01 02 01 03");
    // Unit 0 reaches whichever device holds the address, as on Modbus/TCP.
    ASSERT_TRUE(master.Send(Hex("00 05 00 00 00 06 00 03 00 00 00 01")));
    EXPECT_EQ(ToHex(master.Receive(64)), "00 05 00 00 00 05 00 03 02 01 00");

    const char* bad[] = {"00 01 00 00 00", "00 01 00 00 00 06 01 03 00 00 00 01 00",
                         "00 01 00 00 00 06 01 03 00 00 00 01 00 02 00 00 00 06 01 03 00 00 00 01",
                         "00 01 00 07 00 06 01 03 00 00 00 01"};
    for (const char* datagram : bad) {
        ASSERT_TRUE(master.Send(Hex(datagram)));
        EXPECT_TRUE(master.Receive(64, 100ms).empty()) << datagram;  // never answered
    }
    // Still serving after them.
    ASSERT_TRUE(master.Send(Hex("00 09 00 00 00 06 01 03 00 00 00 01")));
    EXPECT_EQ(ToHex(master.Receive(64)), "00 09 00 00 00 05 01 03 02 01 00");
    const ServerCounters counters = engine.ServerStatus(h);
    EXPECT_EQ(counters.validMessages, 3u);
    EXPECT_EQ(counters.invalidChecks, 4u);
}

TEST_F(NetworkServers, RtuOverTcpAnswersAndResynchronisesAfterABadCrc)
{
    const Handle h = Open(ServerProtocol::RtuOverTcp);
    Master master("127.0.0.1", engine.BoundTcpPort(h));
    ASSERT_TRUE(master.Connected());
    ASSERT_TRUE(master.Send(Hex("01 03 00 00 00 01 84 0A")));
    const Bytes answer = master.Receive(7);
    EXPECT_EQ(ToHex(answer), ToHex(WithCrc(Hex("01 03 02 01 00"))));
    // A damaged request, then the master's retry: the retry is answered, the damage counted.
    ASSERT_TRUE(master.Send(Hex("01 03 00 00 00 01 84 0B")));
    EXPECT_TRUE(master.Receive(7, 100ms).empty());
    ASSERT_TRUE(master.Send(Hex("01 03 00 00 00 01 84 0A")));
    EXPECT_EQ(ToHex(master.Receive(7)), ToHex(answer));
    // A request split over two sends is one request.
    ASSERT_TRUE(master.Send(Hex("01 03 00")));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(master.Send(Hex("00 00 01 84 0A")));
    EXPECT_EQ(ToHex(master.Receive(7)), ToHex(answer));
    // Unit 0 is a broadcast, as on a serial line: the write lands, nothing is answered.
    ASSERT_TRUE(master.Send(WithCrc(Hex("00 06 00 09 12 34"))));
    EXPECT_TRUE(master.Receive(8, 100ms).empty());
    EXPECT_EQ(device1[9].load(), 0x1234);
    const ServerCounters counters = engine.ServerStatus(h);
    EXPECT_EQ(counters.validMessages, 4u);
    EXPECT_EQ(counters.invalidChecks, 1u);
    EXPECT_EQ(counters.sessions, 1u);
}

TEST_F(NetworkServers, RtuOverTcpServesSeveralMastersAtOnce)
{
    const Handle h = Open(ServerProtocol::RtuOverTcp);
    const std::uint16_t port = engine.BoundTcpPort(h);
    constexpr int kMasters = 8;
    constexpr int kRequests = 200;
    std::array<int, kMasters> good{};
    std::vector<std::thread> threads;
    for (int m = 0; m < kMasters; ++m) {
        threads.emplace_back([&, m] {
            Master master("127.0.0.1", port);
            for (int r = 0; r < kRequests && master.Connected(); ++r) {
                const auto address = static_cast<std::uint8_t>((m * 31 + r) % 200);
                if (!master.Send(WithCrc({1, 3, 0, address, 0, 1})))
                    break;
                const Bytes want = WithCrc({1, 3, 2, 1, address});
                if (master.Receive(want.size()) == want)
                    ++good[static_cast<std::size_t>(m)];
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (int m = 0; m < kMasters; ++m)
        EXPECT_EQ(good[static_cast<std::size_t>(m)], kRequests) << "master " << m;
    EXPECT_TRUE(SessionsBecome(h, 0));
}

TEST_F(NetworkServers, AnEndpointMapsUnitIdsToDevicesAndAnswersWithTheUnitSent)
{
    struct Case { ServerProtocol protocol; const char* address; };
    const Case cases[] = {{ServerProtocol::Tcp, "127.0.0.2"}, {ServerProtocol::Udp, "127.0.0.3"},
                          {ServerProtocol::RtuOverTcp, "127.0.0.4"}, {ServerProtocol::Tcp, "::1"}};
    for (const Case& c : cases) {
        const Handle h = Open(c.protocol, c.address, {{1, 7}});
        ASSERT_NE(h, kNoHandle);
        Master master(c.address, engine.BoundTcpPort(h), c.protocol == ServerProtocol::Udp);
        ASSERT_TRUE(master.Connected()) << c.address;
        if (c.protocol == ServerProtocol::RtuOverTcp) {
            ASSERT_TRUE(master.Send(Hex("01 03 00 00 00 01 84 0A")));
            EXPECT_EQ(ToHex(master.Receive(7)), ToHex(WithCrc(Hex("01 03 02 70 00")))) << c.address;
        } else {
            ASSERT_TRUE(master.Send(Hex("00 01 00 00 00 06 01 03 00 00 00 01")));
            EXPECT_EQ(ToHex(master.Receive(11)), "00 01 00 00 00 05 01 03 02 70 00") << c.address;
            // Unit 7 is not in the map: no device answers for it (the next request's answer comes first).
            ASSERT_TRUE(master.Send(Hex("00 02 00 00 00 06 07 03 00 01 00 01")));
            ASSERT_TRUE(master.Send(Hex("00 03 00 00 00 06 01 03 00 01 00 01")));
            EXPECT_EQ(ToHex(master.Receive(11)), "00 03 00 00 00 05 01 03 02 70 01") << c.address;
        }
        // Bound to that address only: the same port on another is not this server.
        if (c.protocol != ServerProtocol::Udp && std::string(c.address) != "::1") {
            Master other("127.0.0.1", engine.BoundTcpPort(h));
            EXPECT_FALSE(other.Connected()) << c.address;
        }
        engine.CloseConnection(h);
    }
}

// An endpoint with a unit map serves only the devices it maps. Device 1 (0x01..), 4 (0x40..) and
// 7 (0x70..) hold registers, each an identity; unit 9 reaches no document anywhere. Each request
// that is not answered is followed by one that is: the first answer to arrive must be that one.
TEST_F(NetworkServers, AnEndpointWithAUnitMapServesOnlyTheDevicesItMaps)
{
    std::array<RegisterWord, 10> device4{};
    for (std::size_t i = 0; i < device4.size(); ++i)
        device4[i] = static_cast<std::uint16_t>(0x4000 + i);
    ASSERT_NE(engine.DefineDataBlock(4, 3, 1, 10, device4.data()), kNoHandle);
    engine.SetDeviceIdentity(1, {{0x00, "One"}, {0x80, "1"}});
    engine.SetDeviceIdentity(4, {{0x00, "Four"}, {0x80, "4"}});
    engine.SetDeviceIdentity(7, {{0x00, "Seven"}, {0x80, "7"}});
    const std::string vendorOf7 = "2b 0e 04 83 00 00 01 00 05 53 65 76 65 6e";  // "Seven"
    const std::string vendorOf4 = "2b 0e 04 83 00 00 01 00 04 46 6f 75 72";     // "Four"
    struct Step { std::uint8_t unit; const char* pdu; std::string answer; };  // "" = none
    const std::vector<Step> oneDevice = {  // units {2: 7}
        {2, "03 00 00 00 01", "03 02 70 00"},
        {1, "03 00 00 00 01", ""},           // device 1 is served, but not here
        {7, "03 00 00 00 01", ""},           // nor is device 7 under its own id
        {9, "03 00 00 00 01", ""},           // as a unit no document serves
        {255, "03 00 01 00 01", "03 02 70 01"},
        {1, "2b 0e 04 00", ""},
        {2, "2b 0e 04 00", vendorOf7},
        {255, "2b 0e 04 00", vendorOf7},
    };
    const std::vector<Step> twoDevices = {  // units {2: 7, 3: 4}: 0 and 255 reach the lowest, 4
        {3, "03 00 00 00 01", "03 02 40 00"},
        {255, "03 00 01 00 01", "03 02 40 01"},
        {255, "2b 0e 04 00", vendorOf4},
        {4, "03 00 00 00 01", ""},
    };
    struct Case {
        const char* name;
        ServerProtocol protocol;
        std::map<std::uint8_t, std::uint8_t> units;
        std::vector<Step> steps;
    };
    std::vector<Case> cases = {
        {"Modbus/TCP, one device", ServerProtocol::Tcp, {{2, 7}}, oneDevice},
        {"Modbus/UDP, one device", ServerProtocol::Udp, {{2, 7}}, oneDevice},
        {"RTU over TCP, one device", ServerProtocol::RtuOverTcp, {{2, 7}}, oneDevice},
        {"Modbus/TCP, two devices", ServerProtocol::Tcp, {{2, 7}, {3, 4}}, twoDevices},
        {"RTU over TCP, two devices", ServerProtocol::RtuOverTcp, {{2, 7}, {3, 4}}, twoDevices},
    };
    // On Modbus/TCP unit 0 is unit 255's twin; on RTU it stays a broadcast (never answered).
    for (Case& c : cases) {
        const bool rtu = c.protocol == ServerProtocol::RtuOverTcp;
        std::vector<Step> more;
        for (const Step& step : c.steps)
            if (step.unit == 255)
                more.push_back({0, step.pdu, rtu ? "" : step.answer});
        c.steps.insert(c.steps.end(), more.begin(), more.end());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool rtu = c.protocol == ServerProtocol::RtuOverTcp;
        const Handle h = Open(c.protocol, "127.0.0.5", c.units);
        ASSERT_NE(h, kNoHandle);
        Master master("127.0.0.5", engine.BoundTcpPort(h), c.protocol == ServerProtocol::Udp);
        ASSERT_TRUE(master.Connected());
        std::uint8_t transaction = 0;  // each request's own; an answer carries its request's
        auto frame = [&](std::uint8_t id, std::uint8_t unit, const std::string& pdu) {
            const Bytes body = Hex(pdu);
            if (rtu) {
                Bytes f = {unit};
                f.insert(f.end(), body.begin(), body.end());
                return WithCrc(f);
            }
            Bytes f = {0, id, 0, 0, 0, static_cast<std::uint8_t>(body.size() + 1), unit};
            f.insert(f.end(), body.begin(), body.end());
            return f;
        };
        for (const Step& step : c.steps) {
            SCOPED_TRACE(std::to_string(step.unit) + ": " + step.pdu);
            ASSERT_TRUE(master.Send(frame(++transaction, step.unit, step.pdu)));
            Bytes expected = frame(transaction, step.unit, step.answer);
            if (step.answer.empty()) {  // what follows is answered, and its answer comes first
                ASSERT_TRUE(master.Send(frame(++transaction, 2, "03 00 00 00 01")));
                expected = frame(transaction, 2, "03 02 70 00");
            }
            EXPECT_EQ(ToHex(master.Receive(expected.size())), ToHex(expected));
        }
        if (rtu) {
            // A broadcast write reaches the endpoint's device (the one 255 reads) and no other.
            ASSERT_TRUE(master.Send(frame(0, 0, "06 00 05 12 34")));
            ASSERT_TRUE(master.Send(frame(0, 255, "03 00 05 00 01")));
            EXPECT_EQ(ToHex(master.Receive(7)), ToHex(frame(0, 255, "03 02 12 34")));
            EXPECT_EQ((device1[5] == 0x1234) + (device4[5] == 0x1234) + (device7[5] == 0x1234), 1);
            device1[5] = 0x0105;
            device4[5] = 0x4005;
            device7[5] = 0x7005;
        }
        engine.CloseConnection(h);
    }
}

TEST_F(NetworkServers, OpenErrorsNameTheEndpointAndTheReason)
{
    const Handle first = Open(ServerProtocol::Tcp, "127.0.0.5");
    ServerEndpoint taken;
    taken.protocol = ServerProtocol::Tcp;
    taken.address = "127.0.0.5";
    taken.port = engine.BoundTcpPort(first);
    ServerEndpoint notAnAddress;
    notAnAddress.protocol = ServerProtocol::Udp;
    notAnAddress.address = "127.0.0.300";
    struct Case { ServerEndpoint endpoint; std::string error; };
    const Case cases[] = {
        {taken, "tcp 127.0.0.5:" + std::to_string(taken.port) + ": Address already in use"},
        {notAnAddress, "udp 127.0.0.300:0: \"127.0.0.300\" is not an IPv4 or IPv6 address"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(engine.OpenServer(c.endpoint), kNoHandle);
        EXPECT_EQ(engine.LastOpenError(), c.error);
    }
}

TEST_F(NetworkServers, TlsFilesThatCannotBeUsedAreNamedAtOpen)
{
    char folder[] = "/tmp/tls-files-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string notPem = std::string(folder) + "/not.pem";
    if (std::FILE* f = std::fopen(notPem.c_str(), "w")) {
        std::fputs("this is no certificate\n", f);
        std::fclose(f);
    }
    const std::string missing = std::string(folder) + "/missing.pem";
    struct Case { TlsFiles files; std::string errorStart; };
    const Case cases[] = {
        {{missing, missing, "", {}}, "tls *:0: certificate " + missing + ": No such file or directory"},
        {{notPem, missing, "", {}}, "tls *:0: key " + missing + ": No such file or directory"},
        {{notPem, notPem, "", {}}, "tls *:0: certificate " + notPem + ": "},
        {{"", "", "", {}}, "tls *:0: no certificate file given"},
    };
    for (const Case& c : cases) {
        ServerEndpoint e;
        e.protocol = ServerProtocol::Tls;
        e.tls = c.files;
        EXPECT_EQ(engine.OpenServer(e), kNoHandle);
        EXPECT_EQ(engine.LastOpenError().rfind(c.errorStart, 0), 0u) << engine.LastOpenError();
        EXPECT_GT(engine.LastOpenError().size(), c.errorStart.size() - 1) << engine.LastOpenError();
    }
    ::unlink(notPem.c_str());
    ::rmdir(folder);
}

// A CA, the server's certificate and client certificates signed by it, made with the openssl
// command in a scratch folder; each client certificate carries the extension given (or none).
class TlsAuthority {
public:
    TlsAuthority()
    {
        char folder[] = "/tmp/tls-ca-XXXXXX";
        if (!::mkdtemp(folder))
            return;
        folder_ = folder;
        ok_ = Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=ca -keyout " + Path("ca.key") +
                  " -out " + Path("ca.pem")) &&
              Sign("server", "");
    }
    ~TlsAuthority() { std::system(("rm -rf " + folder_).c_str()); }
    bool Ok() const { return ok_; }
    // Makes <name>.pem and <name>.key; `extension` is an -addext value, or empty.
    bool Sign(const std::string& name, const std::string& extension)
    {
        const std::string addext = extension.empty() ? std::string() : " -addext '" + extension + "'";
        return Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 -keyout " + Path(name + ".key") +
                   " -out " + Path(name + ".csr") + addext) &&
               Run("openssl x509 -req -in " + Path(name + ".csr") + " -CA " + Path("ca.pem") + " -CAkey " + Path("ca.key") +
                   " -CAcreateserial -days 2 -copy_extensions copyall -out " + Path(name + ".pem"));
    }
    std::string Path(const std::string& file) const { return folder_ + "/" + file; }

private:
    static bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    std::string folder_;
    bool ok_ = false;
};

// A TLS master showing a client certificate. Ask gives the answer, or nothing when the server
// ended the connection (a refused certificate shows at the first read under TLS 1.3).
class TlsMaster {
public:
    TlsMaster(std::uint16_t port, const std::string& cert, const std::string& key) : ssl_(Context(cert, key)), stream_(io_, ssl_)
    {
        std::error_code ec;
        stream_.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
        if (ec)
            return;
        stream_.handshake(asio::ssl::stream_base::client, ec);
        shaken_ = !ec;
    }
    // One whole MBAP answer, however long its header says it is.
    Bytes Ask(const Bytes& request)
    {
        if (!shaken_)
            return {};
        std::error_code ec;
        asio::write(stream_, asio::buffer(request), ec);
        Bytes answer(6);
        if (!Readable())
            return {};
        asio::read(stream_, asio::buffer(answer), ec);
        if (ec)
            return {};
        answer.resize(6 + static_cast<std::size_t>(answer[4] << 8 | answer[5]));
        asio::read(stream_, asio::buffer(answer.data() + 6, answer.size() - 6), ec);
        return ec ? Bytes{} : answer;
    }

private:
    // Whether an answer begins within 5 s: a server that keeps silent fails the test, not hangs it.
    bool Readable()
    {
        pollfd p{stream_.lowest_layer().native_handle(), POLLIN, 0};
        return SSL_pending(stream_.native_handle()) > 0 || ::poll(&p, 1, 5000) == 1;
    }
    static asio::ssl::context Context(const std::string& cert, const std::string& key)
    {
        asio::ssl::context ssl(asio::ssl::context::tls_client);
        std::error_code ec;
        ssl.set_verify_mode(asio::ssl::verify_none);
        ssl.use_certificate_chain_file(cert, ec);
        ssl.use_private_key_file(key, asio::ssl::context::pem, ec);
        return ssl;
    }
    asio::io_context io_;
    asio::ssl::context ssl_;
    asio::ssl::stream<asio::ip::tcp::socket> stream_;
    bool shaken_ = false;
};

TEST_F(NetworkServers, TlsRefusesARoleThatIsNotAUtf8StringAndReadsACriticalOneExactly)
{
    TlsAuthority ca;
    ASSERT_TRUE(ca.Ok()) << "openssl could not make the certificates";
    const std::string oid = "1.3.6.1.4.1.50316.802.1=";
    struct Case { std::string name, extension; bool served; std::string role; bool writes; };
    const Case cases[] = {
        {"none", "", true, "", true},
        {"reader", oid + "ASN1:UTF8String:reader", true, "reader", false},
        {"critical", oid + "critical,ASN1:UTF8String:reader", true, "reader", false},
        {"capital", oid + "ASN1:UTF8String:Reader", true, "Reader", true},  // names compare exactly
        {"ia5", oid + "ASN1:IA5STRING:operator", false, "", false},
        {"integer", oid + "ASN1:INTEGER:5", false, "", false},
        {"garbage", oid + "DER:C0FFEE", false, "", false},
        {"trailing", oid + "DER:0C0172FF", false, "", false},  // a UTF8String with a byte after it
    };
    for (const Case& c : cases)
        ASSERT_TRUE(ca.Sign(c.name, c.extension)) << c.name;
    ServerEndpoint e;
    e.protocol = ServerProtocol::Tls;
    e.address = "127.0.0.1";
    e.tls.cert = ca.Path("server.pem");
    e.tls.key = ca.Path("server.key");
    e.tls.ca = ca.Path("ca.pem");
    e.tls.readOnlyRoles = {"reader"};
    const Handle h = engine.OpenServer(e);
    ASSERT_NE(h, kNoHandle) << engine.LastOpenError();
    const std::uint16_t port = engine.BoundTcpPort(h);

    std::uint32_t refused = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device1[5] = 0;
        TlsMaster master(port, ca.Path(c.name + ".pem"), ca.Path(c.name + ".key"));
        const Bytes write = master.Ask(Hex("00 01 00 00 00 06 01 06 00 05 12 34"));
        if (!c.served) {
            EXPECT_TRUE(write.empty()) << ToHex(write);
            EXPECT_EQ(device1[5].load(), 0);
            ++refused;
            for (int i = 0; i < 400 && engine.ServerStatus(h).handshakeFailures != refused; ++i)
                std::this_thread::sleep_for(5ms);
            EXPECT_EQ(engine.ServerStatus(h).handshakeFailures, refused);
            EXPECT_NE(engine.ServerStatus(h).handshakeError.find("UTF8String"), std::string::npos) << engine.ServerStatus(h).handshakeError;
            continue;
        }
        ASSERT_FALSE(write.empty());
        if (c.writes) {
            EXPECT_EQ(ToHex(write), "00 01 00 00 00 06 01 06 00 05 12 34");
            EXPECT_EQ(device1[5].load(), 0x1234);
        } else {
            EXPECT_EQ(ToHex(write), "00 01 00 00 00 03 01 86 01");
            EXPECT_EQ(device1[5].load(), 0);
        }
        const std::vector<std::string> roles = engine.ServerStatus(h).roles;
        EXPECT_EQ(roles, c.role.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.role});
    }
    EXPECT_EQ(engine.ServerStatus(h).handshakeFailures, refused);
}

TEST_F(NetworkServers, TlsReadOnlyRoleCannotChangeTheLinkForOtherMasters)
{
    TlsAuthority ca;
    ASSERT_TRUE(ca.Ok() && ca.Sign("reader", "1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:reader") && ca.Sign("other", ""))
        << "openssl could not make the certificates";
    ServerEndpoint e;
    e.protocol = ServerProtocol::Tls;
    e.address = "127.0.0.1";
    e.tls.cert = ca.Path("server.pem");
    e.tls.key = ca.Path("server.key");
    e.tls.ca = ca.Path("ca.pem");
    e.tls.readOnlyRoles = {"reader"};
    const Handle h = engine.OpenServer(e);
    ASSERT_NE(h, kNoHandle) << engine.LastOpenError();
    TlsMaster reader(engine.BoundTcpPort(h), ca.Path("reader.pem"), ca.Path("reader.key"));
    TlsMaster other(engine.BoundTcpPort(h), ca.Path("other.pem"), ca.Path("other.key"));
    const Bytes read = Hex("00 09 00 00 00 06 01 03 00 00 00 01");
    ASSERT_EQ(ToHex(other.Ask(read)), "00 09 00 00 00 05 01 03 02 01 00");
    // Restart, listen only, clear counters, clear overrun counter: refused as writes are.
    for (const char* sub : {"00 01 00 00", "00 04 00 00", "00 0A 00 00", "00 14 00 00"}) {
        SCOPED_TRACE(sub);
        EXPECT_EQ(ToHex(reader.Ask(Hex(std::string("00 02 00 00 00 06 01 08 ") + sub))), "00 02 00 00 00 03 01 88 01");
        EXPECT_EQ(ToHex(other.Ask(read)), "00 09 00 00 00 05 01 03 02 01 00");
    }
    // What only reads the link's state is still answered; the counters were never cleared.
    EXPECT_EQ(ToHex(reader.Ask(Hex("00 03 00 00 00 06 01 08 00 00 AB CD"))), "00 03 00 00 00 06 01 08 00 00 ab cd");
    const Bytes count = reader.Ask(Hex("00 04 00 00 00 06 01 08 00 0E 00 00"));
    ASSERT_EQ(count.size(), 12u);
    EXPECT_GE(count[10] << 8 | count[11], 6);
}

TEST_F(NetworkServers, TlsGivesBackThePlaceOfAClientThatNeverShakesHands)
{
    TestCertificate certificate;
    ASSERT_TRUE(certificate.Ok()) << "openssl could not make a certificate";
    engine.SetTcpLimits({4, 200});
    ServerEndpoint e;
    e.protocol = ServerProtocol::Tls;
    e.address = "127.0.0.1";
    e.tls.cert = certificate.Cert();
    e.tls.key = certificate.Key();
    const Handle h = engine.OpenServer(e);
    ASSERT_NE(h, kNoHandle) << engine.LastOpenError();
    {
        Master silent("127.0.0.1", engine.BoundTcpPort(h));
        ASSERT_TRUE(silent.Connected());
        EXPECT_TRUE(SessionsBecome(h, 1));
        // Past the request timeout the server closes it and counts a failed handshake.
        EXPECT_TRUE(SessionsBecome(h, 0));
        EXPECT_TRUE(silent.Receive(1, 3000ms).empty());
    }
    // A client that speaks no TLS at all fails its handshake alone.
    Master plain("127.0.0.1", engine.BoundTcpPort(h));
    ASSERT_TRUE(plain.Send(Hex("00 01 00 00 00 06 01 03 00 00 00 01")));
    plain.Receive(64, 3000ms);
    EXPECT_TRUE(SessionsBecome(h, 0));
    EXPECT_EQ(engine.ServerStatus(h).handshakeFailures, 2u);
    // Above the cap the session unused longest makes room (no request timeout: places are only
    // given back by eviction here).
    engine.SetTcpLimits({4, 0});
    const Handle capped = engine.OpenServer(e);
    ASSERT_NE(capped, kNoHandle) << engine.LastOpenError();
    std::vector<std::unique_ptr<Master>> masters;
    for (int i = 0; i < 6; ++i)
        masters.push_back(std::make_unique<Master>("127.0.0.1", engine.BoundTcpPort(capped)));
    EXPECT_TRUE(SessionsBecome(capped, 4));
    // New limits reach the open server as they reach the Modbus/TCP one.
    engine.SetTcpLimits({6, 0});
    for (int i = 0; i < 2; ++i)
        masters.push_back(std::make_unique<Master>("127.0.0.1", engine.BoundTcpPort(capped)));
    EXPECT_TRUE(SessionsBecome(capped, 6));
}

TEST_F(NetworkServers, TlsRecordsADelayedAnswerWhenItLeavesAndAWithheldOneAsWhatHappened)
{
    TestCertificate certificate;
    ASSERT_TRUE(certificate.Ok()) << "openssl could not make a certificate";
    FaultRule slow;
    slow.name = "slow";
    slow.action = FaultAction::Delay;
    slow.delayMs = 300;
    slow.first = slow.last = 1;
    FaultRule silent;
    silent.name = "silent";
    silent.action = FaultAction::NoReply;
    silent.first = silent.last = 2;
    engine.SetFaultRules({slow, silent});
    engine.EnableFrameRecords(true);
    ServerEndpoint e;
    e.protocol = ServerProtocol::Tls;
    e.address = "127.0.0.1";
    e.tls.cert = certificate.Cert();
    e.tls.key = certificate.Key();
    const Handle h = engine.OpenServer(e);
    ASSERT_NE(h, kNoHandle) << engine.LastOpenError();

    asio::io_context io;
    asio::ssl::context ssl(asio::ssl::context::tls_client);
    ssl.set_verify_mode(asio::ssl::verify_none);
    asio::ssl::stream<asio::ip::tcp::socket> client(io, ssl);
    std::error_code ec;
    client.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), engine.BoundTcpPort(h)}, ec);
    ASSERT_FALSE(ec) << ec.message();
    client.handshake(asio::ssl::stream_base::client, ec);
    ASSERT_FALSE(ec) << ec.message();
    // The silent request first, then the slow one: its answer is the only one that comes.
    const Bytes requests = Hex("00 01 00 00 00 06 01 03 00 01 00 01 00 02 00 00 00 06 01 03 00 00 00 01");
    asio::write(client, asio::buffer(requests), ec);
    ASSERT_FALSE(ec) << ec.message();
    Bytes answer(11);
    asio::read(client, asio::buffer(answer), ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(ToHex(answer), "00 02 00 00 00 05 01 03 02 01 00");

    const std::vector<FrameRecord> r = TakeRecords(engine, 4);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[1].attribute, kSent);
    EXPECT_EQ(r[1].withheld, Withheld::NoReply);
    EXPECT_EQ(r[1].fault, "silent");
    EXPECT_EQ(r[2].attribute, kReceived);
    EXPECT_EQ(r[3].attribute, kSent);
    EXPECT_EQ(r[3].fault, "slow");
    EXPECT_EQ(ToHex(r[3].bytes), ToHex(answer));
    EXPECT_GE(r[3].monotonicUs - r[2].monotonicUs, 300'000);
}

TEST_F(NetworkServers, TwoHundredEndpointsEachItsOwnDevice)
{
    RaiseOpenFileLimit();
    // Device i (10..209) holds one register of value i; endpoint i at 127.0.0.i maps unit 1 to it.
    constexpr int kFirst = 10;
    constexpr int kCount = 200;
    std::array<RegisterWord, kCount> values{};
    for (int i = 0; i < kCount; ++i) {
        values[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(kFirst + i);
        ASSERT_NE(engine.DefineDataBlock(kFirst + i, 3, 1, 1, &values[static_cast<std::size_t>(i)]), kNoHandle);
    }
    const std::size_t before = OpenDescriptors();
    const ServerProtocol kinds[] = {ServerProtocol::Tcp, ServerProtocol::Udp, ServerProtocol::RtuOverTcp};
    std::vector<Handle> handles;
    for (int i = 0; i < kCount; ++i) {
        const int device = kFirst + i;
        handles.push_back(Open(kinds[i % 3], "127.0.0." + std::to_string(device), {{1, static_cast<std::uint8_t>(device)}}));
        ASSERT_NE(handles.back(), kNoHandle) << device;
    }
    // One socket (and for TCP kinds one epoll set) per endpoint: nothing grows with the count but that.
    EXPECT_LE(OpenDescriptors(), before + 2u * kCount);
    for (int i = 0; i < kCount; ++i) {
        const auto device = static_cast<std::uint8_t>(kFirst + i);
        const ServerProtocol kind = kinds[i % 3];
        Master master("127.0.0." + std::to_string(device), engine.BoundTcpPort(handles[static_cast<std::size_t>(i)]),
                      kind == ServerProtocol::Udp);
        if (kind == ServerProtocol::RtuOverTcp) {
            ASSERT_TRUE(master.Send(Hex("01 03 00 00 00 01 84 0A")));
            EXPECT_EQ(master.Receive(7), WithCrc({1, 3, 2, 0, device})) << int(device);
        } else {
            ASSERT_TRUE(master.Send(Hex("00 01 00 00 00 06 01 03 00 00 00 01")));
            EXPECT_EQ(master.Receive(11), (Bytes{0, 1, 0, 0, 0, 5, 1, 3, 2, 0, device})) << int(device);
        }
    }
    for (Handle h : handles)
        engine.CloseConnection(h);
    // Every endpoint gives its descriptors back. At most as many as before: a descriptor the
    // process held briefly while counting (a resolver file, a runner's pipe) may be gone by now.
    EXPECT_LE(OpenDescriptors(), before);
}


TEST_F(NetworkServers, UdpAnswersFromTheAddressTheRequestWasSentTo)
{
    // Bound to every interface; masters whose sockets are connected to one address of it.
    engine.EnableFrameRecords(true);
    const Handle h = Open(ServerProtocol::Udp, "");
    struct Case { const char* address; std::uint8_t family; std::array<std::uint8_t, 16> bytes; };
    std::vector<Case> cases = {{"127.0.0.5", 4, {127, 0, 0, 5}}};
    if (Master("::1", engine.BoundTcpPort(h), true).Connected())
        cases.push_back({"::1", 6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}});
    for (const Case& c : cases) {
        Master master(c.address, engine.BoundTcpPort(h), true);
        ASSERT_TRUE(master.Connected()) << c.address;
        ASSERT_TRUE(master.Send(Hex("12 34 00 00 00 06 01 03 00 02 00 01")));
        EXPECT_EQ(ToHex(master.Receive(11)), "12 34 00 00 00 05 01 03 02 01 02") << c.address;
        const std::vector<FrameRecord> r = TakeRecords(engine, 2);
        ASSERT_EQ(r.size(), 2u) << c.address;
        for (const FrameRecord& record : r) {
            EXPECT_EQ(record.source.local.family, c.family) << c.address;
            EXPECT_EQ(record.source.local.bytes, c.bytes) << c.address;
            EXPECT_EQ(record.source.local.port, engine.BoundTcpPort(h));
        }
    }
}

TEST_F(NetworkServers, RtuOverTcpRecordsWhatAMasterLeftBehindWhenItCloses)
{
    engine.EnableFrameRecords(true);
    const Handle h = Open(ServerProtocol::RtuOverTcp);
    {
        Master master("127.0.0.1", engine.BoundTcpPort(h));
        ASSERT_TRUE(master.Connected());
        // A damaged request, kept until a good frame would follow; the master leaves instead.
        ASSERT_TRUE(master.Send(Hex("01 03 00 00 00 01 84 0b")));
        ASSERT_TRUE(SessionsBecome(h, 1));
    }
    const std::vector<FrameRecord> r = TakeRecords(engine, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].attribute, kDiscarded);
    EXPECT_EQ(ToHex(r[0].bytes), "01 03 00 00 00 01 84 0b");
}

TEST_F(NetworkServers, FaultRulesNameEachNetworkLink)
{
    struct Check { const char* link; FaultAction action; bool ok; };
    const Check checks[] = {
        {"udp", FaultAction::Exception, true},        {"rtu-over-tcp", FaultAction::Exception, true},
        {"tls", FaultAction::Exception, true},        {"rtu", FaultAction::Exception, false},
        {"udp", FaultAction::Close, false},           {"rtu-over-tcp", FaultAction::Close, true},
        {"tls", FaultAction::Close, true},            {"udp", FaultAction::BadChecksum, false},
        {"tls", FaultAction::BadChecksum, false},     {"rtu-over-tcp", FaultAction::BadChecksum, true},
    };
    for (const Check& c : checks) {
        FaultRule rule;
        rule.link = c.link;
        rule.action = c.action;
        rule.exceptionCode = 4;
        EXPECT_EQ(CheckFaultRule(rule).empty(), c.ok) << c.link << " " << int(c.action);
    }
    // A rule for "udp" answers exception 04 on UDP only; "tcp" still means the Modbus/TCP kind.
    FaultRule udpOnly;
    udpOnly.link = "udp";
    udpOnly.action = FaultAction::Exception;
    udpOnly.exceptionCode = 4;
    engine.SetFaultRules({udpOnly});
    const Handle udp = Open(ServerProtocol::Udp);
    const Handle tcp = Open(ServerProtocol::Tcp);
    const Handle rtu = Open(ServerProtocol::RtuOverTcp);
    Master u("127.0.0.1", engine.BoundTcpPort(udp), true), t("127.0.0.1", engine.BoundTcpPort(tcp)),
        r("127.0.0.1", engine.BoundTcpPort(rtu));
    const Bytes read = Hex("00 01 00 00 00 06 01 03 00 00 00 01");
    ASSERT_TRUE(u.Send(read) && t.Send(read) && r.Send(Hex("01 03 00 00 00 01 84 0A")));
    EXPECT_EQ(ToHex(u.Receive(9)), "00 01 00 00 00 03 01 83 04");
    EXPECT_EQ(ToHex(t.Receive(11)), "00 01 00 00 00 05 01 03 02 01 00");
    EXPECT_EQ(ToHex(r.Receive(7)), ToHex(WithCrc(Hex("01 03 02 01 00"))));
    // On RTU over TCP a bad-checksum rule spoils the CRC as on a serial line.
    FaultRule spoil;
    spoil.link = "rtu-over-tcp";
    spoil.action = FaultAction::BadChecksum;
    engine.SetFaultRules({spoil});
    ASSERT_TRUE(r.Send(Hex("01 03 00 00 00 01 84 0A")));
    Bytes spoiled = WithCrc(Hex("01 03 02 01 00"));
    spoiled.back() ^= 0xFF;
    EXPECT_EQ(ToHex(r.Receive(7)), ToHex(spoiled));
}

// A FIFO given as a certificate, key or CA file would hold the caller (the user interface, the
// automation port) in open() until somebody wrote to it: it is refused at once instead.
TEST_F(NetworkServers, TlsFilesThatAreFifosAreRefusedWithoutWaiting)
{
    TestCertificate certificate;
    if (!certificate.Ok())
        GTEST_SKIP() << "the openssl command is not installed";
    char folder[] = "/tmp/tls-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/fifo.pem";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case { TlsFiles files; std::string error; };
    const Case cases[] = {
        {{fifo, certificate.Key(), "", {}}, "tls *:0: certificate " + fifo + ": not a regular file"},
        {{certificate.Cert(), fifo, "", {}}, "tls *:0: key " + fifo + ": not a regular file"},
        {{certificate.Cert(), certificate.Key(), fifo, {}}, "tls *:0: CA " + fifo + ": not a regular file"},
    };
    for (const Case& c : cases) {
        ServerEndpoint e;
        e.protocol = ServerProtocol::Tls;
        e.tls = c.files;
        EXPECT_EQ(engine.OpenServer(e), kNoHandle);
        EXPECT_EQ(engine.LastOpenError(), c.error);
    }
    // The same files as regular files open: the refusal is the FIFO's, not the certificate's.
    ServerEndpoint e;
    e.protocol = ServerProtocol::Tls;
    e.tls = {certificate.Cert(), certificate.Key(), certificate.Cert(), {}};
    const auto handle = engine.OpenServer(e);
    EXPECT_NE(handle, kNoHandle) << engine.LastOpenError();
    ::unlink(fifo.c_str());
    ::rmdir(folder);
}

} // namespace
} // namespace pomrel
