// The behaviour book on a real engine: a master's write over loopback Modbus/TCP is the input;
// reactions and scripts act on the behaviour side, with time from a clock of the test's own
// (the test calls Step where the behaviour thread would).
#include "behaviour/BehaviourBook.h"
#include "behaviour/DocumentPoints.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include "ScratchDir.h"
#include "TestIo.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <bit>
#include <fstream>
#include <thread>

using namespace behaviour;
using pomrel::test::TcpMaster;
using nlohmann::json;

namespace {

constexpr std::int64_t kMs = 1'000'000;

class ManualClock final : public RunnerClock {
public:
    std::int64_t SteadyNs() override { return now; }
    std::int64_t WallMs() override { return 1'700'000'000'000; }
    std::int64_t now = 5'000 * kMs;
};

std::vector<std::uint8_t> Be(std::initializer_list<int> words)
{
    std::vector<std::uint8_t> out;
    for (int w : words) {
        out.push_back(static_cast<std::uint8_t>(w >> 8));
        out.push_back(static_cast<std::uint8_t>(w));
    }
    return out;
}

// The size of a normal answer's PDU to a write request.
std::size_t AnswerSize(const std::vector<std::uint8_t>& pdu)
{
    switch (pdu[0]) {
    case 22: return 7;
    case 23: return 2 + 2 * static_cast<std::size_t>(pdu[3] << 8 | pdu[4]);
    default: return 5;
    }
}

struct Rig {
    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    pomrel::ProtocolEngine engine;
    DocumentPoints points{open};
    ManualClock clock;
    std::unique_ptr<BehaviourBook> book = std::make_unique<BehaviourBook>(engine, points, clock, BehaviourBook::Manual{});
    ScratchDir dir;
    std::uint16_t port = 0;
    std::unique_ptr<TcpMaster> master;
    std::uint16_t transaction = 0;

    pomrel::Handle server = pomrel::kNoHandle;

    Rig()
    {
        Add(1, 3, 1, 200);
        Add(1, 1, 1, 100);
        Add(1, 4, 1, 100);
        Add(1, 3, 7001, 10);   // 32-bit registers for a master that speaks ENRON
        engine.SetTCPServicePort(0);
        server = engine.OpenTCPConnection(nullptr, 0);
        port = engine.BoundTcpPort(server);
        master = std::make_unique<TcpMaster>(port);
    }
    ~Rig() { book.reset(); }

    CKelvaro32Doc& Add(int unit, int type, int start, int length)
    {
        auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open, "", nullptr});
        doc->deviceId = static_cast<std::uint8_t>(unit);
        doc->pointType = static_cast<std::uint8_t>(type);
        doc->startAddress = static_cast<std::uint16_t>(start);
        doc->length = static_cast<std::uint16_t>(length);
        engine.DefineDataBlock(unit, type, start, length, doc->memory.data(), &doc->valueLock);
        docs.push_back(std::move(doc));
        return *docs.back();
    }
    std::uint16_t Word(int type, int address) const
    {
        for (auto& d : docs)
            if (d->pointType == type && address >= d->startAddress && address < d->startAddress + d->length)
                return d->Word(address - d->startAddress);
        return 0xDEAD;
    }
    void SetWord(int type, int address, std::uint16_t v)
    {
        for (auto& d : docs)
            if (d->pointType == type && address >= d->startAddress && address < d->startAddress + d->length)
                d->SetWord(address - d->startAddress, v);
    }

    std::vector<std::uint8_t> Frame(std::uint8_t unit, const std::vector<std::uint8_t>& pdu)
    {
        ++transaction;
        std::vector<std::uint8_t> f = {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction),
                                       0, 0, static_cast<std::uint8_t>((pdu.size() + 1) >> 8),
                                       static_cast<std::uint8_t>(pdu.size() + 1), unit};
        f.insert(f.end(), pdu.begin(), pdu.end());
        return f;
    }
    /// One request answered (the answer is there when this returns).
    void Send(const std::vector<std::uint8_t>& pdu, std::uint8_t unit = 1)
    {
        ASSERT_TRUE(master->Send(Frame(unit, pdu)));
        const auto answer = master->Receive(7 + AnswerSize(pdu));
        ASSERT_EQ(answer.size(), 7 + AnswerSize(pdu));
        ASSERT_EQ(answer[7], pdu[0]) << "an exception answer";
    }
    void WriteRegister(int address, int value) { Send({6, static_cast<std::uint8_t>((address - 1) >> 8), static_cast<std::uint8_t>(address - 1), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)}); }
    void WriteRegisters(int address, std::initializer_list<int> values)
    {
        std::vector<std::uint8_t> pdu = {16};
        auto head = Be({address - 1, static_cast<int>(values.size())});
        pdu.insert(pdu.end(), head.begin(), head.end());
        pdu.push_back(static_cast<std::uint8_t>(values.size() * 2));
        auto body = Be(values);
        pdu.insert(pdu.end(), body.begin(), body.end());
        Send(pdu);
    }

    std::string WriteFile(const std::string& name, const std::string& text)
    {
        std::ofstream(dir.Path() + "/" + name) << text;
        return dir.Path() + "/" + name;
    }
    bool PutInForce(const std::string& extras, std::string& error)
    {
        auto b = ParseBehaviour(json::parse(extras), dir.Path(), error);
        return b && book->PutInForce(std::move(*b), error);
    }
    void MustPutInForce(const std::string& extras)
    {
        std::string error;
        ASSERT_TRUE(PutInForce(extras, error)) << error;
    }
    void Advance(std::int64_t ms)
    {
        clock.now += ms * kMs;
        book->Step();
    }
    std::vector<std::string> Log()
    {
        std::vector<std::string> out;
        for (const auto& line : book->LogSince(0))
            out.push_back(line.source + ": " + line.text);
        return out;
    }
};

std::string LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return std::to_string(ntohs(a.sin_port));
}

} // namespace

TEST(BehaviourBook, EachActionActsOnTheTargetAfterItsDelay)
{
    const struct {
        const char* reaction;
        int written;        // to 40100
        int before;         // the target (40101, or coil 5 for toggle; 40100 itself for clear) beforehand
        int after;          // and once after_ms has passed
    } cases[] = {
        {R"({"action": "copy", "target": {"unit": 1, "type": 3, "address": 101}, "after_ms": 200})", 7, 0, 7},
        {R"({"action": "set", "value": 42, "target": {"unit": 1, "type": 3, "address": 101}, "after_ms": 200})", 7, 0, 42},
        {R"({"action": "add", "value": 3, "target": {"unit": 1, "type": 3, "address": 101}, "after_ms": 200})", 7, 65534, 1},
        {R"({"action": "add", "value": -1, "width": "int16", "target": {"unit": 1, "type": 3, "address": 101}, "after_ms": 200})", 7, 0, 0xFFFF},
        {R"({"action": "toggle", "target": {"unit": 1, "type": 1, "address": 5}, "after_ms": 200})", 7, 0, 1},
        {R"({"action": "toggle", "target": {"unit": 1, "type": 1, "address": 5}, "after_ms": 200})", 7, 1, 0},
        {R"({"action": "clear", "after_ms": 200})", 7, 7, 0},
        {R"({"action": "copy", "target": {"unit": 1, "type": 1, "address": 5}, "after_ms": 200})", 7, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reaction);
        Rig rig;
        json r = json::parse(c.reaction);
        r["unit"] = 1;
        r["type"] = 3;
        r["address"] = 100;
        rig.MustPutInForce(json{{"reactions", json::array({r})}}.dump());
        const bool clear = r["action"] == "clear";
        const bool coil = r.contains("target") && r["target"]["type"] == 1;
        const int type = coil ? 1 : 3;
        const int address = clear ? 100 : coil ? 5 : 101;
        if (!clear)
            rig.SetWord(type, address, static_cast<std::uint16_t>(c.before));
        rig.WriteRegister(100, c.written);
        rig.book->Step();
        EXPECT_EQ(rig.Word(type, address), c.before) << "acted before after_ms";
        rig.Advance(199);
        EXPECT_EQ(rig.Word(type, address), c.before) << "acted before after_ms";
        rig.Advance(1);
        EXPECT_EQ(rig.Word(type, address), c.after);
        EXPECT_EQ(rig.book->Reactions().at(0).fired, 1u);
    }
}

TEST(BehaviourBook, AReactionFiresOnWritesCoveringItsPointThatEqualItsValue)
{
    Rig rig;
    rig.MustPutInForce(R"({"reactions": [
        {"name": "start", "unit": 1, "type": 3, "address": 100, "equals": 1, "action": "add", "value": 1,
         "target": {"unit": 1, "type": 4, "address": 1}},
        {"name": "level", "unit": 1, "type": 3, "address": 10, "value": "float32", "action": "copy",
         "target": {"unit": 1, "type": 4, "address": 20}}]})");
    rig.WriteRegister(100, 2);                 // not equal
    rig.WriteRegisters(98, {1, 1});            // 98, 99: does not cover 100
    rig.WriteRegisters(99, {0, 1, 0});         // covers 100 with 1
    rig.WriteRegister(100, 1);
    rig.book->Step();
    EXPECT_EQ(rig.Word(4, 1), 2);
    EXPECT_EQ(rig.book->Reactions().at(0).fired, 2u);

    const auto bits = std::bit_cast<std::uint32_t>(1.5f);
    rig.WriteRegisters(9, {0, static_cast<int>(bits & 0xFFFF), static_cast<int>(bits >> 16), 0});
    rig.book->Step();
    EXPECT_EQ(rig.Word(4, 20), bits & 0xFFFF);
    EXPECT_EQ(rig.Word(4, 21), bits >> 16);
}

TEST(BehaviourBook, WritesAreHandledInTheOrderTheyWereAnswered)
{
    Rig rig;
    rig.WriteFile("order.lua", R"(
        local seen = {}
        function on_write(w) seen[#seen + 1] = w.values[1]; if #seen == 5 then kv.log(table.concat(seen, ",")) end end
    )");
    rig.MustPutInForce(R"({"scripts": [{"name": "order", "file": "order.lua"}],
        "reactions": [{"unit": 1, "type": 3, "address": 100, "action": "copy", "target": {"unit": 1, "type": 3, "address": 101}},
                      {"unit": 1, "type": 3, "address": 100, "action": "copy", "target": {"unit": 1, "type": 3, "address": 102}, "after_ms": 10}]})");
    for (int v : {5, 3, 9, 1, 4})
        rig.WriteRegister(100, v);
    rig.book->Step();
    EXPECT_EQ(rig.Word(3, 101), 4);   // the last written
    rig.Advance(10);
    EXPECT_EQ(rig.Word(3, 102), 4);   // the delayed copies ran in order too
    EXPECT_EQ(rig.Log(), (std::vector<std::string>{"order: 5,3,9,1,4"}));
}

TEST(BehaviourBook, AScriptSeesEveryKindOfWriteWithItsLinkAndPeer)
{
    const struct {
        std::vector<std::uint8_t> pdu;
        const char* seen;   // unit type address count values
    } cases[] = {
        {{5, 0, 4, 0xFF, 0}, "1 1 5 1 1"},
        {{6, 0, 9, 0x12, 0x34}, "1 3 10 1 4660"},
        {{15, 0, 2, 0, 10, 2, 0b1010'0101, 0b10}, "1 1 3 10 1,0,1,0,0,1,0,1,0,1"},
        {{16, 0, 19, 0, 2, 4, 0, 7, 0xFF, 0xFF}, "1 3 20 2 7,65535"},
        {{23, 0, 0, 0, 1, 0, 29, 0, 1, 2, 0, 9}, "1 3 30 1 9"},
        {{22, 0, 39, 0x00, 0xF0, 0x00, 0x05}, "1 3 40 1 53"},   // (0x33 & 0xF0) | (0x05 & ~0xF0)
        {{16, 0x1B, 0x59, 0, 2, 8, 0, 1, 0, 2, 0, 3, 0, 4}, "1 3 7002 2 1,2,3,4"},   // ENRON: two words a register
        {{6, 0x1B, 0x58, 0xAB, 0xCD, 0x12, 0x34}, "1 3 7001 1 43981,4660"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seen);
        Rig rig;
        rig.engine.SetProtocolOptions(rig.server, 1);
        rig.SetWord(3, 40, 0x33);
        rig.WriteFile("seen.lua", R"(
            function on_write(w)
              kv.log(w.unit, w.type, w.address, w.count, table.concat(w.values, ","), w.link, w.peer)
            end)");
        rig.MustPutInForce(R"({"scripts": [{"name": "seen", "file": "seen.lua"}]})");
        rig.Send(c.pdu);
        rig.book->Step();
        const std::string expected = std::string("seen: ") + c.seen + "\ttcp\t127.0.0.1:" + LocalPort(rig.master->Fd());
        std::string log;
        for (const auto& line : rig.book->LogSince(0))
            log = line.source + ": " + line.text;
        std::replace(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(log.size(), std::string(c.seen).size() + 6)), '\t', ' ');
        EXPECT_EQ(log, expected);
    }
}

TEST(BehaviourBook, NothingIsHandedOverWhileNothingListens)
{
    Rig rig;
    rig.WriteRegister(100, 1);
    std::vector<pomrel::WriteRecord> out(4);
    EXPECT_EQ(rig.engine.TakeWrites(out), 0u);
    rig.MustPutInForce(R"({"reactions": [{"unit": 1, "type": 3, "address": 100, "action": "clear"}]})");
    rig.WriteRegister(100, 1);
    rig.book->Clear();
    rig.WriteRegister(100, 2);
    EXPECT_EQ(rig.engine.TakeWrites(out), 1u);   // the one while the reaction was in force
    EXPECT_EQ(out[0].data[0], 1);
    EXPECT_EQ(rig.engine.DroppedWrites(), 0u);
}

TEST(BehaviourBook, AFullHandOverCountsWhatItDropsAndNeverHoldsAMasterBack)
{
    Rig rig;
    rig.MustPutInForce(R"({"reactions": [{"unit": 1, "type": 3, "address": 100, "action": "add", "value": 1,
                                          "target": {"unit": 1, "type": 4, "address": 1}}]})");
    // More writes than the hand-over holds, pipelined, with nobody taking them meanwhile.
    const std::size_t total = pomrel::WriteFeed::kSlots + 25;
    constexpr std::size_t kRound = 100;
    for (std::size_t sent = 0; sent < total; sent += kRound) {
        const std::size_t n = std::min(kRound, total - sent);
        std::vector<std::uint8_t> frames;
        for (std::size_t i = 0; i < n; ++i) {
            auto f = rig.Frame(1, {6, 0, 99, 0, 1});
            frames.insert(frames.end(), f.begin(), f.end());
        }
        ASSERT_TRUE(rig.master->Send(frames));
        ASSERT_EQ(rig.master->Receive(12 * n).size(), 12 * n) << "a master was held back";
    }
    EXPECT_EQ(rig.book->DroppedWrites(), 25u);
    while (rig.book->Reactions().at(0).fired < pomrel::WriteFeed::kSlots) {
        const auto before = rig.book->Reactions().at(0).fired;
        rig.book->Step();
        ASSERT_GT(rig.book->Reactions().at(0).fired, before);
    }
    EXPECT_EQ(rig.Word(4, 1), pomrel::WriteFeed::kSlots);
    const auto log = rig.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), ": 25 masters' writes were not handed over: the behaviour thread fell behind");
}

TEST(BehaviourBook, ScriptsReachNoFilesProcessesOrBinaryChunks)
{
    Rig rig;
    rig.WriteFile("sandbox.lua", R"(
        local absent = {io = io, require = require, dofile = dofile, loadfile = loadfile, package = package,
                        debug = debug, execute = os.execute, remove = os.remove, rename = os.rename,
                        exit = os.exit, getenv = os.getenv, tmpname = os.tmpname}
        for name, v in pairs(absent) do kv.log("present: " .. name) end
        local present = {os.time, os.clock, string.format, table.concat, math.floor, utf8.char, coroutine.wrap, load}
        kv.log("present", #present)
        local f, why = load(string.dump(function() return 1 end))
        kv.log("binary", tostring(f), why and why:match("binary") ~= nil)
        kv.log("text", load("return 6 * 7")())
    )");
    rig.MustPutInForce(R"({"scripts": [{"name": "s", "file": "sandbox.lua"}]})");
    EXPECT_EQ(rig.Log(), (std::vector<std::string>{"s: present\t8", "s: binary\tnil\ttrue", "s: text\t42"}));
}

TEST(BehaviourBook, ARunawayCallIsStoppedWithItsFileAndLine)
{
    Rig rig;
    rig.WriteFile("runaway.lua", "function on_write(w)\n  if w.values[1] == 1 then\n    while true do end\n  end\n  kv.set(1, 4, 2, w.values[1])\nend\n");
    rig.MustPutInForce(R"({"scripts": [{"name": "runaway", "file": "runaway.lua"}]})");
    rig.WriteRegister(100, 1);
    rig.book->Step();
    const auto s = rig.book->Scripts().at(0);
    EXPECT_EQ(s.error, "runaway.lua:3: stopped: the call ran longer than 100 ms");
    EXPECT_EQ(s.state, "running");
    EXPECT_EQ(rig.Log().back(), "runaway: runaway.lua:3: stopped: the call ran longer than 100 ms");
    rig.WriteRegister(100, 6);   // the master is served, and the next call runs
    rig.book->Step();
    EXPECT_EQ(rig.Word(4, 2), 6);
}

TEST(BehaviourBook, TenFailingCallsInARowStopAScript)
{
    Rig rig;
    rig.WriteFile("picky.lua", "function on_write(w)\n  if w.values[1] ~= 0 then\n    local t = nil\n    return t.x\n  end\nend\n");
    rig.MustPutInForce(R"({"scripts": [{"name": "picky", "file": "picky.lua"}]})");
    for (int i = 0; i < 9; ++i)
        rig.WriteRegister(100, 1);
    rig.WriteRegister(100, 0);   // a call that works starts the count again
    for (int i = 0; i < 9; ++i)
        rig.WriteRegister(100, 1);
    rig.book->Step();
    auto s = rig.book->Scripts().at(0);
    EXPECT_EQ(s.state, "running");
    EXPECT_EQ(s.calls, 19u);
    EXPECT_EQ(s.error, "picky.lua:4: attempt to index a nil value (local 't')");
    rig.WriteRegister(100, 1);
    rig.WriteRegister(100, 0);
    rig.book->Step();
    s = rig.book->Scripts().at(0);
    EXPECT_EQ(s.state, "stopped");
    EXPECT_EQ(s.calls, 20u);
    EXPECT_EQ(rig.Log().back(), "picky: stopped: 10 failing calls in a row");
}

TEST(BehaviourBook, AScriptThatDoesNotLoadRefusesTheListAndKeepsWhatWasInForce)
{
    Rig rig;
    rig.WriteFile("good.lua", "function on_write(w) kv.set(1, 4, 3, w.values[1]) end\n");
    rig.WriteFile("broken.lua", "-- one\nfunction on_write(w)\n  kv.set(1, 4, 3,\nend\n");
    rig.MustPutInForce(R"({"scripts": [{"name": "good", "file": "good.lua"}]})");
    const struct {
        const char* extras;
        const char* error;
    } cases[] = {
        {R"({"reactions": [{"unit": 1, "type": 3, "address": 7, "action": "clear"}],
             "scripts": [{"name": "good", "file": "good.lua"}, {"name": "broken", "file": "broken.lua"}]})",
         R"(script 2 ("broken"): broken.lua:4: unexpected symbol near 'end')"},
        {R"({"scripts": [{"file": "missing.lua"}]})", "script 1: missing.lua: no such file"},
        {R"({"scripts": [{"file": "top.lua"}]})", "script 1: top.lua:1: at the top"},
        {R"({"reactions": [{"name": "far", "unit": 1, "type": 3, "address": 5000, "action": "clear"}]})",
         R"(reaction 1 ("far"): unit 1 type 3 address 5000 is not served by an open data window)"},
    };
    rig.WriteFile("top.lua", "error('at the top')\n");
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(rig.PutInForce(c.extras, error));
        EXPECT_EQ(error, c.error);
        const Behaviour b = rig.book->InForce();
        EXPECT_TRUE(b.reactions.empty());
        ASSERT_EQ(b.scripts.size(), 1u);
        EXPECT_EQ(b.scripts[0].name, "good");
    }
    rig.WriteRegister(100, 11);
    rig.book->Step();
    EXPECT_EQ(rig.Word(4, 3), 11);
    // Reloading a file that broke meanwhile is refused the same way.
    rig.WriteFile("good.lua", "function on_write(w\n");
    std::string error;
    EXPECT_FALSE(rig.book->ReloadScripts(error));
    EXPECT_EQ(error, R"(script 1 ("good"): good.lua:2: ')' expected near <eof>)");
    rig.WriteRegister(100, 12);
    rig.book->Step();
    EXPECT_EQ(rig.Word(4, 3), 12);
}

TEST(BehaviourBook, LaterCallsAndTicksRunOnTime)
{
    Rig rig;
    rig.WriteFile("later.lua", R"(
        function on_write(w) kv.after(50, function() kv.set(1, 4, 5, w.values[1]) end) end
        function on_tick(ms) kv.set(1, 4, 6, ms) end)");
    rig.MustPutInForce(R"({"scripts": [{"file": "later.lua", "tick_ms": 20}]})");
    rig.WriteRegister(100, 8);
    rig.book->Step();
    rig.Advance(49);
    EXPECT_EQ(rig.Word(4, 5), 0);
    EXPECT_EQ(rig.Word(4, 6), 40);
    rig.Advance(1);
    EXPECT_EQ(rig.Word(4, 5), 8);
    rig.Advance(1000);   // late: the current tick, not those passed over
    EXPECT_EQ(rig.Word(4, 6), 1040);
}

TEST(BehaviourBook, TheFillerExampleFillsTheTankAndSaysItIsDone)
{
    Rig rig;
    std::string error;
    auto b = ParseBehaviour(json::parse(R"({"scripts": [{"name": "filler", "file": "filler.lua", "tick_ms": 100}]})"),
                            KELVARO_EXAMPLES "/behaviour", error);
    ASSERT_TRUE(b) << error;
    ASSERT_TRUE(rig.book->PutInForce(std::move(*b), error)) << error;
    const auto level = [&] {
        const std::uint32_t bits = rig.Word(3, 1) | static_cast<std::uint32_t>(rig.Word(3, 2)) << 16;
        return std::bit_cast<float>(bits);
    };
    rig.Advance(1000);
    EXPECT_EQ(level(), 0.0f) << "filled before it was started";
    rig.WriteRegister(100, 1);
    rig.book->Step();
    for (int tick = 1; tick <= 199; ++tick)
        rig.Advance(100);
    EXPECT_EQ(level(), 99.5f);
    EXPECT_EQ(rig.Word(1, 1), 0);
    EXPECT_EQ(rig.Word(3, 101), 0);
    rig.Advance(100);
    EXPECT_EQ(level(), 100.0f);
    EXPECT_EQ(rig.Word(1, 1), 1);
    EXPECT_EQ(rig.Word(3, 101), 2);
    rig.Advance(1000);
    EXPECT_EQ(level(), 100.0f);
    EXPECT_EQ(rig.Log().back(), "filler: full after 21000 ms");
}

TEST(BehaviourBook, ADocumentGoneIsNoLongerTouched)
{
    Rig rig;
    CKelvaro32Doc& extra = rig.Add(2, 3, 1, 10);
    rig.WriteFile("touch.lua", "function on_write(w) kv.set(2, 3, 1, w.values[1]) end\n");
    rig.MustPutInForce(R"({"scripts": [{"name": "touch", "file": "touch.lua"}],
        "reactions": [{"unit": 1, "type": 3, "address": 100, "action": "copy", "target": {"unit": 2, "type": 3, "address": 2}, "after_ms": 10}]})");
    rig.WriteRegister(100, 3);
    rig.book->Step();
    EXPECT_EQ(extra.Word(0), 3);
    rig.book->ForgetOwner(&extra);
    extra.SetWord(0, 0);
    rig.Advance(10);   // the reaction waiting lets go as well
    EXPECT_EQ(extra.Word(1), 0);
    rig.WriteRegister(100, 4);
    rig.book->Step();
    EXPECT_EQ(extra.Word(0), 0);
    EXPECT_EQ(rig.book->Scripts().at(0).error, "touch.lua:1: kv.set: unit 2 type 3 address 1 is not served by an open data window");
}

TEST(BehaviourBook, ItsOwnThreadHandlesWritesWhileMastersAreServed)
{
    Rig rig;
    rig.book.reset();
    behaviour::BehaviourBook book(rig.engine, rig.points);   // the behaviour thread of its own
    rig.WriteFile("copy.lua", "function on_write(w) kv.set(1, 4, w.address, w.values[1]) end\n");
    std::string error;
    auto b = ParseBehaviour(json::parse(R"({"scripts": [{"name": "copy", "file": "copy.lua"}],
        "reactions": [{"unit": 1, "type": 3, "address": 50, "action": "add", "value": 1, "target": {"unit": 1, "type": 4, "address": 99}}]})"),
        rig.dir.Path(), error);
    ASSERT_TRUE(b) << error;
    ASSERT_TRUE(book.PutInForce(std::move(*b), error)) << error;
    constexpr int kWrites = 500;
    for (int i = 1; i <= kWrites; ++i)
        rig.WriteRegister(1 + i % 60, i);
    // Liveness only: the copies arrive, however long the machine takes.
    for (int wait = 0; wait < 10'000 && (rig.Word(4, 99) != kWrites / 60 || rig.Word(4, 1 + kWrites % 60) != kWrites); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(rig.Word(4, 1 + kWrites % 60), kWrites);
    EXPECT_EQ(rig.Word(4, 99), kWrites / 60);   // address 50 was written every 60th time
    EXPECT_EQ(book.Scripts().at(0).calls, static_cast<std::uint64_t>(kWrites));
    EXPECT_EQ(book.DroppedWrites(), 0u);
}

TEST(BehaviourBook, LaterCallsWaitingAreBounded)
{
    Rig rig;
    rig.WriteFile("many.lua", "function on_write(w)\n  for i = 1, 10001 do kv.after(1000, function() end) end\nend\n");
    rig.MustPutInForce(R"({"scripts": [{"name": "many", "file": "many.lua"}]})");
    rig.WriteRegister(100, 1);
    rig.book->Step();
    EXPECT_EQ(rig.book->Scripts().at(0).error, "many.lua:2: kv.after: too many calls waiting");
    rig.Advance(1000);   // those taken ran; room again
    rig.WriteRegister(100, 1);
    rig.book->Step();
    EXPECT_EQ(rig.book->Scripts().at(0).calls, 2u + BehaviourBook::kMaxPendingAfter);
}
