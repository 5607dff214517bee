#include "monitor/CaptureFile.h"

#include "engine/Checksums.h"
#include "engine/FileBytes.h"
#include "engine/TrafficLog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace monitor {

namespace {

using pomrel::LinkId;
using pomrel::NetAddress;

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint16_t kLinkTypeRaw = 101;  // raw IPv4 or IPv6, told apart by the version nibble
constexpr std::uint16_t kOptEnd = 0, kOptComment = 1, kShbUserAppl = 4, kIfName = 2, kIfDescription = 3,
                        kIfTsresol = 9;
constexpr std::uint8_t kTcp = 6, kUdp = 17;
constexpr std::uint8_t kSyn = 0x02, kAck = 0x10, kPshAck = 0x18;
// A stream number is never given twice, but connections come and go; past this many the
// oldest ones are forgotten (a frame of one starts it over with a fresh handshake).
constexpr std::size_t kMaxStreams = 65536;

void Put16(std::vector<std::uint8_t>& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    Put16(b, static_cast<std::uint16_t>(v));
    Put16(b, static_cast<std::uint16_t>(v >> 16));
}
void Pad4(std::vector<std::uint8_t>& b)
{
    while (b.size() % 4)
        b.push_back(0);
}
void Option(std::vector<std::uint8_t>& b, std::uint16_t code, const void* value, std::size_t size)
{
    size = std::min<std::size_t>(size, 0xFFF0);
    Put16(b, code);
    Put16(b, static_cast<std::uint16_t>(size));
    const auto* p = static_cast<const std::uint8_t*>(value);
    b.insert(b.end(), p, p + size);
    Pad4(b);
}
void Option(std::vector<std::uint8_t>& b, std::uint16_t code, const std::string& text)
{
    Option(b, code, text.data(), text.size());
}
// Opens a block: type, and a length to be filled in by CloseBlock.
std::size_t OpenBlock(std::vector<std::uint8_t>& b, std::uint32_t type)
{
    const std::size_t at = b.size();
    Put32(b, type);
    Put32(b, 0);
    return at;
}
void CloseBlock(std::vector<std::uint8_t>& b, std::size_t at)
{
    Put32(b, 0);
    const auto length = static_cast<std::uint32_t>(b.size() - at);
    std::memcpy(b.data() + at + 4, &length, 4);  // pcapng is written little-endian here (the byte-order magic says so)
    std::memcpy(b.data() + b.size() - 4, &length, 4);
}

// The IP and transport headers of one packet, built in place (no allocation per frame).
struct Headers {
    std::array<std::uint8_t, 60> b{};
    std::size_t size = 0;
    void Put8(std::uint8_t v) { b[size++] = v; }
    void Put16(std::uint16_t v)
    {
        Put8(static_cast<std::uint8_t>(v >> 8));
        Put8(static_cast<std::uint8_t>(v));
    }
    void Put32(std::uint32_t v)
    {
        Put16(static_cast<std::uint16_t>(v >> 16));
        Put16(static_cast<std::uint16_t>(v));
    }
    void Put(const std::uint8_t* p, std::size_t n)
    {
        std::memcpy(b.data() + size, p, n);
        size += n;
    }
};

std::uint32_t Sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2)
        sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    return sum;
}
std::uint16_t Fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// An IPv4-mapped IPv6 address as the IPv4 address it is.
NetAddress Unmapped(NetAddress a)
{
    const auto& b = a.bytes;
    if (a.family == 6 && std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) &&
        b[10] == 0xFF && b[11] == 0xFF) {
        NetAddress v4 = a;
        v4.family = 4;
        v4.bytes = {};
        std::copy(b.begin() + 12, b.end(), v4.bytes.begin());
        return v4;
    }
    return a;
}

struct Transport {
    std::uint8_t protocol = kTcp;
    std::uint32_t seq = 0, ack = 0;  // TCP
    std::uint8_t flags = 0;          // TCP
};

// IP header and a TCP or UDP header from `from` to `to` for a payload of `wire` bytes (of which
// `kept` are at hand); the transport checksum is computed over the pseudo-header when the payload
// is whole.
Headers PacketHeaders(const NetAddress& from, const NetAddress& to, const Transport& t, const std::uint8_t* payload,
                      std::size_t kept, std::size_t wire)
{
    const bool v6 = from.family == 6;
    const std::size_t addressSize = v6 ? 16 : 4;
    const std::size_t transportHeader = t.protocol == kTcp ? 20 : 8;
    const std::size_t transportSize = transportHeader + wire;
    Headers h;
    if (v6) {
        h.Put32(0x60000000);
        h.Put16(static_cast<std::uint16_t>(transportSize));
        h.Put8(t.protocol);
        h.Put8(64);
    } else {
        h.Put32(0x45000000 | static_cast<std::uint32_t>(std::min<std::size_t>(20 + transportSize, 0xFFFF)));
        h.Put32(0x00004000);  // id 0, don't fragment
        h.Put8(64);
        h.Put8(t.protocol);
        h.Put16(0);
    }
    h.Put(from.bytes.data(), addressSize);
    h.Put(to.bytes.data(), addressSize);
    if (!v6) {
        const std::uint16_t check = Fold(Sum(h.b.data(), 20));
        h.b[10] = static_cast<std::uint8_t>(check >> 8);
        h.b[11] = static_cast<std::uint8_t>(check);
    }
    const std::size_t at = h.size;
    h.Put16(from.port);
    h.Put16(to.port);
    std::size_t checksumAt;
    if (t.protocol == kTcp) {
        h.Put32(t.seq);
        h.Put32(t.ack);
        h.Put8(5 << 4);
        h.Put8(t.flags);
        h.Put16(0xFFFF);  // window
        checksumAt = h.size;
        h.Put16(0);
        h.Put16(0);       // urgent pointer
    } else {
        h.Put16(static_cast<std::uint16_t>(transportSize));
        checksumAt = h.size;
        h.Put16(0);
    }
    if (kept == wire) {
        std::uint32_t sum = Sum(from.bytes.data(), addressSize);
        sum = Sum(to.bytes.data(), addressSize, sum);
        sum += t.protocol;
        sum += static_cast<std::uint32_t>(transportSize);
        sum = Sum(h.b.data() + at, transportHeader, sum);
        sum = Sum(payload, kept, sum);  // the transport headers are of even length
        std::uint16_t check = Fold(sum);
        if (t.protocol == kUdp && check == 0)
            check = 0xFFFF;
        h.b[checksumAt] = static_cast<std::uint8_t>(check >> 8);
        h.b[checksumAt + 1] = static_cast<std::uint8_t>(check);
    }
    return h;
}

// ":" hex(unit PDU LRC) CR LF -> unit PDU CRC; empty when it is not a whole ASCII frame.
std::vector<std::uint8_t> AsciiToRtu(const std::vector<std::uint8_t>& a)
{
    const std::size_t n = a.size();
    if (n < 9 || a[0] != ':' || a[n - 2] != '\r' || a[n - 1] != '\n' || (n - 3) % 2)
        return {};
    std::vector<std::uint8_t> bin;
    for (std::size_t i = 1; i + 1 < n - 2; i += 2) {
        const int hi = pomrel::AsciiHexValue(a[i]), lo = pomrel::AsciiHexValue(a[i + 1]);
        if (hi < 0 || lo < 0)
            return {};
        bin.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    bin.pop_back();  // the LRC
    const std::uint16_t crc = pomrel::Crc16(bin.data(), bin.size());
    bin.push_back(static_cast<std::uint8_t>(crc));
    bin.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bin;
}

NetAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port)
{
    NetAddress n;
    n.family = 4;
    n.bytes = {a, b, c, d};
    n.port = port;
    return n;
}

} // namespace

std::unique_ptr<CaptureFile> CaptureFile::Open(const std::string& path, pomrel::FrameClockStart clock, std::string& error)
{
    std::string why;
    std::FILE* file = pomrel::OpenOutputFile(path, why);
    if (!file) {
        error = path + ": " + why;
        return nullptr;
    }
    std::unique_ptr<CaptureFile> capture(new CaptureFile(file, path, clock));
    std::vector<std::uint8_t>& b = capture->block_;
    const std::size_t at = OpenBlock(b, kSectionHeader);
    Put32(b, 0x1A2B3C4D);  // byte-order magic
    Put16(b, 1);
    Put16(b, 0);
    Put32(b, 0xFFFFFFFF);  // section length: not given
    Put32(b, 0xFFFFFFFF);
    Option(b, kShbUserAppl, std::string("kelvaro64"));
    Put32(b, kOptEnd);
    CloseBlock(b, at);
    if (std::fwrite(b.data(), 1, b.size(), file) != b.size() || std::fflush(file) != 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    b.clear();
    return capture;
}

CaptureFile::CaptureFile(std::FILE* file, std::string path, pomrel::FrameClockStart clock)
    : file_(file), path_(std::move(path)), clock_(clock)
{
}

CaptureFile::~CaptureFile()
{
    if (file_)
        std::fclose(file_);
}

std::string CaptureFile::Error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

std::uint64_t CaptureFile::Packets() const
{
    std::lock_guard lock(mutex_);
    return packets_;
}

void CaptureFile::Fail(const std::string& why)
{
    std::lock_guard lock(mutex_);
    if (!error_.empty())
        return;
    error_ = path_ + ": " + why;
    // Told now, in the journal of a service, not only when somebody asks or the program ends.
    std::fprintf(stderr, "kelvaro64: capture stopped: %s\n", error_.c_str());
}

void CaptureFile::Take(std::span<const TappedFrame> frames)
{
    if (!file_)
        return;
    for (const TappedFrame& f : frames)
        WriteFrame(f);
    {
        std::lock_guard lock(mutex_);
        packets_ = written_;
    }
    if (block_.empty())
        return;
    const bool written = std::fwrite(block_.data(), 1, block_.size(), file_) == block_.size();
    if (!written || std::fflush(file_) != 0) {
        Fail(std::strerror(errno));
        std::fclose(file_);
        file_ = nullptr;
    }
    block_.clear();
}

std::uint32_t CaptureFile::Interface(const pomrel::FrameSource& source)
{
    const LinkId& link = source.link;
    const auto key = std::make_tuple(static_cast<int>(link.kind), link.port, link.endpoint);
    const auto it = interfaces_.find(key);
    if (it != interfaces_.end())
        return it->second;
    const auto id = static_cast<std::uint32_t>(interfaces_.size());
    interfaces_.emplace(key, id);
    const std::size_t at = OpenBlock(block_, kInterfaceDescription);
    Put16(block_, kLinkTypeRaw);
    Put16(block_, 0);
    Put32(block_, 0);  // no snapshot length
    Option(block_, kIfName, LinkName(link));
    std::string description;
    if (link.kind == LinkId::Kind::Serial)
        description = "Modbus " + std::string(source.ascii ? "ASCII (written as RTU)" : "RTU") + " on serial port " +
                      std::to_string(link.port) + ", as UDP to port " + std::to_string(kSerialUdpPort);
    else
        description = "Modbus server " + LinkName(link);
    Option(block_, kIfDescription, description);
    const std::uint8_t microseconds = 6;
    Option(block_, kIfTsresol, &microseconds, 1);
    Put32(block_, kOptEnd);
    CloseBlock(block_, at);
    return id;
}

void CaptureFile::WritePacket(std::uint32_t interface, std::int64_t wallUs, const std::uint8_t* headers,
                              std::size_t headerSize, const std::uint8_t* payload, std::size_t kept, std::size_t wire,
                              const std::string* const* comments, std::size_t commentCount)
{
    const std::size_t at = OpenBlock(block_, kEnhancedPacket);
    const auto ts = static_cast<std::uint64_t>(wallUs);
    Put32(block_, interface);
    Put32(block_, static_cast<std::uint32_t>(ts >> 32));
    Put32(block_, static_cast<std::uint32_t>(ts));
    Put32(block_, static_cast<std::uint32_t>(headerSize + kept));
    Put32(block_, static_cast<std::uint32_t>(std::min<std::size_t>(headerSize + wire, UINT32_MAX)));
    block_.insert(block_.end(), headers, headers + headerSize);
    if (kept)
        block_.insert(block_.end(), payload, payload + kept);
    Pad4(block_);
    for (std::size_t i = 0; i < commentCount; ++i)
        Option(block_, kOptComment, *comments[i]);
    if (commentCount)
        Put32(block_, kOptEnd);
    CloseBlock(block_, at);
    ++written_;
}

void CaptureFile::WriteFrame(const TappedFrame& frame)
{
    const pomrel::FrameRecord& r = frame.record;
    if (r.withheld != pomrel::Withheld::None)
        return;  // nothing went on the wire: no packet (the JSON log and the monitor tell of it)
    const pomrel::FrameSource& s = r.source;
    const std::uint32_t interface = Interface(s);
    const std::int64_t wallUs = clock_.WallUs(r.monotonicUs);
    const bool fromMaster = r.attribute != pomrel::kSent;
    // Comments are rare: strings only for the frames that have one.
    std::string faultComment, discardComment, asciiComment;
    const std::string* comments[3];
    std::size_t commentCount = 0;
    if (!r.fault.empty()) {
        faultComment = "fault: " + r.fault;
        comments[commentCount++] = &faultComment;
    }
    if (r.attribute == pomrel::kDiscarded) {
        discardComment = "discarded" + (frame.decoded.error.empty() ? std::string() : " (" + frame.decoded.error + ")");
        comments[commentCount++] = &discardComment;
    }

    const std::uint8_t* payload = r.bytes.data();
    std::size_t kept = r.bytes.size();
    std::size_t wire = std::max<std::size_t>(r.size, kept);

    if (s.link.kind == LinkId::Kind::Serial) {
        std::vector<std::uint8_t> rtu;
        if (s.ascii) {
            const std::size_t end = kept >= 2 && r.bytes[kept - 2] == '\r' ? kept - 2 : kept;
            asciiComment = "ascii: " + std::string(r.bytes.begin(), r.bytes.begin() + static_cast<std::ptrdiff_t>(end));
            comments[commentCount++] = &asciiComment;
            rtu = AsciiToRtu(r.bytes);
            if (!rtu.empty() && kept == wire) {
                payload = rtu.data();
                kept = wire = rtu.size();
            }
        }
        const auto port = static_cast<std::uint8_t>(std::clamp(s.link.port, 0, 255));
        const NetAddress master = V4(192, 0, 2, 100, static_cast<std::uint16_t>(49152 + port));
        const NetAddress server = V4(192, 0, 2, port, kSerialUdpPort);
        const Headers h = PacketHeaders(fromMaster ? master : server, fromMaster ? server : master, {kUdp}, payload,
                                        kept, wire);
        WritePacket(interface, wallUs, h.b.data(), h.size, payload, kept, wire, comments, commentCount);
        return;
    }

    NetAddress peer = Unmapped(s.peer);
    NetAddress local = Unmapped(s.local);
    if (peer.family != 4 && peer.family != 6)
        peer = V4(192, 0, 2, 100, peer.port);
    if (local.family != peer.family) {
        // Unknown, or of the other family: the unspecified address of the peer's family.
        const std::uint16_t port = local.port ? local.port : 502;
        local = NetAddress{};
        local.family = peer.family;
        local.port = port;
    }
    const NetAddress& from = fromMaster ? peer : local;
    const NetAddress& to = fromMaster ? local : peer;

    if (s.link.kind == LinkId::Kind::Udp) {
        const Headers h = PacketHeaders(from, to, {kUdp}, payload, kept, wire);
        WritePacket(interface, wallUs, h.b.data(), h.size, payload, kept, wire, comments, commentCount);
        return;
    }

    auto it = streams_.find(s.stream);
    if (it == streams_.end()) {
        if (streams_.size() >= kMaxStreams)
            streams_.erase(streams_.begin());  // the lowest number: the oldest connection
        // The connection's handshake, so that tools see it open and count bytes from its start.
        Stream st;
        st.masterSeq = static_cast<std::uint32_t>(s.stream * 0x9E3779B1u);
        st.serverSeq = static_cast<std::uint32_t>(~st.masterSeq);
        const Headers syn = PacketHeaders(peer, local, {kTcp, st.masterSeq, 0, kSyn}, nullptr, 0, 0);
        WritePacket(interface, wallUs, syn.b.data(), syn.size, nullptr, 0, 0, nullptr, 0);
        ++st.masterSeq;
        const Headers synAck = PacketHeaders(local, peer, {kTcp, st.serverSeq, st.masterSeq, kSyn | kAck}, nullptr, 0, 0);
        WritePacket(interface, wallUs, synAck.b.data(), synAck.size, nullptr, 0, 0, nullptr, 0);
        ++st.serverSeq;
        const Headers ack = PacketHeaders(peer, local, {kTcp, st.masterSeq, st.serverSeq, kAck}, nullptr, 0, 0);
        WritePacket(interface, wallUs, ack.b.data(), ack.size, nullptr, 0, 0, nullptr, 0);
        it = streams_.emplace(s.stream, st).first;
    }
    Stream& st = it->second;
    std::uint32_t& seq = fromMaster ? st.masterSeq : st.serverSeq;
    const std::uint32_t ack = fromMaster ? st.serverSeq : st.masterSeq;
    const Headers h = PacketHeaders(from, to, {kTcp, seq, ack, kPshAck}, payload, kept, wire);
    seq += static_cast<std::uint32_t>(wire);
    WritePacket(interface, wallUs, h.b.data(), h.size, payload, kept, wire, comments, commentCount);
}

} // namespace monitor
