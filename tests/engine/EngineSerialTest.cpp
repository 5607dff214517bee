// The whole engine on pseudo-terminals: RTU and ASCII requests written by the test as the master.
// Expected frames carry CRC / LRC values computed with pymodbus, not with our encoder.
#include "engine/ProtocolEngine.h"
#include "engine/SerialLink.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestIo.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

namespace pomrel {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::Pty;
using test::ToHex;

std::vector<std::uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

class SerialEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (std::size_t i = 0; i < holding.size(); ++i)
            holding[i] = static_cast<std::uint16_t>(0x0100 + i);
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, holding.data()), kNoHandle);
        ASSERT_NE(engine.DefineDataBlock(1, 3, 5001, 4, longs.data()), kNoHandle);
        ASSERT_FALSE(pty.SlavePath().empty());
        engine.SetPortPath(3, pty.SlavePath());
        settings.parity = 0;
    }

    Handle Open(int mode)
    {
        const Handle h = engine.OpenConnection(nullptr, 3, mode, 3, settings);
        EXPECT_NE(h, kNoHandle) << engine.LastOpenError();
        return h;
    }

    std::array<RegisterWord, 1000> holding{};
    std::array<RegisterWord, 1000> longs{};
    ProtocolEngine engine;
    Pty pty;
    PortSettings settings;
};

TEST_F(SerialEngineTest, RtuRequestWholeInPiecesAndAfterGarbage)
{
    settings.baudRate = 1200;  // a 29 ms gap: byte-by-byte writes stay inside it on a busy machine
    const Handle h = Open(1);
    const auto request = Hex("01 03 00 00 00 02 c4 0b");
    const std::string reply = "01 03 04 01 00 01 01 3b 9f";
    ASSERT_TRUE(pty.Send(request));
    EXPECT_EQ(ToHex(pty.Receive(9)), reply);

    for (std::size_t i = 0; i < request.size(); ++i) {  // 1 ms apart: well inside the gap
        ASSERT_TRUE(pty.Send({request[i]}));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(ToHex(pty.Receive(9)), reply);

    auto noisy = Hex("ff 00 13");
    noisy.insert(noisy.end(), request.begin(), request.end());
    ASSERT_TRUE(pty.Send(noisy));
    EXPECT_EQ(ToHex(pty.Receive(9)), reply);

    // Two requests in one write get both answers.
    auto two = request;
    two.insert(two.end(), request.begin(), request.end());
    ASSERT_TRUE(pty.Send(two));
    EXPECT_EQ(pty.Receive(18).size(), 18u);

    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(h, valid, invalid, 0);
    EXPECT_EQ(valid, 5u);
    EXPECT_EQ(invalid, 1u);
}

TEST_F(SerialEngineTest, RtuBadCrcIsCountedAndNotAnswered)
{
    const Handle h = Open(1);
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 02 c4 0c")));
    EXPECT_TRUE(pty.Receive(1, 200ms).empty());
    ASSERT_TRUE(pty.Send(Hex("01 03 00 05 00 01 94 0b")));
    EXPECT_EQ(ToHex(pty.Receive(7)), "01 03 02 01 05 79 d7");
    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(h, valid, invalid, 0);
    EXPECT_EQ(valid, 1u);
    EXPECT_EQ(invalid, 1u);
}

TEST_F(SerialEngineTest, RtuSilenceInsideAFrameEndsIt)
{
    const Handle h = Open(1);  // 9600 baud: the gap is 3.6 ms
    const auto request = Hex("01 03 00 00 00 02 c4 0b");
    ASSERT_TRUE(pty.Send({request.begin(), request.begin() + 4}));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(pty.Send({request.begin() + 4, request.end()}));
    EXPECT_TRUE(pty.Receive(1, 200ms).empty());
    ASSERT_TRUE(pty.Send(request));
    EXPECT_EQ(pty.Receive(9).size(), 9u);
    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(h, valid, invalid, 0);
    EXPECT_EQ(valid, 1u);
    EXPECT_EQ(invalid, 2u);
}

TEST_F(SerialEngineTest, RtuBroadcastWritesWithoutAnswer)
{
    Open(1);
    ASSERT_TRUE(pty.Send(Hex("00 06 00 05 00 63 d8 33")));
    EXPECT_TRUE(pty.Receive(1, 200ms).empty());
    EXPECT_EQ(holding[5].load(), 0x63);
    ASSERT_TRUE(pty.Send(Hex("01 03 00 05 00 01 94 0b")));
    EXPECT_EQ(ToHex(pty.Receive(7)), "01 03 02 00 63 f8 6d");
}

TEST_F(SerialEngineTest, RtuEnronOption)
{
    const Handle h = Open(1);
    engine.SetProtocolOptions(h, 1);
    ASSERT_TRUE(pty.Send(Hex("01 06 13 88 00 01 86 a0 36 a3")));
    EXPECT_EQ(ToHex(pty.Receive(10)), "01 06 13 88 00 01 86 a0 36 a3");
    EXPECT_EQ(longs[0].load(), 0x86A0);
    EXPECT_EQ(longs[1].load(), 0x0001);
    ASSERT_TRUE(pty.Send(Hex("01 03 13 88 00 01 00 a4")));
    EXPECT_EQ(ToHex(pty.Receive(9)), "01 03 04 00 01 86 a0 c9 eb");
}

TEST_F(SerialEngineTest, AsciiRequests)
{
    const Handle h = Open(0);
    ASSERT_TRUE(pty.Send(Text(":010300000002FA\r\n")));
    EXPECT_EQ(std::string(ToHex(pty.Receive(19))), ToHex(Text(":01030401000101F5\r\n")));
    ASSERT_TRUE(pty.Send(Text(":010300000002FB\r\n")));  // bad LRC
    EXPECT_TRUE(pty.Receive(1, 200ms).empty());
    const auto request = Text(":010300000002FA\r\n");
    for (std::uint8_t c : request) {
        ASSERT_TRUE(pty.Send({c}));
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(ToHex(pty.Receive(19)), ToHex(Text(":01030401000101F5\r\n")));
    std::uint32_t valid = 0, invalid = 0;
    engine.SlaveStatus(h, valid, invalid, 0);
    EXPECT_EQ(valid, 2u);
    EXPECT_EQ(invalid, 1u);
}

// A damaged frame is a receive event of its own in the communication event log (82: received,
// communication error; a2 while listening only), besides the count. The log is read back with
// Get Comm Event Log (12): status, event count, message count, events newest first.
TEST_F(SerialEngineTest, DamagedFramesAreReceiveEventsWithTheErrorBit)
{
    struct Case {
        const char* name;
        int mode;  // 1 RTU, 0 ASCII
        bool enron;
        std::vector<std::vector<std::uint8_t>> unanswered;  // sent one by one, none answered
        std::string log;                                    // the answer PDU to 0c
    };
    const auto rtuLog = Hex("01 0c 00 25");
    const std::vector<Case> cases = {
        {"RTU, a bad CRC", 1, false, {Hex("01 03 00 00 00 02 c4 0c")}, "0c 07 00 00 00 00 00 02 82"},
        {"RTU, two bad CRCs", 1, false, {Hex("01 03 00 00 00 02 c4 0c"), Hex("01 06 00 03 04 d2 fb 58")},
         "0c 08 00 00 00 00 00 03 82 82"},
        {"RTU with the ENRON rules, a 32-bit write with a bad CRC", 1, true, {Hex("01 06 13 88 00 01 86 a0 36 a4")},
         "0c 07 00 00 00 00 00 02 82"},
        {"ASCII, a bad LRC", 0, false, {Text(":010300000002FB\r\n")}, "0c 07 00 00 00 00 00 02 82"},
        // Listen-only (80 received, 04 entered), a damaged frame heard (a2), a restart keeping
        // the log (a0 heard, 00 restart; counters cleared).
        {"RTU, a bad CRC while listening only", 1, false,
         {Hex("01 08 00 04 00 00 a1 ca"), Hex("01 03 00 00 00 02 c4 0c"), Hex("01 08 00 01 00 00 b1 cb")},
         "0c 0b 00 00 00 00 00 01 00 a0 a2 04 80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Handle h = Open(c.mode);
        engine.SetProtocolOptions(h, c.enron ? 1 : 0);
        for (const auto& frame : c.unanswered) {
            ASSERT_TRUE(pty.Send(frame));
            EXPECT_TRUE(pty.Receive(1, 200ms).empty());
        }
        const std::size_t pduSize = Hex(c.log).size();
        std::string pdu;
        if (c.mode == 1) {
            ASSERT_TRUE(pty.Send(rtuLog));
            const auto answer = pty.Receive(pduSize + 3);
            ASSERT_EQ(answer.size(), pduSize + 3);
            pdu = ToHex(answer.data() + 1, pduSize);
        } else {
            ASSERT_TRUE(pty.Send(Text(":010CF3\r\n")));
            const auto answer = pty.Receive(2 * pduSize + 7);
            ASSERT_EQ(answer.size(), 2 * pduSize + 7);
            pdu = ToHex(Hex(std::string(answer.begin() + 3, answer.begin() + 3 + 2 * static_cast<std::ptrdiff_t>(pduSize))));
        }
        EXPECT_EQ(pdu, c.log);
        engine.CloseConnection(h);
    }
}

TEST_F(SerialEngineTest, OpenFailuresKeepTheSystemsReason)
{
    engine.SetPortPath(4, "/nonexistent/tty-for-test");
    EXPECT_EQ(engine.OpenConnection(nullptr, 4, 1, 4, settings), kNoHandle);
    EXPECT_NE(engine.LastOpenError().find("No such file or directory"), std::string::npos) << engine.LastOpenError();
    engine.SetPortPath(5, "/dev/null");  // not a serial device
    EXPECT_EQ(engine.OpenConnection(nullptr, 5, 1, 5, settings), kNoHandle);
    EXPECT_FALSE(engine.LastOpenError().empty());
    EXPECT_EQ(engine.OpenConnection(nullptr, 0, 1, 0, settings), kNoHandle);
    EXPECT_EQ(engine.OpenConnection(nullptr, 33, 1, 33, settings), kNoHandle);

    const Handle h = Open(1);
    EXPECT_EQ(engine.OpenConnection(nullptr, 3, 1, 3, settings), kNoHandle) << "port 3 is already open";
    engine.CloseConnection(h);
    EXPECT_NE(engine.OpenConnection(nullptr, 3, 1, 3, settings), kNoHandle) << engine.LastOpenError();
}

TEST_F(SerialEngineTest, EveryRecordSettingOpens)
{
    // A pseudo-terminal keeps 8 bits and no parity whatever is asked; the open must still work.
    for (std::uint32_t baud : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u,
                               115200u, 128000u, 256000u}) {
        for (std::uint8_t parity : {0, 1, 2}) {
            settings.baudRate = baud;
            settings.parity = parity;
            settings.dataBits = parity == 0 ? 8 : 7;
            settings.stopBits = static_cast<std::uint8_t>(baud % 3);
            const Handle h = engine.OpenConnection(nullptr, 3, 1, 3, settings);
            ASSERT_NE(h, kNoHandle) << baud << " parity " << int(parity) << ": " << engine.LastOpenError();
            engine.CloseConnection(h);
        }
    }
}

TEST_F(SerialEngineTest, RtsDelaysHoldTheAnswerBack)
{
    // The pseudo-terminal has no RTS line, but the delay before the first character still shows.
    settings.rtsOnDelayMs = 100;
    Open(1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 02 c4 0b")));
    EXPECT_EQ(pty.Receive(9).size(), 9u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
}

TEST_F(SerialEngineTest, LineWaitsDoNotHangOnADeviceWithoutModemLines)
{
    settings.waitCts = 1;
    settings.waitDtr = 1;
    Open(1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 02 c4 0b")));
    EXPECT_EQ(pty.Receive(9).size(), 9u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(SerialTiming, CharacterTimeAndFrameGap)
{
    struct Case {
        std::uint32_t baud;
        std::uint8_t dataBits, parity, stopBits;
        long characterUs, gapUs;  // bits per character / baud, rounded up; gap 3.5 characters
    };
    const std::vector<Case> cases = {
        {9600, 8, 0, 0, 1042, 3647},     // 10 bits
        {9600, 8, 1, 0, 1146, 4011},     // 11 bits
        {9600, 7, 2, 2, 1146, 4011},     // 1 + 7 + 1 + 2
        {9600, 8, 0, 1, 1094, 3829},     // 10.5 bits
        {1200, 8, 0, 0, 8334, 29169},
        {19200, 8, 0, 0, 521, 1823},     // still 3.5 characters at 19200
        {38400, 8, 0, 0, 261, 1750},     // fixed above 19200
        {256000, 8, 2, 0, 43, 1750},
    };
    for (const Case& c : cases) {
        PortSettings s;
        s.baudRate = c.baud;
        s.dataBits = c.dataBits;
        s.parity = c.parity;
        s.stopBits = c.stopBits;
        EXPECT_EQ(SerialLink::CharacterTime(s).count(), c.characterUs) << c.baud;
        EXPECT_EQ(SerialLink::FrameGap(s).count(), c.gapUs) << c.baud;
    }
}

} // namespace
} // namespace pomrel
