// Fault rules in force on the real engine: what a master sees on Modbus/TCP and on a serial line.
#include "engine/ProtocolEngine.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestIo.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>

namespace pomrel {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::Pty;
using test::TcpMaster;
using test::ToHex;

// FC3 request for one register at wire address `address`, transaction `tid`, unit `unit`.
std::vector<std::uint8_t> ReadOne(std::uint16_t tid, std::uint8_t unit = 1, std::uint16_t address = 0)
{
    return {std::uint8_t(tid >> 8), std::uint8_t(tid), 0, 0, 0, 6, unit, 3, std::uint8_t(address >> 8), std::uint8_t(address), 0, 1};
}

FaultRule Rule(FaultAction action)
{
    FaultRule r;
    r.name = "test";
    r.action = action;
    return r;
}

class TcpFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        memory[0] = 0x0100;
        memory[1] = 0x0101;
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, memory.data()), kNoHandle);
        engine.SetTCPServicePort(0);
        const Handle server = engine.OpenTCPConnection(nullptr, 1026);
        ASSERT_NE(server, kNoHandle) << engine.LastOpenError();
        port = engine.BoundTcpPort(server);
    }
    void Install(FaultRule rule)
    {
        ASSERT_EQ(CheckFaultRule(rule), "");
        engine.SetFaultRules({rule});
    }

    std::array<RegisterWord, 1000> memory{};
    ProtocolEngine engine;
    std::uint16_t port = 0;
};

TEST_F(TcpFaults, WhatTheAnswerBecomes)
{
    struct Case { const char* name; FaultRule rule; std::uint8_t unit; const char* want; };
    FaultRule exception = Rule(FaultAction::Exception);
    exception.exceptionCode = 6;
    FaultRule gateway = Rule(FaultAction::Exception);
    gateway.exceptionCode = 0x0B;
    gateway.unit = 9;
    FaultRule wrongUnit = Rule(FaultAction::WrongUnit);
    FaultRule truncate = Rule(FaultAction::Truncate);
    truncate.bytes = 5;
    FaultRule other = Rule(FaultAction::NoReply);
    other.unit = 7;   // matches nothing here: the answer is the usual one
    const Case cases[] = {
        {"exception", exception, 1, "00 07 00 00 00 03 01 83 06"},
        {"gateway for an absent device", gateway, 9, "00 07 00 00 00 03 09 83 0b"},
        {"wrong unit", wrongUnit, 1, "00 07 00 00 00 05 02 03 02 01 00"},
        {"truncate", truncate, 1, "00 07 00 00 00"},
        {"no match", other, 1, "00 07 00 00 00 05 01 03 02 01 00"},
    };
    for (const Case& c : cases) {
        Install(c.rule);
        TcpMaster master(port);
        ASSERT_TRUE(master.Send(ReadOne(7, c.unit)));
        EXPECT_EQ(ToHex(master.Receive(64, 300ms)), c.want) << c.name;
    }
}

TEST_F(TcpFaults, JunkFollowsTheAnswerAndIsTheSameOnEveryRun)
{
    FaultRule junk = Rule(FaultAction::Junk);
    junk.bytes = 3;
    junk.seed = 11;
    std::string first;
    for (int run = 0; run < 2; ++run) {
        Install(junk);
        TcpMaster master(port);
        ASSERT_TRUE(master.Send(ReadOne(7)));
        const std::string got = ToHex(master.Receive(64, 300ms));
        EXPECT_EQ(got.substr(0, 32), "00 07 00 00 00 05 01 03 02 01 00");
        EXPECT_EQ(got.size(), 32u + 9u);
        if (run == 0)
            first = got;
        else
            EXPECT_EQ(got, first);
    }
}

TEST_F(TcpFaults, NoReplyThenTheNextRequestIsAnswered)
{
    FaultRule silent = Rule(FaultAction::NoReply);
    silent.times = 1;
    Install(silent);
    TcpMaster master(port);
    ASSERT_TRUE(master.Send(ReadOne(1)));
    EXPECT_TRUE(master.Receive(1, 300ms).empty());
    ASSERT_TRUE(master.Send(ReadOne(2)));
    EXPECT_EQ(ToHex(master.Receive(11)), "00 02 00 00 00 05 01 03 02 01 00");
    const auto set = engine.FaultRulesInForce();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->Matched(0), 2u);
    EXPECT_EQ(set->Fired(0), 1u);
}

TEST_F(TcpFaults, ADelayedAnswerComesNoEarlierAndKeepsItsPlaceInTheStream)
{
    FaultRule late = Rule(FaultAction::Delay);
    late.delayMs = 150;
    late.first = late.last = 1;   // only the request for address 1
    Install(late);
    TcpMaster master(port);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> two = ReadOne(1);
    const auto second = ReadOne(2, 1, 1);
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(master.Send(two));
    EXPECT_EQ(ToHex(master.Receive(22)), "00 01 00 00 00 05 01 03 02 01 00 00 02 00 00 00 05 01 03 02 01 01");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST_F(TcpFaults, SplitSendsTwoPartsAGapApart)
{
    FaultRule split = Rule(FaultAction::Split);
    split.gapMs = 300;
    Install(split);
    TcpMaster master(port);
    ASSERT_TRUE(master.Send(ReadOne(7)));
    EXPECT_EQ(ToHex(master.Receive(11, 150ms)), "00 07 00 00 00");
    EXPECT_EQ(ToHex(master.Receive(6)), "05 01 03 02 01 00");
}

TEST_F(TcpFaults, CloseDropsTheConnectionAndTheMasterCanReconnect)
{
    FaultRule close = Rule(FaultAction::Close);
    close.link = "tcp";
    close.times = 1;
    Install(close);
    TcpMaster master(port);
    ASSERT_TRUE(master.Send(ReadOne(7)));
    EXPECT_TRUE(master.ClosedByPeer());
    TcpMaster again(port);
    ASSERT_TRUE(again.Send(ReadOne(8)));
    EXPECT_EQ(ToHex(again.Receive(11)), "00 08 00 00 00 05 01 03 02 01 00");
}

TEST_F(TcpFaults, ReplacingTheRulesTakesEffectAndAnEmptyListRemovesThem)
{
    Install(Rule(FaultAction::NoReply));
    TcpMaster master(port);
    ASSERT_TRUE(master.Send(ReadOne(1)));
    EXPECT_TRUE(master.Receive(1, 200ms).empty());
    engine.SetFaultRules({});
    EXPECT_EQ(engine.FaultRulesInForce(), nullptr);
    ASSERT_TRUE(master.Send(ReadOne(2)));
    EXPECT_EQ(ToHex(master.Receive(11)), "00 02 00 00 00 05 01 03 02 01 00");
}

class SerialFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        holding[0] = 0x0100;
        holding[1] = 0x0101;
        ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, holding.data()), kNoHandle);
        engine.SetPortPath(3, pty.SlavePath());
        settings.parity = 0;
    }
    void Open(int mode) { ASSERT_NE(engine.OpenConnection(nullptr, 3, mode, 3, settings), kNoHandle) << engine.LastOpenError(); }

    std::array<RegisterWord, 1000> holding{};
    ProtocolEngine engine;
    Pty pty;
    PortSettings settings;
};

TEST_F(SerialFaults, BadChecksumOnRtuSpoilsTheCrc)
{
    FaultRule bad = Rule(FaultAction::BadChecksum);
    bad.link = "serial:3";
    engine.SetFaultRules({bad});
    Open(1);
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 02 c4 0b")));
    EXPECT_EQ(ToHex(pty.Receive(9)), "01 03 04 01 00 01 01 3b 60");  // good CRC 3b 9f
}

TEST_F(SerialFaults, BadChecksumOnAsciiSpoilsTheLrc)
{
    FaultRule bad = Rule(FaultAction::BadChecksum);
    bad.link = "serial";
    engine.SetFaultRules({bad});
    Open(0);
    const std::string request = ":010300000002FA\r\n";
    ASSERT_TRUE(pty.Send({request.begin(), request.end()}));
    const auto got = pty.Receive(19);
    EXPECT_EQ(std::string(got.begin(), got.end()), ":010304010001010A\r\n");  // good LRC F5
}

TEST_F(SerialFaults, ARuleForAnotherPortLeavesThisOneAlone)
{
    FaultRule silent = Rule(FaultAction::NoReply);
    silent.link = "serial:4";
    engine.SetFaultRules({silent});
    Open(1);
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 02 c4 0b")));
    EXPECT_EQ(ToHex(pty.Receive(9)), "01 03 04 01 00 01 01 3b 9f");
}

TEST_F(SerialFaults, SplitRtuAnswerArrivesInTwoPiecesAndABroadcastStaysUnanswered)
{
    FaultRule split = Rule(FaultAction::Split);
    split.gapMs = 300;
    FaultRule exception = Rule(FaultAction::Exception);
    exception.exceptionCode = 4;
    exception.functions = {6};
    engine.SetFaultRules({exception, split});
    Open(1);
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 02 c4 0b")));
    EXPECT_EQ(ToHex(pty.Receive(9, 150ms)), "01 03 04 01");
    EXPECT_EQ(ToHex(pty.Receive(5)), "00 01 01 3b 9f");
    // Broadcast write of register 1 := 5: applied, never answered, whatever the rules say.
    ASSERT_TRUE(pty.Send(Hex("00 06 00 00 00 05 48 18")));
    EXPECT_TRUE(pty.Receive(1, 200ms).empty());
}

} // namespace
} // namespace pomrel
