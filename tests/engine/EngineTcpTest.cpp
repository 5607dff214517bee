// The whole engine as a Modbus/TCP server on loopback, driven by raw sockets.
#include "engine/ProtocolEngine.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestIo.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <array>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pomrel {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::TcpMaster;
using test::ToHex;

// FC3 request for one register at `address`, transaction id `tid`, unit 1.
std::vector<std::uint8_t> ReadOne(std::uint16_t tid, std::uint16_t address)
{
    return {std::uint8_t(tid >> 8), std::uint8_t(tid), 0, 0, 0, 6, 1, 3, std::uint8_t(address >> 8), std::uint8_t(address), 0, 1};
}

class TcpEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (std::size_t i = 0; i < memory.size(); ++i)
            memory[i] = static_cast<std::uint16_t>(0x0100 + i);
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 1000, memory.data()), kNoHandle);
        engine.SetTCPServicePort(0);
        server = engine.OpenTCPConnection(nullptr, 1026);
        ASSERT_NE(server, kNoHandle) << engine.LastOpenError();
        port = engine.BoundTcpPort(server);
        ASSERT_NE(port, 0);
    }

    std::array<RegisterWord, 1000> memory{};
    ProtocolEngine engine;
    Handle server = kNoHandle;
    std::uint16_t port = 0;
};

TEST_F(TcpEngineTest, PipelinedAndSplitRequestsAreAnsweredInOrder)
{
    TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    std::vector<std::uint8_t> burst;
    for (std::uint16_t i = 0; i < 8; ++i) {
        const auto r = ReadOne(static_cast<std::uint16_t>(0x0100 + i), i);
        burst.insert(burst.end(), r.begin(), r.end());
    }
    ASSERT_TRUE(master.Send(burst));
    const auto replies = master.Receive(8 * 11);
    ASSERT_EQ(replies.size(), 8u * 11);
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const std::vector<std::uint8_t> expected = {1, std::uint8_t(i), 0, 0, 0, 5, 1, 3, 2, 1, std::uint8_t(i)};
        EXPECT_EQ(ToHex(replies.data() + 11 * i, 11), ToHex(expected));
    }

    // One request over three writes, then one and a half requests in one write.
    const auto r = Hex("ab cd 00 00 00 06 01 03 00 0a 00 02");
    ASSERT_TRUE(master.Send({r.begin(), r.begin() + 3}));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(master.Send({r.begin() + 3, r.begin() + 8}));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(master.Send({r.begin() + 8, r.end()}));
    EXPECT_EQ(ToHex(master.Receive(13)), "ab cd 00 00 00 07 01 03 04 01 0a 01 0b");
    auto oneAndHalf = r;
    oneAndHalf.insert(oneAndHalf.end(), r.begin(), r.begin() + 6);
    ASSERT_TRUE(master.Send(oneAndHalf));
    EXPECT_EQ(master.Receive(13).size(), 13u);
    EXPECT_TRUE(master.Receive(1, 100ms).empty());
    ASSERT_TRUE(master.Send({r.begin() + 6, r.end()}));
    EXPECT_EQ(ToHex(master.Receive(13)), "ab cd 00 00 00 07 01 03 04 01 0a 01 0b");
}

TEST_F(TcpEngineTest, MalformedHeaderClosesOnlyThatConnectionAndIsCounted)
{
    TcpMaster bad(port);
    TcpMaster good(port);
    ASSERT_TRUE(good.Send(ReadOne(1, 0)));
    ASSERT_EQ(good.Receive(11).size(), 11u);
    ASSERT_TRUE(bad.Send(Hex("00 01 00 01 00 06 01 03 00 00 00 01")));
    EXPECT_TRUE(bad.ClosedByPeer());
    ASSERT_TRUE(good.Send(ReadOne(2, 1)));
    EXPECT_EQ(ToHex(good.Receive(11)), "00 02 00 00 00 05 01 03 02 01 01");

    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(server, valid, invalid, 0);
    EXPECT_EQ(valid, 2u);
    EXPECT_EQ(invalid, 1u);
    engine.SlaveStatus(server, valid, invalid, 1);
    engine.SlaveStatus(server, valid, invalid, 0);
    EXPECT_EQ(valid, 0u);
    EXPECT_EQ(invalid, 0u);
}

TEST_F(TcpEngineTest, PortInUseFailsWithTheSystemsReasonAndClosingFreesIt)
{
    ProtocolEngine other;
    other.SetTCPServicePort(port);
    EXPECT_EQ(other.OpenTCPConnection(nullptr, 1026), kNoHandle);
    EXPECT_NE(other.LastOpenError().find("in use"), std::string::npos) << other.LastOpenError();
    engine.CloseConnection(server);
    const Handle again = other.OpenTCPConnection(nullptr, 1026);
    EXPECT_NE(again, kNoHandle) << other.LastOpenError();
    EXPECT_EQ(other.BoundTcpPort(again), port);
}

TEST_F(TcpEngineTest, ServesIpv6AndIpv4)
{
    TcpMaster v6(port, true);
    if (!v6.Connected())
        GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_TRUE(v6.Send(ReadOne(7, 3)));
    EXPECT_EQ(ToHex(v6.Receive(11)), "00 07 00 00 00 05 01 03 02 01 03");
    TcpMaster v4(port);
    ASSERT_TRUE(v4.Send(ReadOne(8, 4)));
    EXPECT_EQ(ToHex(v4.Receive(11)), "00 08 00 00 00 05 01 03 02 01 04");
}

TEST_F(TcpEngineTest, HundredsOfMastersAtOnce)
{
    std::vector<std::unique_ptr<TcpMaster>> masters;
    for (int i = 0; i < 300; ++i) {
        masters.push_back(std::make_unique<TcpMaster>(port));
        ASSERT_TRUE(masters.back()->Connected()) << i;
    }
    for (std::size_t i = 0; i < masters.size(); ++i)
        ASSERT_TRUE(masters[i]->Send(ReadOne(static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(i))));
    for (std::size_t i = 0; i < masters.size(); ++i) {
        const auto reply = masters[i]->Receive(11);
        ASSERT_EQ(reply.size(), 11u) << i;
        EXPECT_EQ(reply[10], static_cast<std::uint8_t>(i));
    }
}

TEST_F(TcpEngineTest, StalledMastersDoNotHoldUpOthers)
{
    TcpMaster trickle(port);
    ASSERT_TRUE(trickle.Send(Hex("00 01 00")));  // and nothing more
    TcpMaster deaf(port, false, 8192);           // sends a flood and never reads
    ::fcntl(deaf.Fd(), F_SETFL, ::fcntl(deaf.Fd(), F_GETFL) | O_NONBLOCK);
    const auto big = Hex("00 01 00 00 00 06 01 03 00 00 00 7d");
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < 20000; ++i)
        flood.insert(flood.end(), big.begin(), big.end());
    std::size_t sent = 0;
    for (int round = 0; round < 50 && sent < flood.size(); ++round) {
        const ssize_t n = ::send(deaf.Fd(), flood.data() + sent, flood.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(5ms);
    }
    TcpMaster polite(port);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint16_t i = 0; i < 100; ++i) {
        ASSERT_TRUE(polite.Send(ReadOne(i, i)));
        ASSERT_EQ(polite.Receive(11).size(), 11u) << i;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// A master that sends far more than the socket buffers hold and only then starts reading: the
// answers that did not fit wait, the requests behind them wait, and nothing is lost or reordered.
// A malformed header at the very end closes the connection after the last answer.
TEST_F(TcpEngineTest, AnswersHeldBackByAFullSocketArriveLaterInOrder)
{
    TcpMaster master(port, false, 8192);
    ASSERT_TRUE(master.Connected());
    constexpr int kRequests = 20000;  // 5 MB of answers: more than the server's socket can hold
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < kRequests; ++i) {
        const std::uint16_t address = static_cast<std::uint16_t>(i % 875);
        const std::uint8_t r[] = {std::uint8_t(i >> 8), std::uint8_t(i), 0, 0, 0, 6, 1, 3,
                                  std::uint8_t(address >> 8), std::uint8_t(address), 0, 125};
        flood.insert(flood.end(), std::begin(r), std::end(r));
    }
    const auto junk = Hex("00 00 00 07 00 06 01 03 00 00 00 01");  // protocol id 7
    flood.insert(flood.end(), junk.begin(), junk.end());
    std::thread sender([&] { EXPECT_TRUE(master.Send(flood)); });
    std::this_thread::sleep_for(300ms);  // let both directions fill up

    constexpr std::size_t kAnswer = 9 + 250;
    const auto answers = master.Receive(kRequests * kAnswer, 10s);
    sender.join();
    ASSERT_EQ(answers.size(), kRequests * kAnswer);
    for (int i = 0; i < kRequests; ++i) {
        const std::uint8_t* a = answers.data() + static_cast<std::size_t>(i) * kAnswer;
        const std::uint16_t first = static_cast<std::uint16_t>(0x0100 + i % 875);
        const std::vector<std::uint8_t> head = {std::uint8_t(i >> 8), std::uint8_t(i), 0, 0, 0, 253, 1, 3, 250,
                                                std::uint8_t(first >> 8), std::uint8_t(first)};
        ASSERT_EQ(ToHex(a, head.size()), ToHex(head)) << "answer " << i;
    }
    EXPECT_TRUE(master.ClosedByPeer());
    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(server, valid, invalid, 0);
    EXPECT_EQ(valid, static_cast<std::uint32_t>(kRequests));
    EXPECT_EQ(invalid, 1u);
}

// The traffic callback is a plain function pointer, so what it sees goes to a file-local record.
struct Seen {
    std::mutex mutex;
    std::vector<std::array<std::uint32_t, 3>> calls;
} seen;

bool RecordBatch(std::uint32_t first, std::uint16_t second, std::uint16_t count)
{
    std::lock_guard lock(seen.mutex);
    seen.calls.push_back({first, second, count});
    return true;
}

TEST_F(TcpEngineTest, TrafficArrivesInBatchesWithAttributes)
{
    engine.EnableBufferCallback(&RecordBatch);
    TcpMaster master(port);
    ASSERT_TRUE(master.Send(ReadOne(0x55, 2)));
    ASSERT_EQ(master.Receive(11).size(), 11u);
    std::vector<std::array<std::uint32_t, 3>> calls;
    for (int i = 0; i < 100 && calls.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        std::lock_guard lock(seen.mutex);
        calls = seen.calls;
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0][1], 0u);
    ASSERT_EQ(calls[0][2], 12u + 11u);
    std::array<std::uint16_t, 1024> words{};
    engine.ReadDebugData(calls[0][0], words.data(), 0, static_cast<std::uint16_t>(calls[0][2]));
    std::vector<std::uint8_t> bytes, attributes;
    for (std::size_t i = 0; i < 23; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(words[i]));
        attributes.push_back(static_cast<std::uint8_t>(words[i] >> 8));
    }
    EXPECT_EQ(ToHex(bytes), "00 55 00 00 00 06 01 03 00 02 00 01 00 55 00 00 00 05 01 03 02 01 02");
    EXPECT_EQ(ToHex(attributes), "00 00 00 00 00 00 00 00 00 00 00 00 01 01 01 01 01 01 01 01 01 01 01");
    // A batch is handed out once; asking again gives zeros, never stale or foreign words.
    engine.ReadDebugData(calls[0][0], words.data(), 0, 23);
    EXPECT_EQ(words[0], 0);
}

// ---- Sharing the server among masters ---------------------------------------------------------

TEST_F(TcpEngineTest, FullTableClosesTheConnectionUnusedLongestNeverAPollingMaster)
{
    engine.SetTcpLimits({4, 0});
    ASSERT_EQ(engine.TcpSessionCap(server), 4u);
    TcpMaster poller(port);
    ASSERT_TRUE(poller.Send(ReadOne(1, 0)));
    ASSERT_EQ(poller.Receive(11).size(), 11u);
    // Three that never ask anything, then newcomers that ask once: each newcomer takes the place
    // of the one unused longest, oldest first, while the poller goes on being answered.
    std::vector<std::unique_ptr<TcpMaster>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(std::make_unique<TcpMaster>(port));
        ASSERT_TRUE(others.back()->Connected());
        std::this_thread::sleep_for(5ms);  // accepted one after another
    }
    for (std::size_t round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(poller.Send(ReadOne(static_cast<std::uint16_t>(round + 2), 1)));
        ASSERT_EQ(ToHex(poller.Receive(11)), ToHex({0, std::uint8_t(round + 2), 0, 0, 0, 5, 1, 3, 2, 1, 1}));
        others.push_back(std::make_unique<TcpMaster>(port));
        ASSERT_TRUE(others.back()->Send(ReadOne(0x100, 2)));
        ASSERT_EQ(others.back()->Receive(11).size(), 11u);
        EXPECT_TRUE(others[round]->ClosedByPeer(5000ms));
        EXPECT_FALSE(others[round + 1]->ClosedByPeer(20ms));
    }
    ASSERT_TRUE(poller.Send(ReadOne(0x77, 3)));
    EXPECT_EQ(poller.Receive(11).size(), 11u);
}

TEST_F(TcpEngineTest, RequestLeftIncompleteClosesItsConnectionIdleOnesStay)
{
    engine.SetTcpLimits({2048, 300});
    struct Case {
        const char* name;
        const char* bytes;        // sent at once
        std::size_t answerBytes;  // answers expected before the close
    };
    const Case cases[] = {
        {"half a header", "00 01 00", 0},
        {"header without its PDU", "00 01 00 00 00 06 01", 0},
        {"PDU cut short", "00 01 00 00 00 06 01 03 00", 0},
        {"a whole request, then part of the next", "00 01 00 00 00 06 01 03 00 00 00 01 00 02 00 00", 11},
    };
    TcpMaster idle(port);  // connected and silent throughout: never closed for that
    TcpMaster answered(port);
    ASSERT_TRUE(answered.Send(ReadOne(9, 0)));
    ASSERT_EQ(answered.Receive(11).size(), 11u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpMaster master(port);
        ASSERT_TRUE(master.Send(Hex(c.bytes)));
        EXPECT_EQ(master.Receive(c.answerBytes, 5000ms).size(), c.answerBytes);
        EXPECT_TRUE(master.ClosedByPeer(5000ms));
    }
    {
        // Bytes that keep coming but never make a request are no better.
        TcpMaster slow(port);
        const auto header = Hex("00 01 00 00 00 ff 01 03");
        bool closed = false;
        for (int i = 0; i < 100 && !closed; ++i) {
            closed = ::send(slow.Fd(), &header[static_cast<std::size_t>(i) % header.size()], 1, MSG_NOSIGNAL) != 1 ||
                     slow.ClosedByPeer(50ms);
        }
        EXPECT_TRUE(closed);
    }
    for (TcpMaster* master : {&idle, &answered}) {
        ASSERT_TRUE(master->Send(ReadOne(10, 1)));
        EXPECT_EQ(ToHex(master->Receive(11)), "00 0a 00 00 00 05 01 03 02 01 01");
    }
}

TEST_F(TcpEngineTest, SessionCapStaysBelowTheDescriptorsLeft)
{
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    struct Case {
        rlim_t soft;         // 0: as it is
        std::uint32_t configured;
        std::size_t most;    // the cap is at most this
        std::size_t least;   // and at least this
    };
    const Case cases[] = {
        // The program keeps its reserve (an eighth of the limit, 16 to 128) whatever is configured.
        {600, 2048, 600 - 75, 16},
        {280, 2048, 280 - 35, 16},
        {0, 100, 100, 100},          // plenty left: the configured number
        {40, 2048, 16, 16},          // next to nothing left: a handful still
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.soft);
        rlimit now = old;
        if (c.soft != 0 && c.soft < old.rlim_cur)
            now.rlim_cur = c.soft;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &now), 0);
        engine.SetTcpLimits({c.configured, 5000});
        const std::size_t cap = engine.TcpSessionCap(server);
        ::setrlimit(RLIMIT_NOFILE, &old);
        EXPECT_LE(cap, c.most);
        EXPECT_GE(cap, c.least);
    }
}

TEST_F(TcpEngineTest, OutOfDescriptorsTheServerWaitsAndThenTakesTheNewMaster)
{
    TcpMaster served(port);
    ASSERT_TRUE(served.Send(ReadOne(1, 0)));
    ASSERT_EQ(served.Receive(11).size(), 11u);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(waiting, 0);
    rlimit tight = old;
    tight.rlim_cur = std::min<rlim_t>(old.rlim_cur, 4096);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;)
        filler.push_back(fd);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int connected = ::connect(waiting, reinterpret_cast<sockaddr*>(&to), sizeof to);
    // The master already in is served while no descriptor is left for the new one.
    const bool sent = served.Send(ReadOne(2, 1));
    const auto answer = served.Receive(11);
    std::this_thread::sleep_for(250ms);
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(connected, 0);
    EXPECT_TRUE(sent);
    EXPECT_EQ(answer.size(), 11u);
    const auto request = ReadOne(3, 2);
    ASSERT_TRUE(test::WriteAll(waiting, request));
    EXPECT_EQ(ToHex(test::ReadFor(waiting, 11, 5000ms)), "00 03 00 00 00 05 01 03 02 01 02");
    ::close(waiting);
}

} // namespace
} // namespace pomrel
