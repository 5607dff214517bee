// Fault rules in force on the real engine: what a master sees on Modbus/TCP and on a serial line.
#include "engine/ProtocolEngine.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestIo.h"

#include "engine/Checksums.h"
#include "engine/TrafficLog.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

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

// ------------------------------------------------------------ what the frame records say

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

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame)
{
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

// One link of each kind on a fresh engine, its master on the other end: a socket or a pty.
class RecordedLink {
public:
    enum class Kind { Tcp, Udp, RtuOverTcp, Serial };

    RecordedLink(Kind kind, std::vector<FaultRule> rules) : kind_(kind)
    {
        memory_[0] = 0x0100;
        EXPECT_NE(engine.DefineDataBlock(1, 3, 1, 10, memory_.data()), kNoHandle);
        for (const FaultRule& rule : rules)
            EXPECT_EQ(CheckFaultRule(rule), "");
        engine.SetFaultRules(std::move(rules));
        engine.EnableFrameRecords(true);
        if (kind == Kind::Serial) {
            PortSettings settings;
            settings.parity = 0;
            engine.SetPortPath(3, pty_.SlavePath());
            EXPECT_NE(engine.OpenConnection(nullptr, 3, 1, 3, settings), kNoHandle) << engine.LastOpenError();
            fd_ = pty_.Fd();
            return;
        }
        ServerEndpoint endpoint;
        endpoint.protocol = kind == Kind::Tcp   ? ServerProtocol::Tcp
                            : kind == Kind::Udp ? ServerProtocol::Udp
                                                : ServerProtocol::RtuOverTcp;
        endpoint.address = "127.0.0.1";
        endpoint.number = 2;
        const Handle h = engine.OpenServer(endpoint);
        EXPECT_NE(h, kNoHandle) << engine.LastOpenError();
        socket_ = ::socket(AF_INET, (kind == Kind::Udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(engine.BoundTcpPort(h));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        fd_ = socket_;
    }
    ~RecordedLink()
    {
        if (socket_ >= 0)
            ::close(socket_);
    }
    RecordedLink(const RecordedLink&) = delete;
    RecordedLink& operator=(const RecordedLink&) = delete;

    bool Mbap() const { return kind_ == Kind::Tcp || kind_ == Kind::Udp; }
    // A read of holding register 1 of unit 1, and its answer, as this link frames them.
    std::vector<std::uint8_t> Request() const { return Mbap() ? ReadOne(7) : Hex("01 03 00 00 00 01 84 0a"); }
    std::vector<std::uint8_t> Answer() const
    {
        return Mbap() ? Hex("00 07 00 00 00 05 01 03 02 01 00") : WithCrc(Hex("01 03 02 01 00"));
    }
    bool Send(const std::vector<std::uint8_t>& bytes) { return test::WriteAll(fd_, bytes); }
    std::vector<std::uint8_t> Receive(std::size_t want, std::chrono::milliseconds timeout = 2000ms)
    {
        return test::ReadFor(fd_, want, timeout);
    }

    ProtocolEngine engine;

private:
    Kind kind_;
    std::array<RegisterWord, 10> memory_{};
    Pty pty_;
    int socket_ = -1;
    int fd_ = -1;
};

const std::pair<RecordedLink::Kind, const char*> kRecordedLinks[] = {
    {RecordedLink::Kind::Tcp, "tcp"}, {RecordedLink::Kind::Udp, "udp"},
    {RecordedLink::Kind::RtuOverTcp, "rtu-over-tcp"}, {RecordedLink::Kind::Serial, "serial"}};

TEST(FaultRecords, ADelayedAnswerIsRecordedWhenItLeaves)
{
    for (const auto& [kind, name] : kRecordedLinks) {
        FaultRule late = Rule(FaultAction::Delay);
        late.name = "slow";
        late.delayMs = 300;
        RecordedLink link(kind, {late});
        ASSERT_TRUE(link.Send(link.Request())) << name;
        EXPECT_EQ(ToHex(link.Receive(link.Answer().size())), ToHex(link.Answer())) << name;
        const std::vector<FrameRecord> r = TakeRecords(link.engine, 2);
        ASSERT_EQ(r.size(), 2u) << name;
        EXPECT_EQ(r[0].attribute, kReceived) << name;
        EXPECT_EQ(r[1].attribute, kSent) << name;
        EXPECT_EQ(ToHex(r[1].bytes), ToHex(link.Answer())) << name;
        EXPECT_EQ(r[1].fault, "slow") << name;
        EXPECT_GE(r[1].monotonicUs - r[0].monotonicUs, 300'000) << name;
    }
}

TEST(FaultRecords, EachPartOfASplitAnswerIsRecordedWhenItLeaves)
{
    for (const auto& [kind, name] : kRecordedLinks) {
        FaultRule split = Rule(FaultAction::Split);
        split.delayMs = 100;
        split.gapMs = 300;
        RecordedLink link(kind, {split});
        ASSERT_TRUE(link.Send(link.Request())) << name;
        EXPECT_EQ(ToHex(link.Receive(link.Answer().size())), ToHex(link.Answer())) << name;
        const std::vector<FrameRecord> r = TakeRecords(link.engine, 3);
        ASSERT_EQ(r.size(), 3u) << name;
        const std::vector<std::uint8_t> answer = link.Answer();
        const std::size_t half = answer.size() / 2;
        EXPECT_EQ(ToHex(r[1].bytes), ToHex(answer.data(), half)) << name;
        EXPECT_EQ(ToHex(r[2].bytes), ToHex(answer.data() + half, answer.size() - half)) << name;
        EXPECT_GE(r[1].monotonicUs - r[0].monotonicUs, 100'000) << name;
        EXPECT_GE(r[2].monotonicUs - r[0].monotonicUs, 400'000) << name;
        EXPECT_GT(r[2].monotonicUs, r[1].monotonicUs) << name;
        EXPECT_EQ(r[1].fault, "test") << name;
        EXPECT_EQ(r[2].fault, "test") << name;
    }
}

TEST(FaultRecords, AnAnswerWithheldIsRecordedAsWhatHappened)
{
    struct Case { RecordedLink::Kind kind; FaultAction action; Withheld want; };
    const Case cases[] = {
        {RecordedLink::Kind::Tcp, FaultAction::NoReply, Withheld::NoReply},
        {RecordedLink::Kind::Udp, FaultAction::NoReply, Withheld::NoReply},
        {RecordedLink::Kind::RtuOverTcp, FaultAction::NoReply, Withheld::NoReply},
        {RecordedLink::Kind::Serial, FaultAction::NoReply, Withheld::NoReply},
        {RecordedLink::Kind::Tcp, FaultAction::Close, Withheld::Closed},
        {RecordedLink::Kind::RtuOverTcp, FaultAction::Close, Withheld::Closed},
    };
    for (const Case& c : cases) {
        FaultRule rule = Rule(c.action);
        rule.name = "gone";
        if (c.action == FaultAction::Close)
            rule.link = c.kind == RecordedLink::Kind::Tcp ? "tcp" : "rtu-over-tcp";
        RecordedLink link(c.kind, {rule});
        ASSERT_TRUE(link.Send(link.Request()));
        const std::vector<FrameRecord> r = TakeRecords(link.engine, 2);
        ASSERT_EQ(r.size(), 2u) << int(c.kind) << " " << int(c.action);
        EXPECT_EQ(r[0].attribute, kReceived);
        EXPECT_EQ(r[0].withheld, Withheld::None);
        EXPECT_EQ(r[1].attribute, kSent);
        EXPECT_EQ(r[1].withheld, c.want) << int(c.kind);
        EXPECT_TRUE(r[1].bytes.empty());
        EXPECT_EQ(r[1].size, 0u);
        EXPECT_EQ(r[1].fault, "gone");
        EXPECT_GE(r[1].monotonicUs, r[0].monotonicUs);
    }
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
