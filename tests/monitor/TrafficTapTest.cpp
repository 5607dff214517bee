// The tap on a real engine: a master on loopback, the frames each sink gets, and records kept in
// the engine only while somebody listens. Also the headless options that start the sinks.
#include "monitor/TrafficTap.h"

#include "app/HeadlessOptions.h"
#include "engine/TrafficLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

namespace {

class Collect : public monitor::FrameSink {
public:
    void Take(std::span<const monitor::TappedFrame> frames) override
    {
        std::lock_guard lock(mutex);
        got.insert(got.end(), frames.begin(), frames.end());
    }
    std::vector<monitor::TappedFrame> Frames()
    {
        std::lock_guard lock(mutex);
        return got;
    }
    std::mutex mutex;
    std::vector<monitor::TappedFrame> got;
};

// An engine serving 10 holding registers of device 1 on a free Modbus/TCP port, and one master.
class TapFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, words), pomrel::kNoHandle);
        engine.SetTCPServicePort(0);
        server = engine.OpenTCPConnection(nullptr, 0);
        ASSERT_NE(server, pomrel::kNoHandle) << engine.LastOpenError();
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(engine.BoundTcpPort(server));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            ::close(fd);
    }
    // One read of `count` registers from 0 with transaction id `tid`; true when answered. The
    // engine records the answer before it sends it, so both records are queued on return.
    bool Read(std::uint16_t tid, std::uint8_t count)
    {
        const std::uint8_t request[12] = {static_cast<std::uint8_t>(tid >> 8), static_cast<std::uint8_t>(tid), 0, 0, 0, 6, 1, 3, 0, 0, 0, count};
        if (::send(fd, request, sizeof request, 0) != sizeof request)
            return false;
        std::uint8_t answer[300];
        const std::size_t want = 9 + 2u * count;
        std::size_t got = 0;
        while (got < want) {
            const ssize_t n = ::recv(fd, answer + got, want - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    pomrel::RegisterWord words[10] = {};
    pomrel::ProtocolEngine engine;
    pomrel::Handle server = pomrel::kNoHandle;
    int fd = -1;
};

TEST_F(TapFixture, SinksGetTheFramesFromAddToRemoveDecodedAndPaired)
{
    monitor::TrafficTap tap(engine);
    auto first = std::make_shared<Collect>();
    auto second = std::make_shared<Collect>();
    ASSERT_TRUE(Read(1, 1));          // nobody listens: not recorded at all
    std::vector<pomrel::FrameRecord> left;
    EXPECT_EQ(engine.TakeFrameRecords(left, 100), 0u);

    tap.AddSink(first);
    ASSERT_TRUE(Read(2, 2));
    tap.AddSink(second);              // from here on only
    ASSERT_TRUE(Read(3, 3));
    tap.RemoveSink(first);            // gets everything up to here
    ASSERT_TRUE(Read(4, 4));
    tap.Flush();

    const auto a = first->Frames();
    const auto b = second->Frames();
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 4u);
    const int tidsA[] = {2, 2, 3, 3}, tidsB[] = {3, 3, 4, 4};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(a[i].decoded.transactionId, tidsA[i]);
        EXPECT_EQ(b[i].decoded.transactionId, tidsB[i]);
        EXPECT_EQ(a[i].record.attribute, i % 2 ? pomrel::kSent : pomrel::kReceived);
        EXPECT_EQ(a[i].record.source.link.kind, pomrel::LinkId::Kind::Tcp);
        EXPECT_EQ(a[i].record.source.peer.family, 4);
        EXPECT_EQ(a[i].record.source.local.port, engine.BoundTcpPort(server));
    }
    // Answers are paired, with the request's address and quantity; the queue dropped nothing.
    EXPECT_TRUE(b[3].decoded.rttUs);
    EXPECT_EQ(b[3].decoded.quantity, 4u);
    EXPECT_EQ(b[3].decoded.values.size(), 4u);
    EXPECT_EQ(tap.Dropped(), 0u);

    tap.RemoveSink(second);           // nobody listens again: records off
    ASSERT_TRUE(Read(5, 1));
    EXPECT_EQ(engine.TakeFrameRecords(left, 100), 0u);
    EXPECT_EQ(second->Frames().size(), 4u);
}

TEST(HeadlessRecording, OptionsNameTheirFilesAndSizes)
{
    struct Case {
        std::vector<std::string> args;
        std::string capture, log;
        std::uint64_t rotate;
        const char* error;  // empty: understood
    };
    const Case cases[] = {
        {{"--capture", "c.pcapng", "--traffic-log", "t.jsonl", "a.tst"}, "c.pcapng", "t.jsonl", 0, ""},
        {{"--traffic-log", "t.jsonl", "--traffic-log-rotate", "4096"}, "", "t.jsonl", 4096, ""},
        {{"--traffic-log-rotate", "64K"}, "", "", 65536, ""},
        {{"--traffic-log-rotate", "10M"}, "", "", 10u << 20, ""},
        {{"--traffic-log-rotate", "1024G"}, "", "", std::uint64_t{1} << 40, ""},
        {{"--traffic-log-rotate", "4095"}, "", "", 0, "--traffic-log-rotate needs a size of at least 4K"},
        {{"--traffic-log-rotate", "1025G"}, "", "", 0, "--traffic-log-rotate needs a size"},
        {{"--traffic-log-rotate", "10MB"}, "", "", 0, "--traffic-log-rotate needs a size"},
        {{"--traffic-log-rotate", "-5"}, "", "", 0, "--traffic-log-rotate needs a size"},
        {{"--traffic-log-rotate"}, "", "", 0, "--traffic-log-rotate needs a size"},
        {{"--capture"}, "", "", 0, "--capture needs a file"},
        {{"--traffic-log", ""}, "", "", 0, "--traffic-log needs a file"},
    };
    for (const Case& c : cases) {
        const HeadlessOptions o = ParseHeadlessOptions(c.args);
        EXPECT_EQ(o.capture, c.capture) << c.args[0];
        EXPECT_EQ(o.trafficLog, c.log) << c.args[0];
        EXPECT_EQ(o.trafficLogRotateBytes, c.rotate) << c.args[0];
        EXPECT_EQ(o.error.rfind(c.error, 0), 0u) << c.args[0] << ": " << o.error;
        EXPECT_EQ(o.error.empty(), std::string(c.error).empty()) << o.error;
    }
}

} // namespace
