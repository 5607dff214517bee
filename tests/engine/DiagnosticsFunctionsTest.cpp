// The functions a master uses to identify and diagnose a device: Read Device Identification
// (43/14), Read Exception Status (7), Diagnostics (8), the communication event counter and log
// (11, 12), and the link's listen-only mode; refused writes on a read-only link. Tables of request
// -> answer PDUs through AnswerFrom, walked in order where the link's state carries over; the
// answers are worked out by hand from the Modbus application protocol.
#include "engine/ProtocolEngine.h"
#include "engine/RequestAnswer.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestIo.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace pomrel {
namespace {

using test::Hex;
using test::ToHex;

// One identification object as it goes on the wire: id | length | text.
std::string Object(std::uint8_t id, const std::string& text)
{
    std::vector<std::uint8_t> bytes = {id, static_cast<std::uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return " " + ToHex(bytes.data(), bytes.size());
}

struct Step {
    const char* name;
    Addressing addressing;
    const char* request;
    std::string response;  // "" = no answer
};

// Device 1: holding registers 1..40 and a long identity (regular and extended objects); device 2:
// holding 101..105, the default identity; device 4: registers but switched off, an identity;
// device 9: an identity and nothing else.
class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (std::size_t i = 0; i < holding.size(); ++i)
            holding[i].store(static_cast<std::uint16_t>(0x0100 + i));
        ASSERT_NE(table.Define(1, 3, 1, 40, holding.data(), nullptr), kNoHandle);
        ASSERT_NE(table.Define(2, 3, 101, 5, holding.data(), nullptr), kNoHandle);
        ASSERT_NE(table.Define(4, 3, 1, 5, holding.data(), nullptr), kNoHandle);
        table.SetDeviceActive(4, false);
        identities.Set(1, {{0x00, "Orvane"}, {0x01, "PX-7"}, {0x02, "2.1"}, {0x03, "http://orvane.example"},
                           {0x04, "Pump"}, {0x05, "PX-7a"}, {0x06, "Station 4"}, {0x80, std::string(120, 'x')},
                           {0x81, std::string(120, 'y')}, {0x82, "end"}});
        identities.Set(4, {{0x00, "Off"}});
        identities.Set(9, {{0x04, "Gateway"}});
        diagnostics.checkErrors = &checkErrors;
    }

    std::string Ask(Addressing addressing, const std::string& request)
    {
        const auto pdu = Hex(request);
        std::array<std::uint8_t, kMaxPdu> response{};
        std::lock_guard lock(table.Mutex());
        const AnswerSources sources{table, faults.get(), &identities};
        const Answer a = AnswerFrom(sources, link, addressing, {}, pdu.data(), pdu.size(), response.data());
        EXPECT_LE(a.pduSize, kMaxPdu);
        return ToHex(response.data(), a.pduSize);
    }

    void Walk(const std::vector<Step>& steps)
    {
        for (const Step& s : steps) {
            SCOPED_TRACE(s.name);
            EXPECT_EQ(Ask(s.addressing, s.request), s.response);
        }
    }

    static Addressing Dev(std::uint8_t unit) { return Addressing::Serial(unit); }

    std::array<RegisterWord, 1000> holding{};
    BlockTable table;
    DeviceIdentities identities;
    std::atomic<std::uint32_t> checkErrors{0};
    LinkDiagnostics diagnostics;
    RequestLink link{LinkId{LinkId::Kind::Serial, 1, 0}, &diagnostics, false};
    std::shared_ptr<const FaultSet> faults;
};

const std::string kBasic = Object(0x00, "Orvane") + Object(0x01, "PX-7") + Object(0x02, "2.1");
const std::string kRegular = kBasic + Object(0x03, "http://orvane.example") + Object(0x04, "Pump") +
                             Object(0x05, "PX-7a") + Object(0x06, "Station 4");

TEST_F(DiagnosticsTest, DeviceIdentificationStreamsContinueWhereTheAnswerWasFull)
{
    // 7 header bytes + 66 of regular objects + 122 for 0x80 leave no room for 0x81's 122.
    const std::string first = "2b 0e 03 83 ff 81 08" + kRegular + Object(0x80, std::string(120, 'x'));
    const std::string rest = "2b 0e 03 83 00 00 02" + Object(0x81, std::string(120, 'y')) + Object(0x82, "end");
    Walk({
        {"extended stream from 0: full, more follows from 0x81", Dev(1), "2b 0e 03 00", first},
        {"the next object id continues it", Dev(1), "2b 0e 03 81", rest},
        {"from the last object", Dev(1), "2b 0e 03 82", "2b 0e 03 83 00 00 01" + Object(0x82, "end")},
        {"an object the device lacks starts again at 0", Dev(1), "2b 0e 03 07", first},
        {"basic stream", Dev(1), "2b 0e 01 00", "2b 0e 01 83 00 00 03" + kBasic},
        {"basic stream from its last object", Dev(1), "2b 0e 01 02", "2b 0e 01 83 00 00 01" + Object(0x02, "2.1")},
        {"basic stream from a regular object starts at 0", Dev(1), "2b 0e 01 03", "2b 0e 01 83 00 00 03" + kBasic},
        {"regular stream holds the basic objects", Dev(1), "2b 0e 02 00", "2b 0e 02 83 00 00 07" + kRegular},
        {"regular stream from an extended object starts at 0", Dev(1), "2b 0e 02 80",
         "2b 0e 02 83 00 00 07" + kRegular},
        {"one object", Dev(1), "2b 0e 04 81", "2b 0e 04 83 00 00 01" + Object(0x81, std::string(120, 'y'))},
        {"one basic object", Dev(1), "2b 0e 04 01", "2b 0e 04 83 00 00 01" + Object(0x01, "PX-7")},
    });
}

TEST_F(DiagnosticsTest, DeviceIdentificationExceptionsAndWhoAnswers)
{
    const DeviceIdentities::Objects defaults = DeviceIdentities::Defaults();
    ASSERT_EQ(defaults.size(), 3u);
    const std::string standard = Object(0x00, "Kelvaro") + Object(0x01, "Kelvaro64") + Object(0x02, defaults.at(2));
    Walk({
        {"an object the device lacks, one at a time", Dev(1), "2b 0e 04 07", "ab 02"},
        {"an extended object it lacks", Dev(1), "2b 0e 04 83", "ab 02"},
        {"read code 0", Dev(1), "2b 0e 00 00", "ab 03"},
        {"read code 5", Dev(1), "2b 0e 05 00", "ab 03"},
        {"short", Dev(1), "2b 0e 01", "ab 03"},
        {"long", Dev(1), "2b 0e 01 00 00", "ab 03"},
        {"no MEI type", Dev(1), "2b", "ab 03"},
        {"another MEI type (CANopen)", Dev(1), "2b 0d 01 00", "ab 01"},
        {"a device without an identity has the default", Dev(2), "2b 0e 01 00", "2b 0e 01 81 00 00 03" + standard},
        {"... and answers a regular stream with what it has", Dev(2), "2b 0e 02 00",
         "2b 0e 02 81 00 00 03" + standard},
        {"an identity alone makes a device answer", Dev(9), "2b 0e 02 00",
         "2b 0e 02 82 00 00 04" + standard + Object(0x04, "Gateway")},
        {"... that function only", Dev(9), "03 00 00 00 01", ""},
        {"a switched-off device is silent", Dev(4), "2b 0e 01 00", ""},
        {"an unknown device is silent", Dev(5), "2b 0e 01 00", ""},
        {"a broadcast is not answered", Dev(0), "2b 0e 01 00", ""},
        {"TCP unit 0: the lowest device", Addressing::Tcp(0), "2b 0e 01 00", "2b 0e 01 83 00 00 03" + kBasic},
        {"TCP unit 255 likewise", Addressing::Tcp(255), "2b 0e 04 00", "2b 0e 04 83 00 00 01" + Object(0, "Orvane")},
    });
    table.SetDeviceActive(1, false);
    EXPECT_EQ(Ask(Addressing::Tcp(0), "2b 0e 01 00"), "2b 0e 01 81 00 00 03" + standard)
        << "device 2 (served, default identity) is below device 9 (identity alone)";
}

TEST_F(DiagnosticsTest, IdentityTextsAreCutToOneAnswerAndReservedIdsLeftOut)
{
    identities.Set(7, {{0x80, std::string(300, 'z')}, {0x10, "reserved"}, {0x02, "9.9"}});
    table.Define(7, 3, 1, 1, holding.data(), nullptr);
    const std::string cut = Ask(Dev(7), "2b 0e 04 80");
    EXPECT_EQ(cut, "2b 0e 04 83 00 00 01" + Object(0x80, std::string(DeviceIdentities::kMaxText, 'z')));
    EXPECT_EQ(Hex(cut).size(), kMaxPdu);
    EXPECT_EQ(Ask(Dev(7), "2b 0e 04 10"), "ab 02");
    EXPECT_EQ(Ask(Dev(7), "2b 0e 04 02"), "2b 0e 04 83 00 00 01" + Object(0x02, "9.9"));
    EXPECT_EQ(Ask(Dev(7), "2b 0e 04 00"), "2b 0e 04 83 00 00 01" + Object(0x00, "Kelvaro")) << "a missing basic object";
    identities.Clear();
    EXPECT_EQ(Ask(Dev(7), "2b 0e 04 80"), "ab 02");
    EXPECT_EQ(Ask(Dev(9), "2b 0e 01 00"), "");
}

// Serial: what the counters and the event log say after a known sequence. Event bytes: 80
// received, c0 received as a broadcast, 40 answered, 41 answered with exception 1-3.
TEST_F(DiagnosticsTest, CountersAndEventLogAfterAKnownSequence)
{
    checkErrors = 2;  // two damaged frames on the line
    Walk({
        {"a read", Dev(1), "03 00 00 00 01", "03 02 01 00"},
        {"a read of an address not held", Dev(1), "03 00 63 00 01", "83 02"},
        {"a request for another device", Dev(7), "03 00 00 00 01", ""},
        {"a broadcast write", Dev(0), "06 00 00 00 07", ""},
        {"event counter: the read and the broadcast", Dev(1), "0b", "0b 00 00 00 02"},
        // Status 0, events 2 (function 11 is not counted), messages 6 + 2 damaged, 7 events.
        {"event log, newest first", Dev(1), "0c", "0c 0d 00 00 00 02 00 08 40 80 c0 41 80 40 80"},
        {"bus messages: every request and damaged frame", Dev(1), "08 00 0b 00 00", "08 00 0b 00 09"},
        {"bus communication errors", Dev(1), "08 00 0c 00 00", "08 00 0c 00 02"},
        {"exception errors", Dev(1), "08 00 0d 00 00", "08 00 0d 00 01"},
        {"server messages: for us or broadcast", Dev(1), "08 00 0e 00 00", "08 00 0e 00 08"},
        {"no response: the broadcast", Dev(1), "08 00 0f 00 00", "08 00 0f 00 01"},
        {"NAKs", Dev(1), "08 00 10 00 00", "08 00 10 00 00"},
        {"busy", Dev(1), "08 00 11 00 00", "08 00 11 00 00"},
        {"character overruns", Dev(1), "08 00 12 00 00", "08 00 12 00 00"},
        {"diagnostic register", Dev(1), "08 00 02 00 00", "08 00 02 00 00"},
        {"event counter: the counters' answers too", Dev(1), "0b", "0b 00 00 00 0c"},
        {"clear counters", Dev(1), "08 00 0a 00 00", "08 00 0a 00 00"},
        {"server messages since", Dev(1), "08 00 0e 00 00", "08 00 0e 00 00"},
        {"bus messages since: damaged frames from before are gone", Dev(1), "08 00 0b 00 00", "08 00 0b 00 02"},
        {"event counter since", Dev(1), "0b", "0b 00 00 00 02"},
    });
    // The log keeps the newest 64 events: an exception read and 31 reads fill it exactly, the
    // exception read's "80 41" the oldest; the log read's own two events (the 65th and 66th) then
    // push those two out. Function 12 is counted once answered.
    std::vector<Step> fill = {{"a read of an address not held", Dev(1), "03 00 63 00 01", "83 02"}};
    std::string full = "0c 46 00 00 00 21 00 24", pushed = "0c 46 00 00 00 22 00 25 40 80";
    for (int i = 0; i < 31; ++i) {
        fill.push_back({"a read (of the broadcast's 7)", Dev(1), "03 00 00 00 01", "03 02 00 07"});
        full += " 40 80";
        pushed += " 40 80";
    }
    fill.push_back({"event log: 64 events, the oldest kept", Dev(1), "0c", full + " 41 80"});
    fill.push_back({"event log: the 65th and 66th push the oldest out", Dev(1), "0c", pushed});
    Walk(fill);
    checkErrors = 5;
    EXPECT_EQ(Ask(Dev(1), "08 00 0c 00 00"), "08 00 0c 00 03");
    checkErrors = 1;  // the connection's own counter was reset
    EXPECT_EQ(Ask(Dev(1), "08 00 0c 00 00"), "08 00 0c 00 01");
}

TEST_F(DiagnosticsTest, SerialLineFunctionsRefuseWhatTheyDoNotServe)
{
    Walk({
        {"exception status: no outputs kept", Dev(1), "07", "07 00"},
        {"exception status with data", Dev(1), "07 00", "87 03"},
        {"event counter with data", Dev(1), "0b 00", "8b 03"},
        {"event log with data", Dev(1), "0c 00", "8c 03"},
        {"return query data", Dev(1), "08 00 00 12 34 56", "08 00 00 12 34 56"},
        {"change ASCII delimiter is not served", Dev(1), "08 00 03 0a 00", "88 01"},
        {"clear overrun counter is not served", Dev(1), "08 00 14 00 00", "88 01"},
        {"sub-function 19", Dev(1), "08 00 13 00 00", "88 01"},
        {"no sub-function", Dev(1), "08 00", "88 03"},
        {"a counter with data", Dev(1), "08 00 0b 00 01", "88 03"},
        {"a counter without its data field", Dev(1), "08 00 0b 00", "88 03"},
        {"a counter with too much", Dev(1), "08 00 0b 00 00 00", "88 03"},
        {"clear with data", Dev(1), "08 00 0a 12 34", "88 03"},
        {"restart with data other than 0000 or ff00", Dev(1), "08 00 01 12 34", "88 03"},
        {"listen-only with data", Dev(1), "08 00 04 00 01", "88 03"},
        {"... was not entered", Dev(1), "03 00 00 00 01", "03 02 01 00"},
        {"an unknown device", Dev(7), "07", ""},
        {"a switched-off device", Dev(4), "08 00 00 12 34", ""},
        {"an identity alone is no device for these", Dev(9), "0b", ""},
        {"a broadcast", Dev(0), "0c", ""},
        {"TCP unit 0", Addressing::Tcp(0), "07", "07 00"},
        {"an unsupported function stays exception 1", Dev(1), "41", "c1 01"},
    });
}

// Event bytes: a0 received while listening only, 04 entered listen-only mode, 00 restart.
TEST_F(DiagnosticsTest, ListenOnlyAnswersNothingButCountsUntilARestart)
{
    Walk({
        {"force listen-only: no answer", Dev(1), "08 00 04 00 00", ""},
        {"a read", Dev(1), "03 00 00 00 01", ""},
        {"the event log", Dev(1), "0c", ""},
        {"listen-only again", Dev(1), "08 00 04 00 00", ""},
        {"a restart it cannot take", Dev(1), "08 00 01 12 34", ""},
        {"a restart for another device", Dev(7), "08 00 01 00 00", ""},
        {"a restart keeping the log (0000): still no answer", Dev(1), "08 00 01 00 00", ""},
        {"answering again", Dev(1), "03 00 00 00 01", "03 02 01 00"},
        {"the log kept: restart, five requests heard, listen-only entered", Dev(1), "0c",
         "0c 10 00 00 00 01 00 02 40 80 00 a0 a0 a0 a0 a0 04 80"},
        {"a restart that clears the log (ff00) is answered", Dev(1), "08 00 01 ff 00", "08 00 01 ff 00"},
        {"the log holds the restart alone", Dev(1), "0c", "0c 07 00 00 00 00 00 01 00"},
        {"a restart keeping the log (0000) is answered", Dev(1), "08 00 01 00 00", "08 00 01 00 00"},
        {"its request and answer stay in the log", Dev(1), "0c", "0c 0c 00 00 00 00 00 01 00 40 80 40 80 00"},
    });
    EXPECT_FALSE(diagnostics.listenOnly.load());
}

TEST_F(DiagnosticsTest, BroadcastDiagnosticsChangeTheLinkSilently)
{
    Walk({
        {"broadcast listen-only", Dev(0), "08 00 04 00 00", ""},
        {"device 1 is silent", Dev(1), "03 00 00 00 01", ""},
        {"broadcast restart", Dev(0), "08 00 01 00 00", ""},
        {"device 1 answers", Dev(1), "03 00 00 00 01", "03 02 01 00"},
        {"broadcast clear", Dev(0), "08 00 0a 00 00", ""},
        {"counters cleared", Dev(1), "08 00 0e 00 00", "08 00 0e 00 00"},
        {"a broadcast counter read does nothing", Dev(0), "08 00 0b 00 00", ""},
    });
}

TEST_F(DiagnosticsTest, ExceptionsFromFaultRulesAreCountedByKind)
{
    FaultRule nak;
    nak.functions = {3};
    nak.action = FaultAction::Exception;
    nak.exceptionCode = kNegativeAcknowledge;
    FaultRule busy = nak;
    busy.functions = {4};
    busy.exceptionCode = kServerDeviceBusy;
    FaultRule silent;
    silent.functions = {1};
    silent.action = FaultAction::NoReply;
    faults = std::make_shared<FaultSet>(std::vector<FaultRule>{nak, busy, silent}, FaultSet::Clock::now());
    // Event bytes: 48 answered with a NAK, 44 answered busy.
    Walk({
        {"NAK", Dev(1), "03 00 00 00 01", "83 07"},
        {"busy", Dev(1), "04 00 00 00 01", "84 06"},
        {"no reply", Dev(1), "01 00 00 00 01", ""},
        {"no reply for a device not here is not ours", Dev(7), "01 00 00 00 01", ""},
        {"exception errors", Dev(1), "08 00 0d 00 00", "08 00 0d 00 02"},
        {"NAKs", Dev(1), "08 00 10 00 00", "08 00 10 00 01"},
        {"busy", Dev(1), "08 00 11 00 00", "08 00 11 00 01"},
        {"no response", Dev(1), "08 00 0f 00 00", "08 00 0f 00 01"},
        {"event counter: only the counters' answers", Dev(1), "0b", "0b 00 00 00 04"},
    });
    const std::string log = Ask(Dev(1), "0c");
    EXPECT_EQ(log.substr(log.size() - 14), "80 44 80 48 80") << log;
}

TEST_F(DiagnosticsTest, AReadOnlyLinkRefusesEveryWrite)
{
    link.writesRefused = true;
    Walk({
        {"write coil", Dev(1), "05 00 00 ff 00", "85 01"},
        {"write register", Dev(1), "06 00 00 12 34", "86 01"},
        {"write coils", Dev(1), "0f 00 00 00 01 01 01", "8f 01"},
        {"write registers", Dev(1), "10 00 00 00 01 02 12 34", "90 01"},
        {"mask write", Dev(1), "16 00 00 00 f2 00 25", "96 01"},
        {"read/write", Dev(1), "17 00 00 00 01 00 00 00 01 02 12 34", "97 01"},
        {"a device not here stays silent", Dev(7), "06 00 00 12 34", ""},
        {"reads are served", Dev(1), "03 00 00 00 01", "03 02 01 00"},
        {"FIFO reads too", Dev(1), "18 00 00", "98 03"},
    });
    EXPECT_EQ(holding[0].load(), 0x0100);
    FaultRule gateway;
    gateway.functions = {6};
    gateway.action = FaultAction::Exception;
    gateway.exceptionCode = 0x0B;
    faults = std::make_shared<FaultSet>(std::vector<FaultRule>{gateway}, FaultSet::Clock::now());
    EXPECT_EQ(Ask(Dev(1), "06 00 00 12 34"), "86 0b") << "a fault rule decides first";
}

TEST(DescribeRequest, FunctionsWithoutPointsTouchNone)
{
    struct Case {
        const char* name;
        const char* pdu;
        int pointType;
        std::uint32_t first, last;
    };
    const std::vector<Case> cases = {
        {"FIFO: its pointer register", "18 00 63", 3, 100, 100},
        {"FIFO, short", "18 00", 0, 0, 0},
        {"device identification", "2b 0e 01 00", 0, 0, 0},
        {"a diagnostics counter", "08 00 0b 00 00", 0, 0, 0},
        {"exception status", "07", 0, 0, 0},
        {"event counter", "0b", 0, 0, 0},
        {"event log", "0c", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto pdu = Hex(c.pdu);
        const FaultRequest r = DescribeRequest(LinkId{}, 1, pdu.data(), pdu.size());
        EXPECT_EQ(r.function, pdu[0]);
        EXPECT_EQ(r.pointType, c.pointType);
        EXPECT_EQ(r.first, c.first);
        EXPECT_EQ(r.last, c.last);
    }
}

// Over a real serial link: damaged frames reach the communication error count, the engine's
// identity table answers, and Diagnostics reads the link's counters from another thread.
TEST(DiagnosticsEngine, SerialLinkCountsDamagedFramesAndServesTheIdentitySet)
{
    std::array<RegisterWord, 1000> holding{};
    ProtocolEngine engine;
    ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, holding.data()), kNoHandle);
    engine.SetDeviceIdentity(1, {{0x00, "Orvane"}, {0x80, "x"}});
    test::Pty pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    engine.SetPortPath(3, pty.SlavePath());
    PortSettings settings;
    settings.parity = 0;
    const Handle h = engine.OpenConnection(nullptr, 3, 1, 3, settings);
    ASSERT_NE(h, kNoHandle) << engine.LastOpenError();

    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 01 84 0b")));  // bad CRC (0a good)
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 01 84 0a")));
    EXPECT_EQ(ToHex(pty.Receive(7)), "01 03 02 00 00 b8 44");
    // 08 00 0c 00 00: one damaged frame.
    ASSERT_TRUE(pty.Send(Hex("01 08 00 0c 00 00 20 08")));
    EXPECT_EQ(ToHex(pty.Receive(8)), "01 08 00 0c 00 01 e1 c8");
    // 2b 0e 04 80: the identity set through the engine.
    ASSERT_TRUE(pty.Send(Hex("01 2b 0e 04 80 72 87")));
    EXPECT_EQ(ToHex(pty.Receive(13)), "01 2b 0e 04 83 00 00 01 80 01 78 8c 6a");
    // Listen-only, a read that goes unanswered, a restart: the next answer is the last read's.
    ASSERT_TRUE(pty.Send(Hex("01 08 00 04 00 00 a1 ca")));
    ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 01 84 0a")));
    ASSERT_TRUE(pty.Send(Hex("01 08 00 01 ff 00 f0 3b")));
    ASSERT_TRUE(pty.Send(Hex("01 03 00 01 00 01 d5 ca")));
    EXPECT_EQ(ToHex(pty.Receive(7)), "01 03 02 00 00 b8 44");

    const DiagnosticCounters counters = engine.Diagnostics(h);
    EXPECT_FALSE(counters.listenOnly);
    EXPECT_EQ(counters.busMessages, 1) << "the read after the restart";
    EXPECT_EQ(counters.slaveMessages, 1);
    EXPECT_EQ(counters.busCommErrors, 0);
    EXPECT_EQ(counters.events, 1);
    engine.CloseConnection(h);
}

// Diagnostics may be read from any thread while the link serves: every snapshot is a whole one
// (never fewer bus messages than server messages, nothing going backwards).
TEST(DiagnosticsEngine, CountersReadWhileServing)
{
    std::array<RegisterWord, 1000> holding{};
    ProtocolEngine engine;
    ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, holding.data()), kNoHandle);
    test::Pty pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    engine.SetPortPath(3, pty.SlavePath());
    PortSettings settings;
    settings.parity = 0;
    const Handle h = engine.OpenConnection(nullptr, 3, 1, 3, settings);
    ASSERT_NE(h, kNoHandle) << engine.LastOpenError();

    std::atomic<bool> stop{false};
    bool whole = true;
    std::thread reader([&] {
        DiagnosticCounters last;
        while (!stop.load()) {
            const DiagnosticCounters now = engine.Diagnostics(h);
            whole = whole && now.slaveMessages <= now.busMessages && now.busMessages >= last.busMessages &&
                    now.events >= last.events;
            last = now;
        }
    });
    constexpr int kRequests = 100;
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(pty.Send(Hex("01 03 00 00 00 01 84 0a")));
        ASSERT_EQ(pty.Receive(7).size(), 7u) << i;
    }
    stop = true;
    reader.join();
    EXPECT_TRUE(whole);
    const DiagnosticCounters counters = engine.Diagnostics(h);
    EXPECT_EQ(counters.busMessages, kRequests);
    EXPECT_EQ(counters.slaveMessages, kRequests);
    EXPECT_EQ(counters.events, kRequests);
    engine.CloseConnection(h);
}

} // namespace
} // namespace pomrel
