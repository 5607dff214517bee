// What the engine keeps of masters' requests, seen through a real Modbus/TCP socket.
#include "engine/ProtocolEngine.h"
#include "tests/engine/TestIo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace pomrel {
namespace {

using test::TcpMaster;

std::vector<std::uint8_t> Request(std::uint8_t unit, std::uint8_t fc, std::uint16_t address, std::uint16_t second,
                                  std::uint16_t tid = 1)
{
    return {std::uint8_t(tid >> 8), std::uint8_t(tid), 0, 0, 0, 6, unit, fc,
            std::uint8_t(address >> 8), std::uint8_t(address), std::uint8_t(second >> 8), std::uint8_t(second)};
}

std::string LocalEnd(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

const UnservedRequest* Find(const std::vector<UnservedRequest>& list, std::uint8_t unit, std::uint32_t address)
{
    const auto it = std::find_if(list.begin(), list.end(),
                                 [&](const UnservedRequest& r) { return r.unit == unit && r.address == address; });
    return it == list.end() ? nullptr : &*it;
}

class AccessStatsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Holding registers 1..100 and coils 1..16 of unit 1.
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 100, registers.data()), kNoHandle);
        ASSERT_NE(engine.DefineDataBlock(1, 1, 1, 16, coils.data()), kNoHandle);
        engine.SetTCPServicePort(0);
        server = engine.OpenTCPConnection(nullptr, 1026);
        ASSERT_NE(server, kNoHandle) << engine.LastOpenError();
        port = engine.BoundTcpPort(server);
    }

    // Sends one request and waits for its answer (`answer` bytes), so the engine has counted it.
    void Ask(TcpMaster& master, const std::vector<std::uint8_t>& request, std::size_t answer)
    {
        ASSERT_TRUE(master.Send(request));
        ASSERT_EQ(master.Receive(answer).size(), answer);
    }

    PointAccess Point(int type, std::uint32_t address)
    {
        const auto points = engine.AccessStats(1, type, address, address);
        EXPECT_EQ(points.size(), 1u);
        return points.empty() ? PointAccess{} : points[0];
    }

    std::array<RegisterWord, 100> registers{};
    std::array<RegisterWord, 16> coils{};
    ProtocolEngine engine;
    Handle server = kNoHandle;
    std::uint16_t port = 0;
};

TEST_F(AccessStatsTest, ReadsWritesAndTheLastWriterAreCountedPerPoint)
{
    TcpMaster master(port);
    TcpMaster other(port);
    ASSERT_TRUE(master.Connected() && other.Connected());
    for (int i = 0; i < 3; ++i)
        Ask(master, Request(1, 3, 0, 10), 9 + 20);  // 40001..40010
    Ask(other, Request(1, 6, 19, 0x1234), 12);      // 40020 by the other master
    Ask(master, Request(1, 6, 19, 0x4321), 12);     // ... then by this one
    Ask(master, Request(1, 5, 2, 0xFF00), 12);      // coil 3

    const auto block = engine.AccessStats(1, 3, 1, 100);
    ASSERT_EQ(block.size(), 100u);
    for (std::uint32_t a = 1; a <= 100; ++a) {
        SCOPED_TRACE(a);
        const PointAccess& p = block[a - 1];
        EXPECT_EQ(p.address, a);
        EXPECT_EQ(p.reads, a <= 10 ? 3u : 0u);
        EXPECT_EQ(p.writes, a == 20 ? 2u : 0u);
        EXPECT_EQ(p.lastReadUs != 0, a <= 10);
        EXPECT_EQ(p.lastWriteUs != 0, a == 20);
        EXPECT_EQ(p.exceptions, 0u);
    }
    EXPECT_EQ(block[19].lastWriter, "tcp " + LocalEnd(master.Fd()));
    EXPECT_TRUE(block[0].lastWriter.empty());
    const PointAccess coil = Point(1, 3);
    EXPECT_EQ(coil.writes, 1u);
    EXPECT_EQ(coil.lastWriter, "tcp " + LocalEnd(master.Fd()));
    EXPECT_EQ(registers[19].load(), 0x4321);  // counting leaves the values alone
}

TEST_F(AccessStatsTest, RequestsNothingServesAreListedWithTheirCounts)
{
    TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    // Unit 9 has no document: no answer at all. A read answered afterwards shows both were taken.
    ASSERT_TRUE(master.Send(Request(9, 3, 0, 4)));
    ASSERT_TRUE(master.Send(Request(9, 3, 0, 4)));
    Ask(master, Request(1, 3, 0, 1), 11);
    Ask(master, Request(1, 3, 44999, 2), 9);  // 45000: exception 02
    Ask(master, Request(1, 3, 94, 10), 9);    // 95..104 runs past the block: exception 02 as well
    Ask(master, Request(1, 2, 0, 3), 9);      // inputs: unit 1 has none (exception 01)
    Ask(master, Request(1, 0x41, 0, 3), 9);   // a function nobody knows is not a point nothing serves

    const auto list = engine.Unserved();
    ASSERT_EQ(list.size(), 4u);
    const UnservedRequest* unit9 = Find(list, 9, 1);
    ASSERT_NE(unit9, nullptr);
    EXPECT_EQ(unit9->link, "tcp");
    EXPECT_EQ(unit9->function, 3);
    EXPECT_EQ(unit9->quantity, 4);
    EXPECT_EQ(unit9->count, 2u);
    EXPECT_LE(unit9->firstUs, unit9->lastUs);
    EXPECT_GT(unit9->firstUs, 1'600'000'000'000'000);
    const UnservedRequest* far = Find(list, 1, 45000);
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(far->quantity, 2);
    EXPECT_EQ(far->count, 1u);
    ASSERT_NE(Find(list, 1, 95), nullptr);
    ASSERT_NE(Find(list, 1, 1), nullptr);
    EXPECT_EQ(Find(list, 1, 1)->function, 2);

    // The points the refused read reached carry the exception; the others none.
    const auto points = engine.AccessStats(1, 3, 90, 100);
    ASSERT_EQ(points.size(), 11u);
    for (const PointAccess& p : points) {
        SCOPED_TRACE(p.address);
        EXPECT_EQ(p.exceptions, p.address >= 95 ? 1u : 0u);
        EXPECT_EQ(p.reads, 0u);
    }

    const auto functions = engine.FunctionCounts();
    const auto fc3 = std::find_if(functions.begin(), functions.end(),
                                  [](const FunctionCount& f) { return f.unit == 1 && f.function == 3; });
    ASSERT_NE(fc3, functions.end());
    EXPECT_EQ(fc3->link, "tcp");
    EXPECT_EQ(fc3->requests, 3u);
    ASSERT_EQ(fc3->exceptions.size(), 1u);
    EXPECT_EQ(fc3->exceptions[0], (std::pair<std::uint8_t, std::uint64_t>{2, 2}));
}

TEST_F(AccessStatsTest, UnservedTableIsBoundedAndTheRestCounted)
{
    TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    constexpr int kRequests = 4096 + 50;
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < kRequests; ++i) {
        const auto r = Request(1, 3, static_cast<std::uint16_t>(1000 + i), 1, static_cast<std::uint16_t>(i));
        burst.insert(burst.end(), r.begin(), r.end());
    }
    ASSERT_TRUE(master.Send(burst));
    ASSERT_EQ(master.Receive(9u * kRequests, std::chrono::milliseconds(10000)).size(), 9u * kRequests);
    EXPECT_EQ(engine.Unserved().size(), 4096u);
    EXPECT_EQ(engine.UnservedOverflow(), 50u);
    EXPECT_GE(engine.UnservedEvents(), static_cast<std::uint64_t>(kRequests));
    // A request already listed is still counted when the table is full.
    Ask(master, Request(1, 3, 1000, 1), 9);
    EXPECT_EQ(Find(engine.Unserved(), 1, 1001)->count, 2u);
}

TEST_F(AccessStatsTest, ResetClearsAndSwitchedOffCountsNothing)
{
    TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    Ask(master, Request(1, 3, 0, 2), 13);
    Ask(master, Request(1, 6, 1, 7), 12);
    Ask(master, Request(1, 3, 500, 1), 9);
    engine.ResetAccessStats();
    for (const PointAccess& p : engine.AccessStats(1, 3, 1, 2)) {
        EXPECT_EQ(p.reads + p.writes + p.exceptions, 0u);
        EXPECT_EQ(p.lastReadUs + p.lastWriteUs, 0);
        EXPECT_TRUE(p.lastWriter.empty());
    }
    EXPECT_TRUE(engine.Unserved().empty());
    EXPECT_FALSE(engine.FunctionCounts().empty());  // counters that only grow, for metrics

    engine.EnableAccessStats(false);
    const auto functionsBefore = engine.FunctionCounts();
    Ask(master, Request(1, 3, 0, 2), 13);
    Ask(master, Request(1, 3, 500, 1), 9);
    EXPECT_EQ(Point(3, 1).reads, 0u);
    EXPECT_TRUE(engine.Unserved().empty());
    EXPECT_EQ(engine.FunctionCounts()[0].requests, functionsBefore[0].requests);

    engine.EnableAccessStats(true);
    Ask(master, Request(1, 3, 0, 2), 13);
    EXPECT_EQ(Point(3, 1).reads, 1u);
}

} // namespace
} // namespace pomrel
