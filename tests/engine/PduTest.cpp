// The request handler over a block table, with no transport: tables of request -> response PDUs.
// Expected answers are worked out by hand from the Modbus application protocol.
#include "engine/Pdu.h"
#include "tests/engine/HexBytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace pomrel {
namespace {

using test::Hex;
using test::ToHex;

struct Memory {
    std::array<RegisterWord, 1000> words{};
    void Fill(auto f)
    {
        for (std::size_t i = 0; i < words.size(); ++i)
            words[i].store(static_cast<std::uint16_t>(f(i)));
    }
    std::uint16_t operator[](std::size_t i) const { return words[i].load(); }
};

// Device 1: coils 1..20, inputs 1..20, holding registers A 1..10 and B 11..20 (adjacent), input
// registers 1..10, P 31..35 registered before the overlapping Q 29..38, ENRON longs at 5001,
// floats at 7001, one register at 65536. Device 2: holding 101..105. Device 3: holding 1..2 only.
// Device 4: 2000 coils and 2000 inputs from 1 (the most one read may ask for), each in two blocks
// of 1000 holding every other point set.
class PduTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        coils.Fill([](std::size_t i) { return i % 3 == 0; });
        inputs.Fill([](std::size_t i) { return i % 2 == 0; });
        a.Fill([](std::size_t i) { return 0x0100 + i; });
        b.Fill([](std::size_t i) { return 0x0200 + i; });
        inputRegs.Fill([](std::size_t i) { return 0x0400 + i; });
        p.Fill([](std::size_t i) { return 0x0500 + i; });
        q.Fill([](std::size_t i) { return 0x0600 + i; });
        last.Fill([](std::size_t) { return 0xBEEF; });
        dev2.Fill([](std::size_t i) { return 0x2000 + i; });
        dev3.Fill([](std::size_t i) { return 0x3000 + i; });
        // ENRON longs: 0x12345678, -2; float 1.5 (0x3FC00000), low word first in memory.
        longs.words[0] = 0x5678;
        longs.words[1] = 0x1234;
        longs.words[2] = 0xFFFE;
        longs.words[3] = 0xFFFF;
        floats.words[0] = 0x0000;
        floats.words[1] = 0x3FC0;

        ASSERT_NE(table.Define(1, 1, 1, 20, coils.words.data(), nullptr), kNoHandle);
        table.Define(1, 2, 1, 20, inputs.words.data(), nullptr);
        table.Define(1, 3, 1, 10, a.words.data(), nullptr);
        table.Define(1, 3, 11, 10, b.words.data(), nullptr);
        table.Define(1, 4, 1, 10, inputRegs.words.data(), nullptr);
        table.Define(1, 3, 31, 5, p.words.data(), nullptr);
        table.Define(1, 3, 29, 10, q.words.data(), nullptr);
        table.Define(1, 3, 5001, 100, longs.words.data(), nullptr);
        table.Define(1, 3, 7001, 1000, floats.words.data(), nullptr);
        table.Define(1, 3, 0, 1, last.words.data(), nullptr);
        table.Define(2, 3, 101, 5, dev2.words.data(), nullptr);
        table.Define(3, 3, 1, 2, dev3.words.data(), nullptr);
        for (int type : {1, 2}) {
            table.Define(4, type, 1, 1000, inputs.words.data(), nullptr);
            table.Define(4, type, 1001, 1000, inputs.words.data(), nullptr);
        }
    }

    std::string Serve(Addressing addressing, const std::string& request, bool enron = false)
    {
        const auto req = Hex(request);
        std::array<std::uint8_t, kMaxPdu> resp{};
        std::lock_guard lock(table.Mutex());
        const std::size_t n = ServeRequest(table, addressing, PduOptions{enron}, req.data(), req.size(), resp.data());
        return ToHex(resp.data(), n);
    }

    static Addressing Dev(std::uint8_t unit) { return Addressing::Serial(unit); }
    // The data of a long write: the values from, from + 1, ... as " hh ll" each.
    static std::string Words(int count, int from = 0)
    {
        std::vector<std::uint8_t> bytes;
        for (int v = from; v < from + count; ++v) {
            bytes.push_back(static_cast<std::uint8_t>(v >> 8));
            bytes.push_back(static_cast<std::uint8_t>(v));
        }
        return " " + ToHex(bytes);
    }

    BlockTable table;
    Memory coils, inputs, a, b, inputRegs, p, q, longs, floats, last, dev2, dev3;
};

struct Case {
    const char* name;
    Addressing addressing;
    const char* request;
    const char* response;  // "" = no answer
    bool enron = false;
};

TEST_F(PduTest, ReadsAndExceptions)
{
    const std::string slaveId = "11 0b 01 ff 4b 65 6c 76 61 72 6f 36 34";  // "Kelvaro64"
    // 2000 bits in 250 bytes, every other one set.
    std::string coils2000 = "01 fa", inputs2000 = "02 fa";
    for (int i = 0; i < 250; ++i) {
        coils2000 += " 55";
        inputs2000 += " 55";
    }
    const std::vector<Case> cases = {
        {"holding registers", Dev(1), "03 00 00 00 03", "03 06 01 00 01 01 01 02"},
        {"across two adjacent blocks", Dev(1), "03 00 08 00 04", "03 08 01 08 01 09 02 00 02 01"},
        {"first registered block wins", Dev(1), "03 00 1c 00 0a",
         "03 14 06 00 06 01 05 00 05 01 05 02 05 03 05 04 06 07 06 08 06 09"},
        {"range with a hole", Dev(1), "03 00 12 00 04", "83 02"},
        {"register 65536 (start 0)", Dev(1), "03 ff ff 00 01", "03 02 be ef"},
        {"past the end of the address space", Dev(1), "03 ff ff 00 02", "83 02"},
        {"register 65536 is no ENRON register", Dev(1), "03 ff ff 00 01", "03 02 be ef", true},
        {"quantity 0", Dev(1), "03 00 00 00 00", "83 03"},
        {"quantity 126", Dev(1), "03 00 00 00 7e", "83 03"},
        {"quantity checked before address", Dev(1), "03 30 00 00 7e", "83 03"},
        {"short request", Dev(1), "03 00 00 00", "83 03"},
        {"long request", Dev(1), "03 00 00 00 01 00", "83 03"},
        {"coils packed low bit first", Dev(1), "01 00 00 00 0a", "01 02 49 02"},
        {"coils quantity 2001", Dev(1), "01 00 00 07 d1", "81 03"},
        {"coils quantity 2000, the most", Dev(4), "01 00 00 07 d0", coils2000.c_str()},
        {"... 2001 of a device that has them", Dev(4), "01 00 00 07 d1", "81 03"},
        {"inputs quantity 2000, the most", Dev(4), "02 00 00 07 d0", inputs2000.c_str()},
        {"inputs quantity 2001", Dev(4), "02 00 00 07 d1", "82 03"},
        {"coils past the block", Dev(1), "01 00 0f 00 0a", "81 02"},
        {"discrete inputs", Dev(1), "02 00 01 00 05", "02 01 0a"},
        {"input registers", Dev(1), "04 00 02 00 02", "04 04 04 02 04 03"},
        {"device without coils", Dev(3), "01 00 00 00 01", "81 01"},
        {"device without input registers", Dev(3), "04 00 00 00 01", "84 01"},
        {"unknown function", Dev(1), "07", "87 01"},
        {"encapsulated interface", Dev(1), "2b 0e 01 00", "ab 01"},
        {"diagnostics: return query data", Dev(1), "08 00 00 12 34", "08 00 00 12 34"},
        {"diagnostics: other sub-function", Dev(1), "08 00 01 00 00", "88 01"},
        {"report slave id", Dev(1), "11", slaveId.c_str()},
        {"unknown device", Dev(9), "03 00 00 00 01", ""},
        {"serial broadcast read", Dev(0), "03 00 00 00 01", ""},
        {"TCP unit 0 reaches device 2", Addressing::Tcp(0), "03 00 64 00 02", "03 04 20 00 20 01"},
        {"TCP unit 255 reaches device 2", Addressing::Tcp(255), "03 00 64 00 02", "03 04 20 00 20 01"},
        {"TCP unit 0: first registered at 0", Addressing::Tcp(0), "03 00 00 00 01", "03 02 01 00"},
        {"TCP unit 2 is device 2 only", Addressing::Tcp(2), "03 00 00 00 01", "83 02"},
        {"ENRON longs, high word first", Dev(1), "03 13 88 00 02", "03 08 12 34 56 78 ff ff ff fe", true},
        {"ENRON float", Dev(1), "03 1b 58 00 01", "03 04 3f c0 00 00", true},
        {"ENRON range without the option", Dev(1), "03 13 88 00 02", "03 04 56 78 12 34"},
        {"ENRON read of 63", Dev(1), "03 13 88 00 3f", "83 03", true},
        {"ENRON block ends at 500 points", Dev(1), "03 1d 4c 00 01", "83 02", true},
        {"... and has point 499", Dev(1), "03 1d 4b 00 01", "03 04 00 00 00 00", true},
        {"the same address without ENRON", Dev(1), "03 1d 4c 00 01", "03 02 00 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Serve(c.addressing, c.request, c.enron), c.response);
    }
}

TEST_F(PduTest, SwitchedOffDeviceIsSilentUntilSwitchedOn)
{
    table.SetDeviceActive(1, false);
    EXPECT_EQ(Serve(Dev(1), "03 00 00 00 01"), "");
    EXPECT_EQ(Serve(Addressing::Tcp(0), "03 00 00 00 01"), "03 02 30 00") << "device 3 takes over";
    EXPECT_EQ(Serve(Dev(0), "06 00 00 00 07"), "");
    EXPECT_EQ(a[0], 0x0100) << "a switched-off device takes no broadcast";
    EXPECT_EQ(dev3[0], 7);
    table.SetDeviceActive(1, true);
    EXPECT_EQ(Serve(Dev(1), "03 00 00 00 01"), "03 02 01 00");
}

TEST_F(PduTest, Writes)
{
    EXPECT_EQ(Serve(Dev(1), "05 00 01 ff 00"), "05 00 01 ff 00");
    EXPECT_EQ(coils[1], 1);
    EXPECT_EQ(Serve(Dev(1), "05 00 00 00 00"), "05 00 00 00 00");
    EXPECT_EQ(coils[0], 0);
    EXPECT_EQ(Serve(Dev(1), "05 00 02 12 34"), "85 03");
    EXPECT_EQ(coils[2], 0);

    EXPECT_EQ(Serve(Dev(1), "06 00 02 ab cd"), "06 00 02 ab cd");
    EXPECT_EQ(a[2], 0xABCD);
    EXPECT_EQ(Serve(Dev(1), "06 00 14 ab cd"), "86 02");

    // Ten coils from 0xCD 0x01: 1 0 1 1 0 0 1 1 | 1 0
    EXPECT_EQ(Serve(Dev(1), "0f 00 00 00 0a 02 cd 01"), "0f 00 00 00 0a");
    const std::vector<int> expected = {1, 0, 1, 1, 0, 0, 1, 1, 1, 0};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(coils[i], expected[i]) << "coil " << i;
    EXPECT_EQ(Serve(Dev(1), "0f 00 00 00 0a 01 cd"), "8f 03");
    EXPECT_EQ(Serve(Dev(1), "0f 00 00 00 0a 02 cd"), "8f 03");

    EXPECT_EQ(Serve(Dev(1), "10 00 09 00 02 04 11 11 22 22"), "10 00 09 00 02");
    EXPECT_EQ(a[9], 0x1111);
    EXPECT_EQ(b[0], 0x2222);
    // Quantities: 123 registers fill the largest PDU (124 would not fit in one); 0 comes with a
    // byte count that matches it, so that only the quantity rule can refuse it.
    EXPECT_EQ(Serve(Dev(1), "10 1b 58 00 7b f6" + Words(123)), "10 1b 58 00 7b");
    EXPECT_EQ(floats[122], 122);
    EXPECT_EQ(Serve(Dev(1), "10 00 00 00 00 00"), "90 03");
    EXPECT_EQ(Serve(Dev(1), "10 00 00 00 02 04 00 01 00"), "90 03");

    // Mask write, the worked example of the application protocol: 0x12 AND 0xF2 OR 0x25 -> 0x17.
    a.words[4] = 0x12;
    EXPECT_EQ(Serve(Dev(1), "16 00 04 00 f2 00 25"), "16 00 04 00 f2 00 25");
    EXPECT_EQ(a[4], 0x17);

    // Read/write: the write comes first.
    EXPECT_EQ(Serve(Dev(1), "17 00 00 00 02 00 00 00 01 02 11 11"), "17 04 11 11 01 01");
    EXPECT_EQ(Serve(Dev(1), "17 00 00 00 7e 00 00 00 01 02 11 11"), "97 03");
    // Write quantities: 121 fill the largest PDU; 0 with a matching byte count reaches the rule.
    EXPECT_EQ(Serve(Dev(1), "17 1b 58 00 01 1b 58 00 79 f2" + Words(121, 0x100)), "17 02 01 00");
    EXPECT_EQ(floats[120], 0x178);
    EXPECT_EQ(Serve(Dev(1), "17 00 00 00 01 00 00 00 00 00"), "97 03");
}

TEST_F(PduTest, BroadcastWritesReachEveryDeviceAndAreNotAnswered)
{
    EXPECT_EQ(Serve(Dev(0), "06 00 00 00 07"), "");
    EXPECT_EQ(a[0], 7);
    EXPECT_EQ(dev3[0], 7);
    EXPECT_EQ(Serve(Dev(0), "10 00 00 00 02 04 00 08 00 09"), "");
    EXPECT_EQ(a[1], 9);
    EXPECT_EQ(dev3[1], 9);
    // Starting inside A and running on into B: each block takes its own part of the data.
    EXPECT_EQ(Serve(Dev(0), "10 00 08 00 04 08 00 0a 00 0b 00 0c 00 0d"), "");
    EXPECT_EQ(a[7], 0x0107);
    EXPECT_EQ(a[8], 0x0a);
    EXPECT_EQ(a[9], 0x0b);
    EXPECT_EQ(b[0], 0x0c);
    EXPECT_EQ(b[1], 0x0d);
    EXPECT_EQ(b[2], 0x0202);
    EXPECT_EQ(Serve(Dev(0), "05 00 05 ff 00"), "");
    EXPECT_EQ(coils[5], 1);
    EXPECT_EQ(Serve(Dev(0), "06 00 63 00 07"), "") << "even an address nobody holds";
    EXPECT_EQ(Serve(Dev(0), "06 00 00 00"), "") << "nor a malformed request";
}

TEST_F(PduTest, EnronWrites)
{
    EXPECT_EQ(Serve(Dev(1), "06 13 88 00 01 86 a0", true), "06 13 88 00 01 86 a0");
    EXPECT_EQ(longs[0], 0x86A0);
    EXPECT_EQ(longs[1], 0x0001);
    EXPECT_EQ(Serve(Dev(1), "06 13 88 12 34", true), "86 03") << "a 32-bit register takes 4 bytes";
    EXPECT_EQ(Serve(Dev(1), "06 00 00 00 01 86 a0", true), "86 03") << "a 16-bit register takes 2 bytes";
    EXPECT_EQ(Serve(Dev(1), "06 13 88 00 01 86 a0"), "86 03") << "no 4-byte form without the option";

    EXPECT_EQ(Serve(Dev(1), "10 1b 58 00 02 08 40 49 0f db bf 80 00 00", true), "10 1b 58 00 02");
    EXPECT_EQ(floats[0], 0x0FDB);
    EXPECT_EQ(floats[1], 0x4049);
    EXPECT_EQ(floats[2], 0x0000);
    EXPECT_EQ(floats[3], 0xBF80);
    EXPECT_EQ(Serve(Dev(1), "10 1b 58 00 02 04 00 01 00 02", true), "90 03");
    EXPECT_EQ(Serve(Dev(1), "10 00 00 00 01 04 00 01 00 02", true), "90 03");
    EXPECT_EQ(Serve(Dev(1), "16 13 88 00 f2 00 25", true), "96 01");
}

// Read FIFO Queue: the pointer register holds the count, the values follow it.
TEST_F(PduTest, ReadFifoQueue)
{
    a.words[0] = 3;
    a.words[9] = 1;     // A's last register: its one value is B's first
    b.words[9] = 1;     // B's last: its value would lie past every block
    floats.words[0] = 31;
    floats.words[1] = 0x3FC0;
    std::string thirtyOne = "18 00 40 00 1f 3f c0";
    for (int i = 2; i <= 31; ++i)
        thirtyOne += " 00 00";
    const std::vector<Case> cases = {
        {"three values", Dev(1), "18 00 00", "18 00 08 00 03 01 01 01 02 01 03"},
        {"across a block border", Dev(1), "18 00 09", "18 00 04 00 01 02 00"},
        {"31 values, the most", Dev(1), "18 1b 58", thirtyOne.c_str()},
        {"an empty queue", Dev(3), "18 00 01", "18 00 02 00 00"},
        {"a count above 31", Dev(1), "18 00 01", "98 03"},
        {"values past the last block", Dev(1), "18 00 13", "98 02"},
        {"a pointer nobody holds", Dev(1), "18 00 63", "98 02"},
        {"register 65536: a count of 0xbeef", Dev(1), "18 ff ff", "98 03"},
        {"a 32-bit ENRON pointer", Dev(1), "18 13 88", "98 01", true},
        {"short", Dev(1), "18 00", "98 03"},
        {"long", Dev(1), "18 00 00 00", "98 03"},
        {"a device without it", Dev(9), "18 00 00", ""},
        {"broadcast", Dev(0), "18 00 00", ""},
        {"TCP unit 0", Addressing::Tcp(0), "18 00 00", "18 00 08 00 03 01 01 01 02 01 03"},
    };
    dev3.words[0] = 0;
    dev3.words[1] = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Serve(c.addressing, c.request, c.enron), c.response);
    }
}

TEST(BlockTable, DefineRejectsWhatCannotBeServedAndClampsLength)
{
    BlockTable table;
    std::array<RegisterWord, 1000> memory{};
    EXPECT_EQ(table.Define(256, 3, 1, 10, memory.data(), nullptr), kNoHandle);
    EXPECT_EQ(table.Define(-1, 3, 1, 10, memory.data(), nullptr), kNoHandle);
    EXPECT_EQ(table.Define(1, 0, 1, 10, memory.data(), nullptr), kNoHandle);
    EXPECT_EQ(table.Define(1, 5, 1, 10, memory.data(), nullptr), kNoHandle);
    EXPECT_EQ(table.Define(1, 3, 1, 10, nullptr, nullptr), kNoHandle);
    const Handle h = table.Define(1, 3, 1, 5000, memory.data(), nullptr);
    ASSERT_NE(h, kNoHandle);
    std::array<RegisterWord, 1000> top{};
    top[0] = 0x00FF;
    EXPECT_NE(table.Define(255, 3, 1, 10, top.data(), nullptr), kNoHandle) << "the highest device id";
    std::lock_guard lock(table.Mutex());
    EXPECT_EQ(table.Blocks().front().length, 1000u);
    const auto req = Hex("03 00 00 00 01");
    std::array<std::uint8_t, kMaxPdu> resp{};
    const std::size_t n = ServeRequest(table, Addressing::Serial(255), {}, req.data(), req.size(), resp.data());
    EXPECT_EQ(ToHex(resp.data(), n), "03 02 00 ff");
}

TEST(BlockTable, EnronRangesByStoredStart)
{
    struct Case {
        int type;
        int start;
        Block::Enron enron;
    };
    const std::vector<Case> cases = {
        {3, 4999, Block::Enron::None}, {3, 5000, Block::Enron::Long}, {3, 5999, Block::Enron::Long},
        {3, 6000, Block::Enron::None}, {3, 6999, Block::Enron::None}, {3, 7000, Block::Enron::Float},
        {4, 65535, Block::Enron::Float}, {3, 0, Block::Enron::None}, {1, 5001, Block::Enron::None},
        {2, 7001, Block::Enron::None},
    };
    BlockTable table;
    std::array<RegisterWord, 1000> memory{};
    for (const Case& c : cases)
        table.Define(1, c.type, c.start, 10, memory.data(), nullptr);
    std::lock_guard lock(table.Mutex());
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(table.Blocks()[i].enron, cases[i].enron) << "type " << cases[i].type << " start " << cases[i].start;
}

TEST(BlockTable, RemovedBlockIsNoLongerServed)
{
    BlockTable table;
    std::array<RegisterWord, 1000> first{}, second{};
    second[0] = 42;
    const Handle h1 = table.Define(1, 3, 1, 10, first.data(), nullptr);
    table.Define(1, 3, 1, 10, second.data(), nullptr);
    EXPECT_TRUE(table.Remove(h1));
    EXPECT_FALSE(table.Remove(h1));
    const auto req = Hex("03 00 00 00 01");
    std::array<std::uint8_t, kMaxPdu> resp{};
    std::lock_guard lock(table.Mutex());
    const std::size_t n = ServeRequest(table, Addressing::Serial(1), {}, req.data(), req.size(), resp.data());
    EXPECT_EQ(ToHex(resp.data(), n), "03 02 00 2a");
}

} // namespace
} // namespace pomrel
