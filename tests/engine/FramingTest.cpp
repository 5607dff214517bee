// Byte-exact framing fixtures. Expected frames come from published examples (the Modbus serial
// line guide's "11 03 00 6B 00 03 76 87" / ":1103006B00037E", the widely quoted
// "01 03 00 00 00 0A C5 CD") and from pymodbus's computeCRC / computeLRC, never from our encoder.
// Every decoder case is fed whole, in 3-byte pieces and byte by byte, and must decode the same.
#include "engine/Framing.h"
#include "tests/engine/HexBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pomrel {
namespace {

using test::Hex;
using test::ToHex;

std::vector<std::uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

// "F unit|pdu" for a frame, "D! n" for n bytes discarded as a damaged message, "D n" for noise.
template <class Decoder>
std::vector<std::string> Decode(const std::vector<std::uint8_t>& input, std::size_t piece, bool silenceAtEnd, bool enron = false)
{
    Decoder decoder;
    if constexpr (requires { decoder.SetEnron(true); })
        decoder.SetEnron(enron);
    std::vector<std::string> events;
    auto drain = [&] {
        for (FrameEvent e = decoder.Next(); e.kind != FrameEvent::Kind::None; e = decoder.Next()) {
            if (e.kind == FrameEvent::Kind::Frame)
                events.push_back("F " + ToHex(&e.unit, 1) + "|" + ToHex(e.pdu, e.pduSize));
            else
                events.push_back(std::string(e.badCheck ? "D! " : "D ") + std::to_string(e.rawSize));
        }
    };
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t n = std::min(piece, input.size() - at);
        std::size_t taken = 0;
        while (taken < n) {
            taken += decoder.Feed(input.data() + at + taken, n - taken);
            drain();
        }
        at += n;
    }
    if (silenceAtEnd) {
        decoder.Silence();
        drain();
    }
    return events;
}

struct DecodeCase {
    const char* name;
    std::vector<std::uint8_t> input;
    bool silence;
    std::vector<std::string> expected;
    bool enron = false;
};

void ExpectAllFeedings(const DecodeCase& c, auto decode)
{
    for (std::size_t piece : {c.input.size() + 1, std::size_t{3}, std::size_t{1}}) {
        SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
        EXPECT_EQ(decode(c.input, piece), c.expected);
    }
}

TEST(RtuDecoder, Fixtures)
{
    auto cat = [](std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const auto read10 = Hex("01 03 00 00 00 0a c5 cd");
    const auto guide = Hex("11 03 00 6b 00 03 76 87");
    auto overLong = Hex("17 17 ff ff ff ff ff ff ff ff ff");
    overLong.resize(overLong.size() + 255, 0xff);
    overLong = cat(overLong, Hex("21 af"));
    const std::vector<DecodeCase> cases = {
        {"published read request", read10, false, {"F 01|03 00 00 00 0a"}},
        {"serial line guide example", guide, false, {"F 11|03 00 6b 00 03"}},
        {"two frames glued", cat(read10, guide), false, {"F 01|03 00 00 00 0a", "F 11|03 00 6b 00 03"}},
        {"write multiple, length from byte count", Hex("01 10 00 01 00 02 04 00 07 00 08 82 64"), false,
         {"F 01|10 00 01 00 02 04 00 07 00 08"}},
        {"report slave id, 4 bytes", Hex("01 11 c0 2c"), false, {"F 01|11"}},
        {"garbage before a frame", cat(Hex("ff ff"), read10), false, {"D! 2", "F 01|03 00 00 00 0a"}},
        {"bad CRC, then silence", Hex("01 03 00 00 00 0a c5 ce"), true, {"D! 8"}},
        {"bad CRC, then a good frame", cat(Hex("01 03 00 00 00 0a c5 ce"), guide), false,
         {"D! 8", "F 11|03 00 6b 00 03"}},
        {"truncated frame dropped at silence", Hex("01 03 00 00"), true, {"D! 4"}},
        {"unknown function framed by silence", Hex("01 41 0e 01 00 6d af"), true, {"F 01|41 0e 01 00"}},
        {"unknown function waits for silence", Hex("01 41 0e 01 00 6d af"), false, {}},
        {"broadcast keeps unit 0", Hex("00 06 00 03 04 d2 fa 86"), false, {"F 00|06 00 03 04 d2"}},
        {"ENRON 32-bit write", Hex("01 06 13 88 00 01 86 a0 36 a3"), false, {"F 01|06 13 88 00 01 86 a0"}, true},
        {"16-bit write with the ENRON rules", Hex("01 06 00 03 04 d2 fb 57"), false, {"F 01|06 00 03 04 d2"}, true},
        {"ENRON write without the rules is no 8-byte frame", Hex("01 06 13 88 00 01 86 a0 36 a3"), false, {}},
        {"... until silence frames it", Hex("01 06 13 88 00 01 86 a0 36 a3"), true, {"F 01|06 13 88 00 01 86 a0"}},
        // Function 23 with byte count 255 and a good CRC: 268 bytes, more than an RTU frame holds.
        {"over 256 bytes by its byte count", overLong, true, {"D! 268"}},
    };
    for (const DecodeCase& c : cases)
        ExpectAllFeedings(c, [&](const auto& input, std::size_t piece) {
            return Decode<RtuDecoder>(input, piece, c.silence, c.enron);
        });
}

// The request sizes the decoder knows must match the functions the handler serves: a function
// it does not know waits for silence, and a burst of such requests runs together.
TEST(RtuDecoder, EveryServedFunctionIsFramedWithoutSilence)
{
    const std::vector<DecodeCase> cases = {
        {"read coils", Hex("01 01 00 13 00 25 0c 14"), false, {"F 01|01 00 13 00 25"}},
        {"read discrete inputs", Hex("01 02 00 c4 00 16 b8 39"), false, {"F 01|02 00 c4 00 16"}},
        {"read input registers", Hex("01 04 00 08 00 01 b0 08"), false, {"F 01|04 00 08 00 01"}},
        {"write single coil", Hex("01 05 00 ac ff 00 4c 1b"), false, {"F 01|05 00 ac ff 00"}},
        {"diagnostics", Hex("01 08 00 00 a5 37 da 8d"), false, {"F 01|08 00 00 a5 37"}},
        {"write multiple coils", Hex("01 0f 00 13 00 0a 02 cd 01 72 cb"), false, {"F 01|0f 00 13 00 0a 02 cd 01"}},
        {"mask write register", Hex("01 16 00 04 00 f2 00 25 67 ee"), false, {"F 01|16 00 04 00 f2 00 25"}},
        {"read/write registers", Hex("01 17 00 03 00 06 00 0e 00 03 06 00 ff 00 ff 00 ff 46 91"), false,
         {"F 01|17 00 03 00 06 00 0e 00 03 06 00 ff 00 ff 00 ff"}},
        {"read exception status", Hex("01 07 41 e2"), false, {"F 01|07"}},
        {"diagnostics: a counter", Hex("01 08 00 0b 00 00 91 c9"), false, {"F 01|08 00 0b 00 00"}},
        {"comm event counter", Hex("01 0b 41 e7"), false, {"F 01|0b"}},
        {"comm event log", Hex("01 0c 00 25"), false, {"F 01|0c"}},
        {"read FIFO queue", Hex("01 18 00 63 c1 f6"), false, {"F 01|18 00 63"}},
        {"read device identification", Hex("01 2b 0e 01 00 70 77"), false, {"F 01|2b 0e 01 00"}},
        {"the short ones back to back",
         Hex("01 07 41 e2  01 0b 41 e7  01 0c 00 25  01 18 00 63 c1 f6  02 2b 0e 04 80 36 87  01 07 41 e2"), false,
         {"F 01|07", "F 01|0b", "F 01|0c", "F 01|18 00 63", "F 02|2b 0e 04 80", "F 01|07"}},
        {"an echo of three data bytes waits for silence", Hex("01 08 00 00 12 34 56 3c 73"), false, {}},
        {"... which frames it", Hex("01 08 00 00 12 34 56 3c 73"), true, {"F 01|08 00 00 12 34 56"}},
        // Back to back, each frame's length must come from its content: a wrong one would run
        // into the next request and lose it.
        {"mask write, read/write and mask write back to back",
         Hex("01 16 00 04 00 f2 00 25 67 ee  01 17 00 03 00 06 00 0e 00 03 06 00 ff 00 ff 00 ff 46 91"
             "01 16 00 04 00 f2 00 25 67 ee"),
         false,
         {"F 01|16 00 04 00 f2 00 25", "F 01|17 00 03 00 06 00 0e 00 03 06 00 ff 00 ff 00 ff",
          "F 01|16 00 04 00 f2 00 25"}},
    };
    for (const DecodeCase& c : cases)
        ExpectAllFeedings(c, [&](const auto& input, std::size_t piece) {
            return Decode<RtuDecoder>(input, piece, c.silence, c.enron);
        });
}

TEST(RtuDecoder, EndlessNoiseStaysBoundedAndRecovers)
{
    RtuDecoder decoder;
    std::vector<std::uint8_t> noise(5000, 0xff);
    std::size_t discarded = 0;
    for (std::size_t at = 0; at < noise.size();) {
        at += decoder.Feed(noise.data() + at, noise.size() - at);
        for (FrameEvent e = decoder.Next(); e.kind != FrameEvent::Kind::None; e = decoder.Next())
            discarded += e.rawSize;
        ASSERT_LE(decoder.Buffered(), 600u);
    }
    const auto frame = Hex("01 03 00 00 00 0a c5 cd");
    decoder.Silence();
    for (FrameEvent e = decoder.Next(); e.kind != FrameEvent::Kind::None; e = decoder.Next())
        discarded += e.rawSize;
    EXPECT_EQ(discarded, noise.size());
    decoder.Feed(frame.data(), frame.size());
    EXPECT_EQ(decoder.Next().kind, FrameEvent::Kind::Frame);
}

TEST(AsciiDecoder, Fixtures)
{
    // Unit 01, function 41 and n zero bytes: LRC BE whatever n. 253 bytes of PDU fit a frame's
    // 513 characters, 254 do not.
    auto zeros = [](std::size_t n) { return Text(":0141" + std::string(2 * n, '0') + "BE\r\n"); };
    const std::string largest = "F 01|41" + [] {
        std::string s;
        for (int i = 0; i < 252; ++i)
            s += " 00";
        return s;
    }();
    const std::vector<DecodeCase> cases = {
        {"the largest frame, 513 characters", zeros(252), false, {largest}},
        {"one byte more is no frame", zeros(253), false, {"D! 515"}},
        {"serial line guide example", Text(":1103006B00037E\r\n"), false, {"F 11|03 00 6b 00 03"}},
        {"lower-case hex", Text(":1103006b00037e\r\n"), false, {"F 11|03 00 6b 00 03"}},
        {"a to f in upper case", Text(":FA03BCDE006FFA\r\n"), false, {"F fa|03 bc de 00 6f"}},
        {"a to f in lower case: address, data and LRC", Text(":fa03bcde006ffa\r\n"), false, {"F fa|03 bc de 00 6f"}},
        {"two frames glued", Text(":01030000000AF2\r\n:1103006B00037E\r\n"), false,
         {"F 01|03 00 00 00 0a", "F 11|03 00 6b 00 03"}},
        {"noise before the colon", Text("xx\r\n:01030000000AF2\r\n"), false, {"D 4", "F 01|03 00 00 00 0a"}},
        {"bad LRC", Text(":01030000000AF3\r\n"), false, {"D! 17"}},
        {"not hex", Text(":01030000000GF2\r\n"), false, {"D! 17"}},
        {"odd digit count", Text(":01030000000AF\r\n"), false, {"D! 16"}},
        {"LF without CR", Text(":01030000000AF2\n"), false, {"D! 16"}},
        {"a colon restarts the frame", Text(":0103:1103006B00037E\r\n"), false, {"D! 5", "F 11|03 00 6b 00 03"}},
        {"partial frame abandoned after the timeout", Text(":010300"), true, {"D! 7"}},
        {"partial frame kept without timeout", Text(":010300"), false, {}},
        {"ENRON 32-bit write", Text(":01061388000186A037\r\n"), false, {"F 01|06 13 88 00 01 86 a0"}},
        {"read device identification", Text(":012B0E0100C5\r\n"), false, {"F 01|2b 0e 01 00"}},
        {"read FIFO queue", Text(":0118006384\r\n"), false, {"F 01|18 00 63"}},
    };
    for (const DecodeCase& c : cases)
        ExpectAllFeedings(c, [&](const auto& input, std::size_t piece) {
            return Decode<AsciiDecoder>(input, piece, c.silence);
        });
}

TEST(AsciiDecoder, OverlongFrameIsDroppedNotStored)
{
    AsciiDecoder decoder;
    std::vector<std::uint8_t> input = Text(":");
    input.resize(4000, 'A');
    std::size_t discarded = 0;
    for (std::size_t at = 0; at < input.size();) {
        at += decoder.Feed(input.data() + at, input.size() - at);
        for (FrameEvent e = decoder.Next(); e.kind != FrameEvent::Kind::None; e = decoder.Next()) {
            EXPECT_EQ(e.kind, FrameEvent::Kind::Discard);
            discarded += e.rawSize;
        }
    }
    EXPECT_GT(discarded, 3000u);
    EXPECT_LE(decoder.Buffered(), AsciiDecoder::kMaxChars);
}

TEST(Mbap, Scan)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        MbapScan scan;
        std::size_t size;
    };
    const std::vector<Case> cases = {
        {"read request", Hex("00 01 00 00 00 06 01 03 00 00 00 0a"), MbapScan::Complete, 12},
        {"request and a half", Hex("00 01 00 00 00 06 01 03 00 00 00 0a 00 02 00"), MbapScan::Complete, 12},
        {"header only", Hex("00 01 00 00 00 06 01"), MbapScan::Incomplete, 0},
        {"three bytes", Hex("00 01 00"), MbapScan::Incomplete, 0},
        {"protocol id 1", Hex("00 01 00 01 00 06 01 03 00 00 00 0a"), MbapScan::Malformed, 0},
        {"protocol id seen early", Hex("00 01 12 34"), MbapScan::Malformed, 0},
        {"length 1", Hex("00 01 00 00 00 01 01"), MbapScan::Malformed, 0},
        {"length 255", Hex("00 01 00 00 00 ff 01"), MbapScan::Malformed, 0},
        {"length 254 incomplete", Hex("00 01 00 00 00 fe 01"), MbapScan::Incomplete, 0},
        {"shortest (unit and function)", Hex("12 34 00 00 00 02 ff 11"), MbapScan::Complete, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t size = 0;
        EXPECT_EQ(ScanMbap(c.bytes.data(), c.bytes.size(), size), c.scan);
        if (c.scan == MbapScan::Complete) {
            EXPECT_EQ(size, c.size);
        }
    }
}

TEST(Encoders, MatchPublishedFrames)
{
    struct Case {
        std::uint8_t unit;
        std::vector<std::uint8_t> pdu;
        std::vector<std::uint8_t> rtu;
        std::string ascii;
    };
    const std::vector<Case> cases = {
        {0x01, Hex("03 00 00 00 0a"), Hex("01 03 00 00 00 0a c5 cd"), ":01030000000AF2\r\n"},
        {0x11, Hex("03 00 6b 00 03"), Hex("11 03 00 6b 00 03 76 87"), ":1103006B00037E\r\n"},
        {0x01, Hex("83 02"), Hex("01 83 02 c0 f1"), ":0183027A\r\n"},
        {0x01, Hex("03 04 00 00 00 0a"), Hex("01 03 04 00 00 00 0a 7a 34"), ":0103040000000AEE\r\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(2 * c.pdu.size() + 8);
        out.resize(EncodeRtu(c.unit, c.pdu.data(), c.pdu.size(), out.data()));
        EXPECT_EQ(out, c.rtu);
        out.assign(2 * c.pdu.size() + 8, 0);
        out.resize(EncodeAscii(c.unit, c.pdu.data(), c.pdu.size(), out.data()));
        EXPECT_EQ(std::string(out.begin(), out.end()), c.ascii);
    }
    std::uint8_t header[kMbapHeader];
    PutMbapHeader(header, 0x1234, 0x11, 5);
    EXPECT_EQ(std::vector<std::uint8_t>(header, header + kMbapHeader), Hex("12 34 00 00 00 06 11"));
}

} // namespace
} // namespace pomrel
