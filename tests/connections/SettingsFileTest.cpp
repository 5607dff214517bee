// kv64comm2.cfg, kelvaro64.ali and kelvaro64.ports: byte fixtures, short and malformed files,
// and the files on disk.
#include "document/AliasTable.h"
#include "app/SettingsStore.h"
#include "connections/PortTable.h"

#include "ScratchDir.h"
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The remembered state with the program's defaults.
struct State {
    std::uint16_t servicePort = 502;
    PortTable ports;
    DisplayDefaults look;
    AliasTable aliases;
    RememberedState Ref() { return {&servicePort, &ports, &look, &aliases}; }
};

Bytes FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A 746-byte settings file where every byte differs from the defaults, reserved bytes included,
// with a few fields set by hand.
Bytes SettingsFixture()
{
    Bytes b(746);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    b[0] = 0x40;   // service port 40000
    b[1] = 0x9C;
    // port 3 at 2 + 21 * 2 = 44: ASCII with ENRON, 19200 7E2, CTS, delays 5 and 100
    const Bytes port3 = {0x80, 0x00, 0x4B, 0x00, 0x00, 7, 2, 2, 0xAB, 1, 0, 0, 0, 0, 0, 0, 0, 5, 100, 0xCD, 0xEF};
    std::copy(port3.begin(), port3.end(), b.begin() + 44);
    // font at 674: face "Arial", then zeros (what follows the terminator is not kept)
    const char face[32] = "Arial";
    std::memcpy(&b[674 + 28], face, sizeof face);
    // colours at 734: 0x00112233, 0x00445566, 0x00778899
    const Bytes colours = {0x33, 0x22, 0x11, 0x00, 0x66, 0x55, 0x44, 0x00, 0x99, 0x88, 0x77, 0x00};
    std::copy(colours.begin(), colours.end(), b.begin() + 734);
    return b;
}

TEST(SettingsFile, FreshFolderGivesDefaultsAndTheFirstExitWritesBothFiles)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/Orvane";
    SettingsStore store(folder);
    State s;
    store.Load(s.Ref());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(s.servicePort, 502);
    EXPECT_TRUE(s.aliases.Entries().empty());
    EXPECT_TRUE(s.ports.MappedPaths().empty());

    store.Save(s.Ref());
    const Bytes cfg = FileBytes(folder + "/kv64comm2.cfg");
    ASSERT_EQ(cfg.size(), 746u);
    EXPECT_EQ(Bytes(cfg.begin(), cfg.begin() + 2), (Bytes{0xF6, 0x01}));   // 502
    // every port: protocol 1, 9600 baud, 8 data bits, parity 1, stop bits 0, the rest 0
    const Bytes port = {0x01, 0x80, 0x25, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int n = 0; n < 32; ++n)
        EXPECT_EQ(Bytes(cfg.begin() + 2 + 21 * n, cfg.begin() + 23 + 21 * n), port) << "port " << n + 1;
    EXPECT_EQ(Bytes(cfg.begin() + 674, cfg.begin() + 678), (Bytes{0xF3, 0xFF, 0xFF, 0xFF}));   // height -13
    EXPECT_EQ(Bytes(cfg.begin() + 690, cfg.begin() + 692), (Bytes{0x90, 0x01}));               // weight 400
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cfg[702])), "Courier");
    EXPECT_EQ(Bytes(cfg.begin() + 734, cfg.end()), (Bytes{0, 0, 0, 0, 0xC0, 0xC0, 0xC0, 0, 0xFF, 0, 0, 0}));
    EXPECT_EQ(FileBytes(folder + "/kelvaro64.ali"), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SettingsFile, ByteFixtureRoundTripsWithItsReservedBytes)
{
    const Bytes fixture = SettingsFixture();
    State s;
    DecodeSettingsFile(fixture.data(), fixture.size(), s.Ref());
    EXPECT_EQ(s.servicePort, 40000);
    std::uint8_t protocol = 0;
    pomrel::PortSettings p3;
    ASSERT_TRUE(s.ports.GetPortSettings(3, protocol, p3));
    EXPECT_EQ(protocol, 0x80);
    EXPECT_EQ(p3.baudRate, 19200u);
    EXPECT_EQ(p3.dataBits, 7);
    EXPECT_EQ(p3.parity, 2);
    EXPECT_EQ(p3.stopBits, 2);
    EXPECT_EQ(p3.waitCts, 1u);
    EXPECT_EQ(p3.rtsOnDelayMs, 5);
    EXPECT_EQ(p3.rtsOffDelayMs, 100);
    EXPECT_STREQ(s.look.font.faceName, "Arial");
    EXPECT_EQ(s.look.foreground, 0x00112233u);
    EXPECT_EQ(s.look.background, 0x00445566u);
    EXPECT_EQ(s.look.third, 0x00778899u);
    EXPECT_EQ(EncodeSettingsFile(s.Ref()), fixture);
}

TEST(SettingsFile, ShortFileKeepsDefaultsForWhatItDoesNotHoldWhole)
{
    const Bytes fixture = SettingsFixture();
    State full;
    DecodeSettingsFile(fixture.data(), fixture.size(), full.Ref());
    const State defaults;

    // size, service port taken, whole port entries, protocol byte of the next port taken,
    // font taken, colours taken
    struct Case { std::size_t size; bool service; int wholePorts; bool nextProtocol; bool font; int colours; };
    const Case cases[] = {
        {0, false, 0, false, false, 0},   {1, false, 0, false, false, 0},  {2, true, 0, false, false, 0},
        {3, true, 0, true, false, 0},     {22, true, 0, true, false, 0},   {23, true, 1, false, false, 0},
        {673, true, 31, true, false, 0},  {674, true, 32, false, false, 0}, {733, true, 32, false, false, 0},
        {734, true, 32, false, true, 0},  {741, true, 32, false, true, 1},  {745, true, 32, false, true, 2},
        {746, true, 32, false, true, 3},
    };
    // Each size decoded from memory and read from a file of that size on disk.
    ScratchDir dir;
    const std::string folder = dir.Path() + "/Orvane";
    std::filesystem::create_directories(folder);
    for (const auto& c : cases) {
        for (const bool fromDisk : {false, true}) {
            SCOPED_TRACE(std::to_string(c.size) + (fromDisk ? " bytes on disk" : " bytes decoded"));
            State s;
            if (fromDisk) {
                WriteBytes(folder + "/kv64comm2.cfg", Bytes(fixture.begin(), fixture.begin() + static_cast<long>(c.size)));
                SettingsStore(folder).Load(s.Ref());
            } else {
                DecodeSettingsFile(fixture.data(), c.size, s.Ref());
            }
            EXPECT_EQ(s.servicePort, c.service ? full.servicePort : defaults.servicePort);
            for (int port = 1; port <= 32; ++port) {
                std::uint8_t got = 0, want = 0, wantDefault = 0;
                pomrel::PortSettings gotS, wantS, defaultS;
                s.ports.GetPortSettings(port, got, gotS);
                full.ports.GetPortSettings(port, want, wantS);
                defaults.ports.GetPortSettings(port, wantDefault, defaultS);
                const bool whole = port <= c.wholePorts;
                const bool protocolTaken = whole || (c.nextProtocol && port == c.wholePorts + 1);
                EXPECT_EQ(got, protocolTaken ? want : wantDefault) << "port " << port;
                EXPECT_EQ(PortSettingsToBytes(gotS), PortSettingsToBytes(whole ? wantS : defaultS)) << "port " << port;
            }
            EXPECT_TRUE(s.look.font == (c.font ? full.look.font : defaults.look.font));
            EXPECT_EQ(s.look.foreground, c.colours > 0 ? full.look.foreground : defaults.look.foreground);
            EXPECT_EQ(s.look.background, c.colours > 1 ? full.look.background : defaults.look.background);
            EXPECT_EQ(s.look.third, c.colours > 2 ? full.look.third : defaults.look.third);
        }
    }
}

TEST(SettingsFile, FaceNameWithoutTerminatorIsCut)
{
    Bytes fixture = SettingsFixture();
    std::memset(&fixture[674 + 28], 'W', 32);
    State s;
    DecodeSettingsFile(fixture.data(), fixture.size(), s.Ref());
    EXPECT_EQ(std::string(s.look.font.faceName), std::string(31, 'W'));
}

// The string forms themselves are the archive's (ArchiveString.LengthPrefixForms); here, that an
// alias file lays out its entries with them: 254 bytes take the one-byte length, 255 the long form.
TEST(AliasFile, EntriesCarryTheirTextsInTheArchiveStringForm)
{
    AliasTable table;
    table.SetAlias(3, 40001, std::string(254, 'a'));
    table.SetAlias(1, 7, std::string(255, 'b'));
    Bytes expected = {1, 0, 0, 0, 2, 0, 0, 0};   // format, count
    auto entry = [&](Bytes keysAndPrefix, std::size_t length, char fill) {
        expected.insert(expected.end(), keysAndPrefix.begin(), keysAndPrefix.end());
        expected.insert(expected.end(), length, static_cast<std::uint8_t>(fill));
    };
    entry({3, 0, 0, 0, 0x41, 0x9C, 0, 0, 0xFE}, 254, 'a');
    entry({1, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0x00}, 255, 'b');
    const Bytes file = EncodeAliasFile(table);
    EXPECT_EQ(file, expected);
    AliasTable back;
    DecodeAliasFile(file, back);
    ASSERT_EQ(back.Entries().size(), 2u);
    EXPECT_EQ(back.GetAlias(3, 40001), std::string(254, 'a'));
    EXPECT_EQ(back.GetAlias(1, 7), std::string(255, 'b'));
}

TEST(AliasFile, WideFormAndDuplicateKeys)
{
    const Bytes file = {
        7, 0, 0, 0,   3, 0, 0, 0,                                        // format (ignored), count 3
        3, 0, 0, 0,   10, 0, 0, 0,   5, 'f', 'i', 'r', 's', 't',         // (3, 10) "first"
        1, 0, 0, 0,   5, 0, 0, 0,    0xFF, 0xFE, 0xFF, 3, 'A', 0, 'b', 0, 0xE9, 0,   // (1, 5) wide "Abé"
        3, 0, 0, 0,   10, 0, 0, 0,   4, 'l', 'a', 's', 't',              // (3, 10) again
    };
    AliasTable table;
    DecodeAliasFile(file, table);
    ASSERT_EQ(table.Entries().size(), 2u);
    EXPECT_EQ(table.Entries()[0].pointType, 3);
    EXPECT_EQ(table.Entries()[0].text, "last");   // first place, last text
    EXPECT_EQ(table.Entries()[1].text, "Ab\xE9");
}

TEST(AliasFile, MalformedFilesKeepWholeEntriesAndStop)
{
    const Bytes entry = {4, 0, 0, 0, 1, 0, 0, 0, 2, 'h', 'i'};
    auto file = [&](Bytes head, int entries, Bytes tail = {}) {
        for (int i = 0; i < entries; ++i) {
            Bytes e = entry;
            e[4] = static_cast<std::uint8_t>(i + 1);
            head.insert(head.end(), e.begin(), e.end());
        }
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    struct Case { const char* name; Bytes bytes; std::size_t entries; };
    const Case cases[] = {
        {"empty", {}, 0},
        {"format only", {1, 0, 0, 0}, 0},
        {"count cut", {1, 0, 0, 0, 2, 0}, 0},
        {"negative count", file({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 2), 0},
        {"count beyond the file", file({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}, 2), 2},
        {"entry cut in its keys", file({1, 0, 0, 0, 3, 0, 0, 0}, 1, {4, 0, 0}), 1},
        {"text longer than the file", file({1, 0, 0, 0, 3, 0, 0, 0}, 1, {4, 0, 0, 0, 9, 0, 0, 0, 200, 'x'}), 1},
        {"64-bit length", file({1, 0, 0, 0, 3, 0, 0, 0}, 2,
                               {4, 0, 0, 0, 9, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 2},
        {"wide length beyond the file", file({1, 0, 0, 0, 3, 0, 0, 0}, 1, {4, 0, 0, 0, 9, 0, 0, 0, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 1},
    };
    for (const auto& c : cases) {
        AliasTable table;
        DecodeAliasFile(c.bytes, table);
        EXPECT_EQ(table.Entries().size(), c.entries) << c.name;
    }
}

TEST(SettingsStoreFiles, EverythingComesBackAfterARestart)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/Orvane";
    {
        State s;
        SettingsStore store(folder);
        store.Load(s.Ref());
        s.servicePort = 40000;
        pomrel::PortSettings p;
        p.baudRate = 19200;
        p.parity = 2;
        s.ports.SetPortSettings(3, 1, p);
        s.ports.SetPortPath(3, "/dev/pts/7");
        s.look.font.height = -20;
        s.aliases.SetAlias(3, 40001, "Pump speed");
        s.aliases.SetAlias(1, 1, "");
        store.Save(s.Ref());
        // a second save replaces the files and leaves nothing else behind
        store.Save(s.Ref());
    }
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kelvaro64.ali", "kelvaro64.ports", "kv64comm2.cfg"}));

    State s;
    SettingsStore(folder).Load(s.Ref());
    EXPECT_EQ(s.servicePort, 40000);
    std::uint8_t protocol = 0;
    pomrel::PortSettings p;
    s.ports.GetPortSettings(3, protocol, p);
    EXPECT_EQ(p.baudRate, 19200u);
    EXPECT_EQ(p.parity, 2);
    EXPECT_EQ(s.ports.PortPath(3), "/dev/pts/7");
    EXPECT_EQ(s.look.font.height, -20);
    ASSERT_EQ(s.aliases.Entries().size(), 2u);
    EXPECT_EQ(s.aliases.GetAlias(3, 40001), "Pump speed");
}

TEST(SettingsStoreFiles, OddFilesAndAnUnusableFolderNeitherStopNorHurt)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/Orvane";
    std::filesystem::create_directories(folder);
    // A settings file far longer than 746 bytes: only its head counts.
    Bytes big = SettingsFixture();
    big.resize(1 << 20, 0xEE);
    WriteBytes(folder + "/kv64comm2.cfg", big);
    WriteBytes(folder + "/kelvaro64.ali", {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 0, 0});
    WriteBytes(folder + "/kelvaro64.ports", Bytes(200000, '3'));   // not ours: too big
    State s;
    SettingsStore(folder).Load(s.Ref());
    EXPECT_EQ(s.servicePort, 40000);
    EXPECT_TRUE(s.aliases.Entries().empty());
    EXPECT_TRUE(s.ports.MappedPaths().empty());

    // The folder would have to live inside a plain file: defaults stay, saving is silent.
    WriteBytes(dir.Path() + "/plain", {1});
    State t;
    SettingsStore blocked(dir.Path() + "/plain/Orvane");
    blocked.Load(t.Ref());
    EXPECT_EQ(t.servicePort, 502);
    blocked.Save(t.Ref());
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/plain/Orvane"));
}

} // namespace
