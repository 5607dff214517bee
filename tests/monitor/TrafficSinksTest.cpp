// The capture file and the JSON Lines log as sinks of decoded frames: what they write for each
// kind of link and frame, rotation, refused paths; captures read back by tshark when it is there.
#include "monitor/CaptureFile.h"
#include "monitor/TrafficJsonLog.h"

#include "engine/TrafficLog.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using monitor::TappedFrame;
using pomrel::LinkId;

std::vector<std::uint8_t> Bytes(const std::string& hex)
{
    std::vector<std::uint8_t> b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

pomrel::NetAddress V4(std::uint8_t last, std::uint16_t port) { return {4, {192, 168, 0, last}, port}; }
pomrel::NetAddress V6(std::uint8_t last, std::uint16_t port)
{
    return {6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last}, port};
}

// 2026-01-02T03:04:05.000000Z as the wall clock at monotonic 1 000 000 µs.
const pomrel::FrameClockStart kClock{1'000'000, 1'767'323'045'000'000};

TappedFrame Frame(LinkId link, std::uint8_t attribute, const std::string& hex, std::int64_t us,
                  pomrel::NetAddress peer = {}, pomrel::NetAddress local = {}, std::uint64_t stream = 0,
                  std::string fault = {}, bool ascii = false)
{
    TappedFrame f;
    f.record.monotonicUs = us;
    f.record.attribute = attribute;
    f.record.source.link = link;
    f.record.source.peer = peer;
    f.record.source.local = local;
    f.record.source.stream = stream;
    f.record.source.ascii = ascii;
    f.record.fault = std::move(fault);
    if (ascii)
        f.record.bytes.assign(hex.begin(), hex.end());
    else
        f.record.bytes = Bytes(hex);
    f.record.size = static_cast<std::uint32_t>(f.record.bytes.size());
    return f;
}

// A Modbus/TCP Security frame whose client certificate carries `role`.
TappedFrame WithRole(TappedFrame f, const std::string& role)
{
    std::copy_n(role.begin(), std::min(role.size(), f.record.source.role.size() - 1), f.record.source.role.begin());
    return f;
}

// An answer a fault withheld: a sent record without bytes.
TappedFrame Withheld(TappedFrame f, pomrel::Withheld withheld)
{
    f.record.withheld = withheld;
    return f;
}

// Frames decoded in order, as the tap hands them on.
std::vector<TappedFrame> Decoded(std::vector<TappedFrame> frames)
{
    monitor::FrameDecoder decoder;
    for (auto& f : frames)
        f.decoded = decoder.Decode(f.record);
    return frames;
}

std::string TempDir()
{
    std::string dir = (std::filesystem::temp_directory_path() / "kelvaro-sinks-XXXXXX").string();
    if (!mkdtemp(dir.data()))
        throw std::runtime_error("mkdtemp");
    return dir;
}

std::vector<std::string> Lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

const LinkId kTcp{LinkId::Kind::Tcp, 0, 0};

TEST(TrafficJsonLog, OneObjectPerFrameWithTheDocumentedKeys)
{
    const auto frames = Decoded({
        Frame(kTcp, pomrel::kReceived, "000100000006010300100002", 1'000'000, V4(7, 40000), V4(1, 502), 1),
        Frame(kTcp, pomrel::kSent, "00010000000701030400010002", 1'000'250, V4(7, 40000), V4(1, 502), 1),
        Frame({LinkId::Kind::Tcp, 0, 2}, pomrel::kReceived, "000200000006010300000001", 1'000'300, V6(9, 1502), V6(1, 1503), 2),
        Frame({LinkId::Kind::Tcp, 0, 2}, pomrel::kSent, "000200000003018302", 1'000'400, V6(9, 1502), V6(1, 1503), 2,
              "busy \"HR\" \xC3\xA9\xC3"),
        Frame({LinkId::Kind::Serial, 4, 0}, pomrel::kReceived, "1103006B00037687", 2'500'000),
        Frame({LinkId::Kind::Serial, 4, 0}, pomrel::kDiscarded, "1103006B00037688", 2'600'000),
        Frame({LinkId::Kind::Udp, 0, 0}, pomrel::kReceived, "0009000000020107", 2'700'000, V4(8, 5000)),
        WithRole(Frame({LinkId::Kind::Tls, 0, 0}, pomrel::kReceived, "000a00000006010300000001", 2'800'000, V4(9, 41000)),
                 "Operator"),
        Frame(kTcp, pomrel::kReceived, "000b00000006010300200004", 3'000'000, V4(7, 40000), V4(1, 502), 1),
        Withheld(Frame(kTcp, pomrel::kSent, "", 3'000'040, V4(7, 40000), V4(1, 502), 1, "silent"), pomrel::Withheld::NoReply),
        Frame({LinkId::Kind::RtuOverTcp, 0, 0}, pomrel::kReceived, "010300100002C5CE", 3'100'000, V4(8, 5001), V4(1, 9502), 3),
        Withheld(Frame({LinkId::Kind::RtuOverTcp, 0, 0}, pomrel::kSent, "", 3'100'010, V4(8, 5001), V4(1, 9502), 3, "drop"),
                 pomrel::Withheld::Closed),
    });
    const std::vector<std::string> want = {
        R"j({"t":"2026-01-02T03:04:05.000000Z","link":"tcp","peer":"192.168.0.7:40000","dir":"rx","unit":1,"fc":3,"addr":16,"qty":2,"hex":"000100000006010300100002"})j",
        R"j({"t":"2026-01-02T03:04:05.000250Z","link":"tcp","peer":"192.168.0.7:40000","dir":"tx","unit":1,"fc":3,"addr":16,"qty":2,"hex":"00010000000701030400010002","rtt_us":250})j",
        R"j({"t":"2026-01-02T03:04:05.000300Z","link":"tcp:2","peer":"[2001:db8::9]:1502","dir":"rx","unit":1,"fc":3,"addr":0,"qty":1,"hex":"000200000006010300000001"})j",
        R"j({"t":"2026-01-02T03:04:05.000400Z","link":"tcp:2","peer":"[2001:db8::9]:1502","dir":"tx","unit":1,"fc":3,"addr":0,"qty":1,"exception":2,"hex":"000200000003018302","rtt_us":100,"fault":"busy \"HR\" é\ufffd"})j",
        R"j({"t":"2026-01-02T03:04:06.500000Z","link":"serial:4","dir":"rx","unit":17,"fc":3,"addr":107,"qty":3,"hex":"1103006b00037687"})j",
        R"j({"t":"2026-01-02T03:04:06.600000Z","link":"serial:4","dir":"rx","unit":17,"fc":3,"addr":107,"qty":3,"hex":"1103006b00037688","error":"discarded: bad CRC 8876 (expected 8776)"})j",
        R"j({"t":"2026-01-02T03:04:06.700000Z","link":"udp","peer":"192.168.0.8:5000","dir":"rx","unit":1,"fc":7,"hex":"0009000000020107"})j",
        R"j({"t":"2026-01-02T03:04:06.800000Z","link":"tls","peer":"192.168.0.9:41000","role":"Operator","dir":"rx","unit":1,"fc":3,"addr":0,"qty":1,"hex":"000a00000006010300000001"})j",
        R"j({"t":"2026-01-02T03:04:07.000000Z","link":"tcp","peer":"192.168.0.7:40000","dir":"rx","unit":1,"fc":3,"addr":32,"qty":4,"hex":"000b00000006010300200004"})j",
        R"j({"t":"2026-01-02T03:04:07.000040Z","link":"tcp","peer":"192.168.0.7:40000","dir":"tx","unit":1,"fc":3,"addr":32,"qty":4,"hex":"","rtt_us":40,"fault":"silent","error":"no reply"})j",
        R"j({"t":"2026-01-02T03:04:07.100000Z","link":"rtu-over-tcp","peer":"192.168.0.8:5001","dir":"rx","unit":1,"fc":3,"addr":16,"qty":2,"hex":"010300100002c5ce"})j",
        R"j({"t":"2026-01-02T03:04:07.100010Z","link":"rtu-over-tcp","peer":"192.168.0.8:5001","dir":"tx","unit":1,"fc":3,"addr":16,"qty":2,"hex":"","rtt_us":10,"fault":"drop","error":"closed"})j",
    };
    ASSERT_EQ(frames.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(monitor::TrafficJsonLog::Line(frames[i], kClock), want[i]) << i;
}

TEST(TrafficJsonLog, RotatesAtTheSizeLimitKeepingTheNewest)
{
    const std::string dir = TempDir();
    const std::string path = dir + "/traffic.jsonl";
    std::string error;
    monitor::JsonLogOptions options;
    options.rotateBytes = 4096;
    options.keep = 2;
    auto log = monitor::TrafficJsonLog::Open(path, kClock, options, error);
    ASSERT_TRUE(log) << error;
    int written = 0;
    for (int batch = 0; batch < 20; ++batch) {
        std::vector<TappedFrame> frames;
        for (int i = 0; i < 17; ++i, ++written)
            frames.push_back(Frame(kTcp, pomrel::kReceived, "000100000006010300100002", written, V4(7, 40000)));
        log->Take(Decoded(frames));
    }
    EXPECT_EQ(log->Error(), "");
    log.reset();
    // Newest last: traffic.2.jsonl, traffic.1.jsonl, traffic.jsonl; nothing older kept.
    std::vector<std::string> all;
    for (const std::string& name : {dir + "/traffic.2.jsonl", dir + "/traffic.1.jsonl", path}) {
        ASSERT_TRUE(std::filesystem::exists(name)) << name;
        EXPECT_LE(std::filesystem::file_size(name), 4096u) << name;
        for (const std::string& line : Lines(name))
            all.push_back(line);
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/traffic.3.jsonl"));
    ASSERT_GT(all.size(), 40u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::int64_t us = written - static_cast<std::int64_t>(all.size()) + static_cast<std::int64_t>(i);
        EXPECT_EQ(all[i], monitor::TrafficJsonLog::Line(
                              Decoded({Frame(kTcp, pomrel::kReceived, "000100000006010300100002", us, V4(7, 40000))})[0],
                              kClock));
    }
    std::filesystem::remove_all(dir);
}

// The limit is the most a file holds: a line that makes the file exactly that long stays in it,
// the next line starts a new file; the same whether lines come in one batch or one at a time.
TEST(TrafficJsonLog, RotatesExactlyAtTheLimit)
{
    auto frame = [](int i) {
        return Frame(kTcp, pomrel::kReceived, "000100000006010300100002", 1'000'000 + i, V4(7, 40000));
    };
    const std::string first = monitor::TrafficJsonLog::Line(Decoded({frame(0)})[0], kClock);
    const std::uint64_t line = first.size() + 1;  // every line as long: the stamps differ in digits only
    struct { const char* what; int slack, frames, batch, current, rotated; } cases[] = {
        {"30 lines make the file exactly full: no rotation", 0, 30, 30, 30, 0},
        {"the 31st line starts a new file", 0, 31, 31, 1, 30},
        {"... also when lines come one at a time", 0, 31, 1, 1, 30},
        {"a byte less: the 30th line starts the new file", -1, 30, 30, 1, 29},
        {"a byte more: as exactly full", 1, 31, 7, 1, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = TempDir();
        const std::string path = dir + "/traffic.jsonl";
        std::string error;
        monitor::JsonLogOptions options;
        options.rotateBytes = 30 * line + static_cast<std::uint64_t>(c.slack);
        auto log = monitor::TrafficJsonLog::Open(path, kClock, options, error);
        ASSERT_TRUE(log) << error;
        for (int i = 0; i < c.frames;) {
            std::vector<TappedFrame> frames;
            for (int k = 0; k < c.batch && i < c.frames; ++k, ++i)
                frames.push_back(frame(i));
            log->Take(Decoded(frames));
        }
        EXPECT_EQ(log->Error(), "");
        log.reset();
        const std::string rotated = dir + "/traffic.1.jsonl";
        EXPECT_EQ(std::filesystem::file_size(path), c.current * line);
        EXPECT_EQ(std::filesystem::exists(rotated), c.rotated > 0);
        if (c.rotated) {
            EXPECT_EQ(std::filesystem::file_size(rotated), c.rotated * line);
            const auto lines = Lines(rotated);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.front(), first);
        }
        const auto lines = Lines(path);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), monitor::TrafficJsonLog::Line(Decoded({frame(c.frames - 1)})[0], kClock));
        std::filesystem::remove_all(dir);
    }
}

TEST(TrafficJsonLog, RotatedNamesAndRefusedPaths)
{
    struct { const char* path; int n; const char* name; } names[] = {
        {"log.jsonl", 1, "log.1.jsonl"},
        {"/var/log/k.v/traffic.jsonl", 3, "/var/log/k.v/traffic.3.jsonl"},
        {"/var/log/k.v/traffic", 2, "/var/log/k.v/traffic.2"},
        {".hidden", 1, ".hidden.1"},
    };
    for (const auto& n : names)
        EXPECT_EQ(monitor::TrafficJsonLog::RotatedName(n.path, n.n), n.name);

    std::string error;
    EXPECT_FALSE(monitor::TrafficJsonLog::Open("/nonexistent-folder/x.jsonl", kClock, {}, error));
    EXPECT_EQ(error, "/nonexistent-folder/x.jsonl: No such file or directory");
    error.clear();
    EXPECT_FALSE(monitor::CaptureFile::Open("/nonexistent-folder/x.pcapng", kClock, error));
    EXPECT_EQ(error, "/nonexistent-folder/x.pcapng: No such file or directory");
}

// Either sink on a FIFO: refused at once without a reader, streamed to with one, and told on
// standard error the moment its reader goes away (the program lives on: SIGPIPE is ignored, as
// the programs do).
TEST(TrafficSinks, FifosAreStreamedToOrRefusedWithoutWaiting)
{
    std::signal(SIGPIPE, SIG_IGN);
    const auto frames = Decoded({
        Frame(kTcp, pomrel::kReceived, "000100000006010300100002", 1'000'000, V4(7, 40000), V4(1, 502), 1),
        Frame(kTcp, pomrel::kSent, "00010000000701030400010002", 1'000'250, V4(7, 40000), V4(1, 502), 1),
    });
    struct Sink {
        std::shared_ptr<monitor::FrameSink> sink;
        std::function<std::string()> error;
    };
    struct Kind {
        const char* name;
        const char* stopped;        // what standard error says when it stops
        std::string firstBytes;     // what the reader gets first
        std::function<Sink(const std::string&, std::string&)> open;
    };
    const Kind kinds[] = {
        {"capture", "kelvaro64: capture stopped: ", std::string("\x0A\x0D\x0D\x0A", 4),
         [](const std::string& path, std::string& error) -> Sink {
             std::shared_ptr<monitor::CaptureFile> c = monitor::CaptureFile::Open(path, kClock, error);
             if (!c)
                 return {};
             return {c, [c] { return c->Error(); }};
         }},
        {"traffic log", "kelvaro64: traffic log stopped: ", "{\"t\":",
         [](const std::string& path, std::string& error) -> Sink {
             std::shared_ptr<monitor::TrafficJsonLog> l = monitor::TrafficJsonLog::Open(path, kClock, {}, error);
             if (!l)
                 return {};
             return {l, [l] { return l->Error(); }};
         }},
    };
    const std::string dir = TempDir();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        std::string error;
        EXPECT_FALSE(k.open(fifo, error).sink);
        EXPECT_EQ(error, fifo + ": a FIFO with no reader");
        error.clear();
        EXPECT_FALSE(k.open(dir, error).sink);
        EXPECT_EQ(error, dir + ": Is a directory");

        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        error.clear();
        const Sink sink = k.open(fifo, error);
        ASSERT_TRUE(sink.sink) << error;
        sink.sink->Take(frames);
        std::string got(k.firstBytes.size(), '\0');
        EXPECT_EQ(::read(reader, got.data(), got.size()), static_cast<ssize_t>(got.size()));
        EXPECT_EQ(got, k.firstBytes);

        ::close(reader);
        testing::internal::CaptureStderr();
        sink.sink->Take(frames);
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_EQ(sink.error(), fifo + ": Broken pipe");
        EXPECT_EQ(told, k.stopped + fifo + ": Broken pipe\n");
        // Told once: later frames are dropped quietly.
        testing::internal::CaptureStderr();
        sink.sink->Take(frames);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    std::filesystem::remove_all(dir);
}

// ---- captures -------------------------------------------------------------------------------

std::string Tshark(const std::string& args)
{
    std::string out;
    FILE* p = popen(("tshark " + args + " 2>/dev/null").c_str(), "r");
    if (!p)
        return out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p))
        out.append(buffer, n);
    pclose(p);
    return out;
}

TEST(CaptureFile, EveryLinkReadsBackInTshark)
{
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh --test)";
    const std::string dir = TempDir();
    const std::string path = dir + "/c.pcapng";
    std::string error;
    auto capture = monitor::CaptureFile::Open(path, kClock, error);
    ASSERT_TRUE(capture) << error;
    // IPv6 Modbus/TCP on 502 with a fault comment, IPv4-mapped peers on another endpoint,
    // Modbus/UDP, RTU over TCP, and an RTU frame of serial port 3; in two batches.
    const pomrel::NetAddress mapped{6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 2, 3}, 41000};
    const pomrel::NetAddress mappedLocal{6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 2, 1}, 1502};
    capture->Take(Decoded({
        Frame(kTcp, pomrel::kReceived, "000100000006010300100002", 1'000'000, V6(9, 50000), V6(1, 502), 1),
        Frame(kTcp, pomrel::kSent, "000100000003018306", 1'000'100, V6(9, 50000), V6(1, 502), 1, "busy answer"),
        Frame({LinkId::Kind::Tcp, 0, 2}, pomrel::kReceived, "00070000000601030000000a", 1'000'200, mapped, mappedLocal, 2),
    }));
    capture->Take(Decoded({
        Frame(kTcp, pomrel::kReceived, "000200000006010300100002", 1'000'300, V6(9, 50000), V6(1, 502), 1),
        Frame({LinkId::Kind::Udp, 0, 0}, pomrel::kReceived, "000500000006010400000001", 1'000'400, V4(8, 5000), V4(1, 502)),
        Frame({LinkId::Kind::RtuOverTcp, 0, 0}, pomrel::kReceived, "01030000000AC5CD", 1'000'500, V4(8, 5001), V4(1, 9502), 3),
        // Withheld answers put nothing on the wire, so no packet.
        Withheld(Frame({LinkId::Kind::RtuOverTcp, 0, 0}, pomrel::kSent, "", 1'000'550, V4(8, 5001), V4(1, 9502), 3, "drop"),
                 pomrel::Withheld::Closed),
        Frame({LinkId::Kind::Serial, 3, 0}, pomrel::kReceived, "1103006B00037687", 1'000'600),
        Withheld(Frame({LinkId::Kind::Serial, 3, 0}, pomrel::kSent, "", 1'000'650, {}, {}, 0, "silent"), pomrel::Withheld::NoReply),
    }));
    EXPECT_EQ(capture->Error(), "");
    EXPECT_EQ(capture->Packets(), 7u + 3 * 3);  // frames and a handshake per TCP stream
    capture.reset();

    const std::string fields = Tshark("-r " + path +
                                      " -o mbtcp.tcp.port:1502 -d udp.port==502,mbudp -d tcp.port==9502,mbrtu"
                                      " -o mbrtu.udp.port:5020 -Y modbus -T fields"
                                      " -e frame.interface_id -e ip.src -e ipv6.src -e tcp.srcport -e udp.srcport"
                                      " -e modbus.func_code -e modbus.exception_code -e frame.comment"
                                      " -e frame.time_epoch");
    EXPECT_EQ(fields,
              "0\t\t2001:db8::9\t50000\t\t3\t\t\t1767323045.000000000\n"
              "0\t\t2001:db8::1\t502\t\t3\t6\tfault: busy answer\t1767323045.000100000\n"
              "1\t10.1.2.3\t\t41000\t\t3\t\t\t1767323045.000200000\n"
              "0\t\t2001:db8::9\t50000\t\t3\t\t\t1767323045.000300000\n"
              "2\t192.168.0.8\t\t\t5000\t4\t\t\t1767323045.000400000\n"
              "3\t192.168.0.8\t\t5001\t\t3\t\t\t1767323045.000500000\n"
              "4\t192.0.2.100\t\t\t49155\t3\t\t\t1767323045.000600000\n")
        << "(interface, addresses, ports, function, exception, comment, time per Modbus frame)";
    const std::string interfaces = Tshark("-r " + path + " -T fields -e frame.interface_name");
    EXPECT_NE(interfaces.find("serial:3"), std::string::npos) << interfaces;
    EXPECT_NE(interfaces.find("tcp:2"), std::string::npos) << interfaces;
    const std::string analysis = Tshark("-r " + path + " -o mbtcp.tcp.port:1502 -T fields -e tcp.analysis.flags");
    EXPECT_EQ(analysis.find_first_not_of("\n"), std::string::npos) << "no TCP analysis complaints:\n" << analysis;
    std::filesystem::remove_all(dir);
}

// Every packet's IP header, TCP and UDP checksums are right, for payloads of even and odd length,
// over IPv4 and IPv6: tshark checks each one.
TEST(CaptureFile, ChecksumsAreRightForEveryPacket)
{
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh --test)";
    const std::string dir = TempDir();
    const std::string path = dir + "/c.pcapng";
    std::string error;
    auto capture = monitor::CaptureFile::Open(path, kClock, error);
    ASSERT_TRUE(capture) << error;
    const LinkId udp{LinkId::Kind::Udp, 0, 0}, rtuOverTcp{LinkId::Kind::RtuOverTcp, 0, 0};
    const LinkId serial{LinkId::Kind::Serial, 2, 0};
    // Payloads of 12 (a read), 9 (an exception answer) and 11 (a read's answer) bytes; RTU of 8
    // and 7; an ASCII frame written as RTU of 5; 18 bytes of noise.
    capture->Take(Decoded({
        Frame(kTcp, pomrel::kReceived, "000100000006010300100002", 1'000'000, V4(7, 40001), V4(1, 502), 1),
        Frame(kTcp, pomrel::kSent, "000100000003018302", 1'000'010, V4(7, 40001), V4(1, 502), 1),
        Frame(kTcp, pomrel::kReceived, "000200000006010300100001", 1'000'020, V6(7, 40002), V6(1, 502), 2),
        Frame(kTcp, pomrel::kSent, "0002000000050103020007", 1'000'030, V6(7, 40002), V6(1, 502), 2),
        Frame(udp, pomrel::kReceived, "000300000006010300100001", 1'000'040, V4(8, 5000), V4(1, 502)),
        Frame(udp, pomrel::kSent, "0003000000050103020007", 1'000'050, V4(8, 5000), V4(1, 502)),
        Frame(udp, pomrel::kReceived, "000400000006010300100001", 1'000'060, V6(8, 5001), V6(1, 502)),
        Frame(udp, pomrel::kSent, "000400000003018302", 1'000'070, V6(8, 5001), V6(1, 502)),
        Frame(rtuOverTcp, pomrel::kReceived, "01030000000AC5CD", 1'000'080, V4(9, 5002), V4(1, 9502), 3),
        Frame(rtuOverTcp, pomrel::kSent, "018302C0F1", 1'000'090, V4(9, 5002), V4(1, 9502), 3),
        Frame(serial, pomrel::kReceived, "1103006B00037687", 1'000'100),
        Frame(serial, pomrel::kSent, "1183044136", 1'000'110),
        Frame(serial, pomrel::kReceived, ":1103006B00037E\r\n", 1'000'120, {}, {}, 0, {}, true),
        // Noise whose UDP sum carries twice when folded to 16 bits.
        Frame(serial, pomrel::kDiscarded, "ffffffffffffffffffffffffffffffffa7b5", 1'000'130),
    }));
    EXPECT_EQ(capture->Error(), "");
    capture.reset();

    // Per packet: IPv4 header, TCP and UDP checksum status (1 good, 0 bad, 2 not checked).
    const std::string status = Tshark("-r " + path +
                                      " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE"
                                      " -T fields -e frame.number -e ip.checksum.status -e tcp.checksum.status"
                                      " -e udp.checksum.status");
    ASSERT_FALSE(status.empty());
    std::size_t packets = 0;
    for (std::size_t at = 0; at < status.size();) {
        const std::size_t end = status.find('\n', at);
        const std::string line = status.substr(at, end - at);
        at = end == std::string::npos ? status.size() : end + 1;
        ++packets;
        EXPECT_EQ(line.find('0', line.find('\t')), std::string::npos) << "a bad checksum: " << line;
        EXPECT_EQ(line.find('2', line.find('\t')), std::string::npos) << "a checksum not checked: " << line;
    }
    EXPECT_EQ(packets, 14u + 3 * 3) << status;  // frames and a handshake per TCP stream
    std::filesystem::remove_all(dir);
}

} // namespace
