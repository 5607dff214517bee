// The decoder against frames written out by hand: the published examples of the serial line
// guide for checksums, MBAP frames for the layout of every function served.
#include "monitor/FrameDecoder.h"

#include "engine/TrafficLog.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using monitor::DecodedFrame;
using pomrel::FrameRecord;
using pomrel::LinkId;

std::vector<std::uint8_t> Bytes(const std::string& hex)
{
    std::vector<std::uint8_t> b;
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return b;
}

std::vector<std::uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// An MBAP frame around `pdu` (unit 1, the length counted here).
std::vector<std::uint8_t> Mbap(int tid, const std::string& pdu)
{
    std::vector<std::uint8_t> p = Bytes(pdu);
    std::vector<std::uint8_t> b = Bytes("0000 0000 0000 01");
    b[0] = static_cast<std::uint8_t>(tid >> 8);
    b[1] = static_cast<std::uint8_t>(tid);
    b[4] = static_cast<std::uint8_t>((p.size() + 1) >> 8);
    b[5] = static_cast<std::uint8_t>(p.size() + 1);
    for (std::uint8_t x : p)
        b.push_back(x);
    return b;
}

FrameRecord Record(LinkId::Kind kind, std::uint8_t attribute, std::vector<std::uint8_t> bytes, bool ascii = false)
{
    FrameRecord r;
    r.attribute = attribute;
    r.source.link.kind = kind;
    r.source.link.port = kind == LinkId::Kind::Serial ? 1 : 0;
    r.source.ascii = ascii;
    r.source.stream = kind == LinkId::Kind::Tcp ? 1 : 0;
    r.size = static_cast<std::uint32_t>(bytes.size());
    r.bytes = std::move(bytes);
    return r;
}

struct Case {
    const char* name;
    LinkId::Kind kind;
    std::uint8_t attribute;
    std::vector<std::uint8_t> bytes;
    bool ascii;
    // expected
    bool ok;
    int unit, function;
    std::optional<std::uint32_t> address, quantity;
    std::vector<std::uint16_t> values;
    std::optional<std::uint8_t> exception;
    DecodedFrame::Check check;
    std::string errorPart;  // found in `error` when not ok
};

constexpr auto Tcp = LinkId::Kind::Tcp;
constexpr auto Serial = LinkId::Kind::Serial;
constexpr auto Rx = pomrel::kReceived;
constexpr auto Tx = pomrel::kSent;
constexpr auto None = DecodedFrame::Check::None;
constexpr auto Good = DecodedFrame::Check::Good;
constexpr auto Bad = DecodedFrame::Check::Bad;
const std::nullopt_t no = std::nullopt;

const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = {
        // Serial line examples: read 3 holding registers from 108 of device 17, and the answer.
        {"rtu read", Serial, Rx, Bytes("11 03 006B 0003 7687"), false, true, 17, 3, 107u, 3u, {}, no, Good, ""},
        {"rtu answer", Serial, Tx, Bytes("11 03 06 AE41 5652 4340 49AD"), false, true, 17, 3, no, no, {0xAE41, 0x5652, 0x4340}, no, Good, ""},
        {"rtu bad crc", Serial, Rx, Bytes("11 03 006B 0003 7688"), false, false, 17, 3, 107u, 3u, {}, no, Bad, "bad CRC"},
        {"rtu exception", Serial, Tx, Bytes("01 83 02 C0F1"), false, true, 1, 3, no, no, {}, 2, Good, ""},
        {"rtu over tcp", LinkId::Kind::RtuOverTcp, Rx, Bytes("01 03 0000 000A C5CD"), false, true, 1, 3, 0u, 10u, {}, no, Good, ""},
        {"rtu too short", Serial, Rx, Bytes("01 03 C5"), false, false, -1, -1, no, no, {}, no, None, "RTU frame of 3 bytes"},
        {"ascii read", Serial, Rx, Text(":1103006B00037E\r\n"), true, true, 17, 3, 107u, 3u, {}, no, Good, ""},
        {"ascii bad lrc", Serial, Rx, Text(":1103006B00037F\r\n"), true, false, 17, 3, 107u, 3u, {}, no, Bad, "bad LRC"},
        {"ascii not hex", Serial, Rx, Text(":11030G6B00037E\r\n"), true, false, -1, -1, no, no, {}, no, None, "hex digit"},
        {"ascii no end", Serial, Rx, Text(":1103006B00037E"), true, false, -1, -1, no, no, {}, no, None, "not an ASCII frame"},
        // Every function served, request and answer, over MBAP.
        {"fc1 rq", Tcp, Rx, Mbap(1, "01 0013 0013"), false, true, 1, 1, 19u, 19u, {}, no, None, ""},
        {"fc1 rs", Tcp, Tx, Mbap(1, "01 03 CD6B05"), false, true, 1, 1, no, no,
         {1,0,1,1,0,0,1,1, 1,1,0,1,0,1,1,0, 1,0,1,0,0,0,0,0}, no, None, ""},
        {"fc2 rq", Tcp, Rx, Mbap(1, "02 00C4 0016"), false, true, 1, 2, 196u, 22u, {}, no, None, ""},
        {"fc3 rs odd count", Tcp, Tx, Mbap(1, "03 03 000102"), false, false, 1, 3, no, no, {}, no, None, "answer of function 3"},
        {"fc4 rs", Tcp, Tx, Mbap(1, "04 02 000A"), false, true, 1, 4, no, no, {10}, no, None, ""},
        {"fc5 rq on", Tcp, Rx, Mbap(1, "05 00AC FF00"), false, true, 1, 5, 172u, 1u, {1}, no, None, ""},
        {"fc5 rq off", Tcp, Rx, Mbap(1, "05 00AC 0000"), false, true, 1, 5, 172u, 1u, {0}, no, None, ""},
        {"fc6 rs", Tcp, Tx, Mbap(1, "06 0001 0003"), false, true, 1, 6, 1u, 1u, {3}, no, None, ""},
        {"fc7 rq", Tcp, Rx, Mbap(1, "07"), false, true, 1, 7, no, no, {}, no, None, ""},
        {"fc7 rs", Tcp, Tx, Mbap(1, "07 6D"), false, true, 1, 7, no, no, {0x6D}, no, None, ""},
        {"fc8 echo", Tcp, Rx, Mbap(1, "08 0000 A537"), false, true, 1, 8, no, no, {0xA537}, no, None, ""},
        {"fc8 odd data", Tcp, Rx, Mbap(1, "08 0000 A5"), false, false, 1, 8, no, no, {}, no, None, "request of function 8"},
        {"fc11 rq", Tcp, Rx, Mbap(1, "0B"), false, true, 1, 11, no, no, {}, no, None, ""},
        {"fc11 rs", Tcp, Tx, Mbap(1, "0B FFFF 0108"), false, true, 1, 11, no, no, {0xFFFF, 0x0108}, no, None, ""},
        {"fc12 rs", Tcp, Tx, Mbap(1, "0C 08 0000 0108 0121 2000"), false, true, 1, 12, no, no,
         {0, 0x0108, 0x0121, 0x20, 0x00}, no, None, ""},
        {"fc12 rq with data", Tcp, Rx, Mbap(1, "0C 00"), false, false, 1, 12, no, no, {}, no, None, "request of function 12"},
        {"fc15 rq", Tcp, Rx, Mbap(1, "0F 0013 000A 02 CD01"), false, true, 1, 15, 19u, 10u, {1,0,1,1,0,0,1,1,1,0}, no, None, ""},
        {"fc15 rq count short", Tcp, Rx, Mbap(1, "0F 0013 0011 02 CD01"), false, false, 1, 15, 19u, 17u, {}, no, None, "request of function 15"},
        {"fc15 rs", Tcp, Tx, Mbap(1, "0F 0013 000A"), false, true, 1, 15, 19u, 10u, {}, no, None, ""},
        {"fc16 rq", Tcp, Rx, Mbap(1, "10 0001 0002 04 000A 0102"), false, true, 1, 16, 1u, 2u, {10, 0x102}, no, None, ""},
        {"fc16 rq count wrong", Tcp, Rx, Mbap(1, "10 0001 0002 05 000A 0102"), false, false, 1, 16, no, no, {}, no, None, "request of function 16"},
        {"fc17 rs", Tcp, Tx, Mbap(1, "11 03 2AFF00"), false, true, 1, 17, no, no, {}, no, None, ""},
        {"fc22 rq", Tcp, Rx, Mbap(1, "16 0004 00F2 0025"), false, true, 1, 22, 4u, 1u, {0xF2, 0x25}, no, None, ""},
        {"fc23 rq", Tcp, Rx, Mbap(1, "17 0003 0006 000E 0003 06 00FF 00FF 00FF"), false, true, 1, 23, 3u, 6u,
         {0xFF, 0xFF, 0xFF}, no, None, ""},
        {"fc23 rs", Tcp, Tx, Mbap(1, "17 04 00FE 0ACD"), false, true, 1, 23, no, no, {0xFE, 0x0ACD}, no, None, ""},
        {"fc24 rq", Tcp, Rx, Mbap(1, "18 04DE"), false, true, 1, 24, 0x4DEu, no, {}, no, None, ""},
        {"fc24 rs", Tcp, Tx, Mbap(1, "18 0006 0002 01B8 1284"), false, true, 1, 24, no, 2u, {0x1B8, 0x1284}, no, None, ""},
        {"fc24 rs count wrong", Tcp, Tx, Mbap(1, "18 0006 0003 01B8 1284"), false, false, 1, 24, no, no, {}, no, None, "answer of function 24"},
        {"fc43 rq", Tcp, Rx, Mbap(1, "2B 0E 01 00"), false, true, 1, 43, 0u, no, {}, no, None, ""},
        {"fc43 rs", Tcp, Tx, Mbap(1, "2B 0E 01 01 00 00 02 00 03 4B6576 01 02 4A32"), false, true, 1, 43, 0u, 2u, {}, no, None, ""},
        {"fc43 rs object past end", Tcp, Tx, Mbap(1, "2B 0E 01 01 00 00 02 00 03 4B6576 01 05 4A32"), false, false, 1, 43, no, no, {}, no, None, "answer of function 43"},
        {"exception", Tcp, Tx, Mbap(1, "90 02"), false, true, 1, 16, no, no, {}, 2, None, ""},
        {"exception bit on request", Tcp, Rx, Mbap(1, "83 02"), false, false, 1, 3, no, no, {}, no, None, "exception bit"},
        {"unknown function", Tcp, Rx, Mbap(1, "41 0102"), false, true, 1, 65, no, no, {}, no, None, ""},
        {"mbap length wrong", Tcp, Rx, Bytes("0001 0000 0009 01 03 0000 0001"), false, false, -1, -1, no, no, {}, no, None, "MBAP length 9"},
        {"mbap other protocol", Tcp, Rx, Bytes("0001 0001 0006 01 03 0000 0001"), false, false, -1, -1, no, no, {}, no, None, "protocol id 1"},
        {"mbap short", Tcp, Rx, Bytes("0001 0000 00"), false, false, -1, -1, no, no, {}, no, None, "MBAP header incomplete"},
        {"udp", LinkId::Kind::Udp, Rx, Mbap(7, "03 0000 0002"), false, true, 1, 3, 0u, 2u, {}, no, None, ""},
        {"tls", LinkId::Kind::Tls, Tx, Mbap(7, "03 02 0005"), false, true, 1, 3, no, no, {5}, no, None, ""},
        {"discarded", Tcp, pomrel::kDiscarded, Bytes("0001 0000 0000"), false, false, -1, -1, no, no, {}, no, None, "discarded"},
    };
    return cases;
}

TEST(FrameDecoder, DecodesEveryFunctionAndFraming)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const DecodedFrame f = monitor::DecodeFrame(Record(c.kind, c.attribute, c.bytes, c.ascii));
        EXPECT_EQ(f.ok, c.ok) << f.error;
        if (c.ok)
            EXPECT_TRUE(f.error.empty()) << f.error;
        else
            EXPECT_NE(f.error.find(c.errorPart), std::string::npos) << f.error;
        EXPECT_EQ(f.request, c.attribute != Tx);
        EXPECT_EQ(f.check, c.check);
        if (c.unit < 0)
            continue;  // the fields of a frame that does not even have a header say nothing
        EXPECT_EQ(f.unit, c.unit);
        EXPECT_EQ(f.function, c.function);
        if (!c.ok)
            continue;
        EXPECT_EQ(f.address, c.address);
        EXPECT_EQ(f.quantity, c.quantity);
        EXPECT_EQ(f.values, c.values);
        EXPECT_EQ(f.exception, c.exception);
    }
}

TEST(FrameDecoder, TransactionIdsAndSecondaryFields)
{
    DecodedFrame f = monitor::DecodeFrame(Record(Tcp, Rx, Mbap(0x1234, "17 0003 0006 000E 0003 06 00FF 00FF 00FF")));
    EXPECT_EQ(f.transactionId, 0x1234);
    EXPECT_EQ(f.writeAddress, 14u);
    EXPECT_EQ(f.writeQuantity, 3u);
    f = monitor::DecodeFrame(Record(Tcp, Rx, Mbap(1, "08 0004 0000")));
    EXPECT_EQ(f.subFunction, 4);
    f = monitor::DecodeFrame(Record(Tcp, Tx, Mbap(1, "2B 0E 01 01 00 00 02 00 03 4B6576 01 02 4A32")));
    EXPECT_EQ(f.subFunction, 14);
    EXPECT_EQ(f.detail, "00=Kev; 01=J2");
    f = monitor::DecodeFrame(Record(Serial, Rx, Bytes("11 03 006B 0003 7687")));
    EXPECT_EQ(f.transactionId, -1);
}

TEST(FrameDecoder, KeptBytesShorterThanTheFrameSayWhy)
{
    FrameRecord r = Record(Tcp, Rx, Mbap(1, "03 0000 0001"));
    r.size = 900;
    const DecodedFrame f = monitor::DecodeFrame(r);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error, "only the first 12 of 900 bytes kept");
}

// ---- pairing --------------------------------------------------------------------------------

FrameRecord At(FrameRecord r, std::int64_t us, std::uint64_t stream = 1)
{
    r.monotonicUs = us;
    r.source.stream = stream;
    return r;
}

TEST(FramePairing, TcpAnswersPairByTransactionIdWithinTheirStream)
{
    monitor::FrameDecoder d;
    d.Decode(At(Record(Tcp, Rx, Mbap(1, "03 0010 0002")), 1000));
    d.Decode(At(Record(Tcp, Rx, Mbap(2, "01 0020 0003")), 1100));
    d.Decode(At(Record(Tcp, Rx, Mbap(1, "04 0000 0001")), 1200, 2));  // the same id on another connection
    const DecodedFrame coils = d.Decode(At(Record(Tcp, Tx, Mbap(2, "01 01 05")), 1500));
    const DecodedFrame regs = d.Decode(At(Record(Tcp, Tx, Mbap(1, "03 04 0001 0002")), 1700));
    const DecodedFrame other = d.Decode(At(Record(Tcp, Tx, Mbap(1, "04 02 0009")), 1750, 2));
    EXPECT_EQ(coils.rttUs, 400);
    EXPECT_EQ(coils.address, 0x20u);
    EXPECT_EQ(coils.quantity, 3u);
    EXPECT_EQ(coils.values, (std::vector<std::uint16_t>{1, 0, 1}));  // padding bits left out
    EXPECT_EQ(regs.rttUs, 700);
    EXPECT_EQ(regs.address, 0x10u);
    EXPECT_EQ(other.rttUs, 550);
    EXPECT_EQ(d.Pending(), 0u);
    // An answer nobody asked for, or asked again, has no round trip.
    EXPECT_FALSE(d.Decode(At(Record(Tcp, Tx, Mbap(1, "03 02 0001")), 1800)).rttUs);
}

TEST(FramePairing, SerialAnswersPairWithTheLastRequestOfTheirPort)
{
    monitor::FrameDecoder d;
    FrameRecord first = Record(Serial, Rx, Bytes("11 03 006B 0003 7687"));
    first.monotonicUs = 100;
    d.Decode(first);  // never answered
    FrameRecord second = first;
    second.monotonicUs = 5000;
    d.Decode(second);
    FrameRecord otherPort = first;
    otherPort.source.link.port = 2;
    otherPort.monotonicUs = 5100;
    d.Decode(otherPort);
    FrameRecord answer = Record(Serial, Tx, Bytes("11 03 06 AE41 5652 4340 49AD"));
    answer.monotonicUs = 5300;
    const DecodedFrame f = d.Decode(answer);
    EXPECT_EQ(f.rttUs, 300);
    EXPECT_EQ(f.address, 107u);
    // An exception answers its request too, and tells which points the request asked for.
    FrameRecord exception = Record(Serial, Tx, Bytes("11 83 02 C134"));
    exception.source.link.port = 2;
    exception.monotonicUs = 5400;
    const DecodedFrame e = d.Decode(exception);
    EXPECT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.rttUs, 300);
    EXPECT_EQ(e.address, 107u);
    EXPECT_EQ(e.quantity, 3u);
    EXPECT_EQ(e.exception, 2);
}

TEST(FramePairing, AnAnswerWithheldByAFaultPairsWithItsRequest)
{
    struct Case { LinkId::Kind kind; std::vector<std::uint8_t> request; pomrel::Withheld withheld; const char* error; };
    const Case cases[] = {
        {Tcp, Mbap(9, "03 0010 0002"), pomrel::Withheld::NoReply, "no reply"},
        {Tcp, Mbap(9, "03 0010 0002"), pomrel::Withheld::Closed, "closed"},
        {LinkId::Kind::Udp, Mbap(9, "03 0010 0002"), pomrel::Withheld::NoReply, "no reply"},
        {LinkId::Kind::RtuOverTcp, Bytes("01 03 0010 0002 C5CE"), pomrel::Withheld::Closed, "closed"},
        {Serial, Bytes("01 03 0010 0002 C5CE"), pomrel::Withheld::NoReply, "no reply"},
    };
    for (const Case& c : cases) {
        monitor::FrameDecoder d;
        d.Decode(At(Record(c.kind, Rx, c.request), 1000));
        FrameRecord withheld = At(Record(c.kind, Tx, {}), 1250);
        withheld.withheld = c.withheld;
        withheld.fault = "gone";
        const DecodedFrame f = d.Decode(withheld);
        EXPECT_FALSE(f.ok);
        EXPECT_FALSE(f.request);
        EXPECT_EQ(f.error, c.error);
        EXPECT_EQ(f.unit, 1);
        EXPECT_EQ(f.function, 3);
        EXPECT_EQ(f.address, 0x10u);
        EXPECT_EQ(f.quantity, 2u);
        EXPECT_EQ(f.rttUs, 250) << c.error;
        EXPECT_EQ(d.Pending(), 0u);  // the request's fate is known
        // Another connection's request is not its request.
        monitor::FrameDecoder other;
        other.Decode(At(Record(c.kind, Rx, c.request), 1000, 5));
        FrameRecord elsewhere = withheld;
        elsewhere.source.link.port = 9;
        elsewhere.source.link.endpoint = 4;
        elsewhere.source.stream = 6;
        const DecodedFrame g = other.Decode(elsewhere);
        EXPECT_EQ(g.error, c.error);
        EXPECT_FALSE(g.rttUs);
        EXPECT_EQ(g.function, -1);
    }
}

TEST(FramePairing, AnAnswerSentInTwoPartsDecodesWhenWhole)
{
    // A connection reads the parts as one answer; each part is recorded when it left.
    struct Case { LinkId::Kind kind; std::vector<std::uint8_t> request, answer; };
    const Case cases[] = {
        {Tcp, Mbap(4, "03 0010 0002"), Mbap(4, "03 04 0001 0002")},
        {LinkId::Kind::Tls, Mbap(4, "03 0010 0002"), Mbap(4, "03 04 0001 0002")},
        {LinkId::Kind::RtuOverTcp, Bytes("01 03 0010 0002 C5CE"), Bytes("01 03 04 0001 0002 2A32")},
    };
    for (const Case& c : cases) {
        monitor::FrameDecoder d;
        d.Decode(At(Record(c.kind, Rx, c.request), 1000));
        const std::size_t half = c.answer.size() / 2;
        const auto middle = c.answer.begin() + static_cast<std::ptrdiff_t>(half);
        FrameRecord first = At(Record(c.kind, Tx, {c.answer.begin(), middle}), 1100);
        FrameRecord second = At(Record(c.kind, Tx, {middle, c.answer.end()}), 301100);
        first.fault = second.fault = "split";
        const DecodedFrame a = d.Decode(first);
        EXPECT_FALSE(a.ok);
        EXPECT_FALSE(a.rttUs);
        const DecodedFrame b = d.Decode(second);
        EXPECT_TRUE(b.ok) << b.error;
        EXPECT_EQ(b.rttUs, 300100);
        EXPECT_EQ(b.address, 0x10u);
        EXPECT_EQ(b.values, (std::vector<std::uint16_t>{1, 2}));
        EXPECT_EQ(d.Pending(), 0u);
    }
    // Datagrams are read one by one: each part stays what the master got, a broken answer.
    monitor::FrameDecoder d;
    d.Decode(At(Record(LinkId::Kind::Udp, Rx, Mbap(4, "03 0010 0002")), 1000, 0));
    const auto answer = Mbap(4, "03 04 0001 0002");
    FrameRecord first = At(Record(LinkId::Kind::Udp, Tx, {answer.begin(), answer.begin() + 6}), 1100, 0);
    FrameRecord second = At(Record(LinkId::Kind::Udp, Tx, {answer.begin() + 6, answer.end()}), 2100, 0);
    first.fault = second.fault = "split";
    EXPECT_FALSE(d.Decode(first).ok);
    EXPECT_FALSE(d.Decode(second).ok);
}

TEST(FramePairing, UdpPairsByPeerAndTransactionId)
{
    monitor::FrameDecoder d;
    FrameRecord a = Record(LinkId::Kind::Udp, Rx, Mbap(5, "03 0000 0001"));
    a.source.peer = {4, {127, 0, 0, 1}, 40000};
    a.monotonicUs = 10;
    FrameRecord b = a;
    b.source.peer.port = 40001;
    b.monotonicUs = 20;
    d.Decode(a);
    d.Decode(b);
    FrameRecord answerB = Record(LinkId::Kind::Udp, Tx, Mbap(5, "03 02 0007"));
    answerB.source.peer = b.source.peer;
    answerB.monotonicUs = 50;
    EXPECT_EQ(d.Decode(answerB).rttUs, 30);
    EXPECT_EQ(d.Pending(), 1u);
}

TEST(FramePairing, UnansweredRequestsAreForgottenOldestFirst)
{
    monitor::FrameDecoder d;
    const std::size_t n = monitor::FrameDecoder::kMaxPending + 10;
    for (std::size_t i = 0; i < n; ++i)
        d.Decode(At(Record(Tcp, Rx, Mbap(static_cast<int>(i), "03 0000 0001")), static_cast<std::int64_t>(i)));
    EXPECT_EQ(d.Pending(), monitor::FrameDecoder::kMaxPending);
    EXPECT_FALSE(d.Decode(At(Record(Tcp, Tx, Mbap(0, "03 02 0001")), 99999)).rttUs);  // forgotten
    EXPECT_TRUE(d.Decode(At(Record(Tcp, Tx, Mbap(static_cast<int>(n - 1), "03 02 0001")), 99999)).rttUs);
    // Answered requests leave nothing behind, however many.
    monitor::FrameDecoder steady;
    for (int i = 0; i < 100000; ++i) {
        steady.Decode(At(Record(Tcp, Rx, Mbap(i & 0xFFFF, "03 0000 0001")), i));
        steady.Decode(At(Record(Tcp, Tx, Mbap(i & 0xFFFF, "03 02 0001")), i));
    }
    EXPECT_EQ(steady.Pending(), 0u);
}

// ---- texts ----------------------------------------------------------------------------------

TEST(FrameTexts, LinkPeerAndFunctionNames)
{
    struct { LinkId link; const char* name; } links[] = {
        {{LinkId::Kind::Tcp, 0, 0}, "tcp"},
        {{LinkId::Kind::Tcp, 0, 2}, "tcp:2"},
        {{LinkId::Kind::Serial, 3, 0}, "serial:3"},
        {{LinkId::Kind::Udp, 0, 0}, "udp"},
        {{LinkId::Kind::RtuOverTcp, 0, 1}, "rtu-over-tcp:1"},
        {{LinkId::Kind::Tls, 0, 0}, "tls"},
    };
    for (const auto& l : links)
        EXPECT_EQ(monitor::LinkName(l.link), l.name);

    struct { pomrel::NetAddress a; const char* text; } peers[] = {
        {{4, {192, 168, 1, 20}, 502}, "192.168.1.20:502"},
        {{6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 1}, 1502}, "10.0.0.1:1502"},
        {{6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 80}, "[::1]:80"},
        {{6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, 9}, "[2001:db8::1:0:0:1]:9"},
        {{6, {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1}, 9}, "[2001:db8:1:0:1:1:1:1]:9"},
        {{0, {}, 0}, ""},
    };
    for (const auto& p : peers)
        EXPECT_EQ(monitor::PeerText(p.a), p.text);

    EXPECT_EQ(monitor::FunctionName(3), "Read Holding Registers");
    EXPECT_EQ(monitor::FunctionName(43), "Read Device Identification");
    EXPECT_EQ(monitor::FunctionName(99), "Function 99");
    EXPECT_EQ(monitor::HexText({0x00, 0xAB, 0x7f}), "00ab7f");
}

} // namespace
