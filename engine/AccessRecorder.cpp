#include "engine/AccessRecorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace pomrel {
namespace {

// Open addressing with twice the entries' room in slots, so a probe ends after a few steps.
constexpr std::uint32_t kWriterSlots = AccessRecorder::kMaxWriters * 2;
constexpr std::uint32_t kUnservedSlots = AccessRecorder::kMaxUnserved * 2;
constexpr std::uint32_t kFunctionSlots = AccessRecorder::kMaxFunctions * 2;

std::uint64_t Mix(std::uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return x;
}

std::uint64_t LinkBits(const LinkId& link)
{
    const int number = link.kind == LinkId::Kind::Serial ? link.port : link.endpoint;
    return static_cast<std::uint64_t>(link.kind) << 13 | (static_cast<std::uint64_t>(number) & 0x1FFF);
}

bool SameWriter(const LinkId& a, const NetAddress& pa, const LinkId& b, const NetAddress* pb)
{
    if (a.kind != b.kind || a.port != b.port || a.endpoint != b.endpoint)
        return false;
    if (pb == nullptr)
        return pa.family == 0;
    return pa.family == pb->family && pa.port == pb->port && pa.bytes == pb->bytes;
}

// Unserved key: link (16 bits) | unit | function | first wire address | quantity.
std::uint64_t UnservedKey(const LinkId& link, std::uint8_t unit, std::uint8_t function, std::uint32_t address,
                          std::uint16_t quantity)
{
    const std::uint64_t wire = address == 0 ? 0 : (address - 1) & 0xFFFF;
    return LinkBits(link) << 48 | static_cast<std::uint64_t>(unit) << 40 | static_cast<std::uint64_t>(function) << 32 |
           wire << 16 | quantity;
}

const char* KindName(LinkId::Kind kind)
{
    switch (kind) {
    case LinkId::Kind::Tcp: return "tcp";
    case LinkId::Kind::Serial: return "serial";
    case LinkId::Kind::Udp: return "udp";
    case LinkId::Kind::RtuOverTcp: return "rtu-over-tcp";
    case LinkId::Kind::Tls: return "tls";
    }
    return "tcp";
}

} // namespace

std::int64_t WallClockUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string LinkText(const LinkId& link)
{
    std::string name = KindName(link.kind);
    if (link.kind == LinkId::Kind::Serial)
        return name + ":" + std::to_string(link.port);
    if (link.endpoint != 0)
        name += ":" + std::to_string(link.endpoint);
    return name;
}

std::string NetAddressText(const NetAddress& a)
{
    const auto& b = a.bytes;
    char text[64];
    const bool mapped = a.family == 6 && std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) &&
                        b[10] == 0xFF && b[11] == 0xFF;
    if (a.family == 4 || mapped) {
        const int o = mapped ? 12 : 0;
        std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[o], b[o + 1], b[o + 2], b[o + 3], a.port);
        return text;
    }
    if (a.family != 6)
        return {};
    // RFC 5952: lower case, the longest run of two or more zero groups as "::".
    std::uint16_t g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    int bestAt = -1, bestLen = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > bestLen) {
            bestAt = i;
            bestLen = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    std::string s = "[";
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            s += "::";
            i += bestLen - 1;
            continue;
        }
        if (s.back() != '[' && s.back() != ':')
            s += ':';
        std::snprintf(text, sizeof text, "%x", g[i]);
        s += text;
    }
    std::snprintf(text, sizeof text, "]:%u", a.port);
    return s + text;
}

AccessRecorder::AccessRecorder()
    : writers_(std::make_unique<Writer[]>(kMaxWriters)), writerIndex_(std::make_unique<std::uint16_t[]>(kWriterSlots)),
      unserved_(std::make_unique<UnservedEntry[]>(kMaxUnserved)),
      unservedIndex_(std::make_unique<std::uint16_t[]>(kUnservedSlots)),
      functions_(std::make_unique<Function[]>(kMaxFunctions)),
      functionIndex_(std::make_unique<std::uint16_t[]>(kFunctionSlots))
{
}

std::uint32_t AccessRecorder::WriterId(const LinkId& link, const NetAddress* peer)
{
    if (lastWriter_ != 0 && SameWriter(writers_[lastWriter_ - 1].link, writers_[lastWriter_ - 1].peer, link, peer))
        return lastWriter_;
    std::uint64_t h = LinkBits(link);
    if (peer != nullptr) {
        std::uint64_t bytes[2];
        std::memcpy(bytes, peer->bytes.data(), sizeof bytes);
        h = Mix(h ^ bytes[0]) ^ Mix(bytes[1] ^ (static_cast<std::uint64_t>(peer->port) << 8 | peer->family));
    }
    const std::uint32_t count = writerCount_.load(std::memory_order_relaxed);
    for (std::uint32_t slot = Mix(h) % kWriterSlots;; slot = (slot + 1) % kWriterSlots) {
        const std::uint16_t entry = writerIndex_[slot];
        if (entry == 0) {
            if (count == kMaxWriters)
                return lastWriter_ = kMaxWriters;  // the table is full: the last entry stands for the rest
            writers_[count].link = link;
            writers_[count].peer = peer != nullptr ? *peer : NetAddress{};
            writerCount_.store(count + 1, std::memory_order_release);
            writerIndex_[slot] = static_cast<std::uint16_t>(count + 1);
            return lastWriter_ = count + 1;
        }
        if (SameWriter(writers_[entry - 1].link, writers_[entry - 1].peer, link, peer))
            return lastWriter_ = entry;
    }
}

std::string AccessRecorder::WriterText(std::uint32_t id) const
{
    if (id == 0 || id > writerCount_.load(std::memory_order_acquire))
        return {};
    const Writer& w = writers_[id - 1];
    std::string text = LinkText(w.link);
    const std::string peer = NetAddressText(w.peer);
    if (!peer.empty())
        text += " " + peer;
    return text;
}

void AccessRecorder::CountFunction(LinkId::Kind kind, std::uint8_t unit, std::uint8_t function,
                                   std::uint8_t exceptionCode)
{
    const std::uint32_t key = 1u << 24 | static_cast<std::uint32_t>(kind) << 16 | unit << 8 | function;
    std::uint32_t entry = lastFunction_;
    if (entry == 0 || functions_[entry - 1].key.load(std::memory_order_relaxed) != key) {
        entry = 0;
        const std::uint32_t count = functionCount_.load(std::memory_order_relaxed);
        for (std::uint32_t slot = Mix(key) % kFunctionSlots;; slot = (slot + 1) % kFunctionSlots) {
            const std::uint16_t e = functionIndex_[slot];
            if (e == 0) {
                if (count == kMaxFunctions)
                    return;  // cannot happen with five link kinds and the functions a device answers
                functions_[count].key.store(key, std::memory_order_relaxed);
                functionCount_.store(count + 1, std::memory_order_release);
                functionIndex_[slot] = static_cast<std::uint16_t>(count + 1);
                entry = count + 1;
                break;
            }
            if (functions_[e - 1].key.load(std::memory_order_relaxed) == key) {
                entry = e;
                break;
            }
        }
        lastFunction_ = entry;
    }
    Function& f = functions_[entry - 1];
    f.requests.store(f.requests.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (exceptionCode != 0) {
        auto& slot = f.exceptions[exceptionCode < kExceptionSlots ? exceptionCode : 0];
        slot.store(slot.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
}

std::vector<FunctionCount> AccessRecorder::FunctionCounts() const
{
    const std::uint32_t count = functionCount_.load(std::memory_order_acquire);
    std::vector<FunctionCount> out;
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const Function& f = functions_[i];
        const std::uint32_t key = f.key.load(std::memory_order_relaxed);
        FunctionCount c;
        c.link = KindName(static_cast<LinkId::Kind>(key >> 16 & 0xFF));
        c.unit = static_cast<std::uint8_t>(key >> 8);
        c.function = static_cast<std::uint8_t>(key);
        c.requests = f.requests.load(std::memory_order_relaxed);
        for (std::size_t code = 0; code < kExceptionSlots; ++code)
            if (const std::uint64_t n = f.exceptions[code].load(std::memory_order_relaxed))
                c.exceptions.emplace_back(static_cast<std::uint8_t>(code), n);
        out.push_back(std::move(c));
    }
    std::sort(out.begin(), out.end(), [](const FunctionCount& a, const FunctionCount& b) {
        return std::tie(a.link, a.unit, a.function) < std::tie(b.link, b.unit, b.function);
    });
    return out;
}

void AccessRecorder::CountUnserved(const LinkId& link, std::uint8_t unit, std::uint8_t function, std::uint32_t address,
                                   std::uint16_t quantity, std::int64_t nowUs)
{
    unservedEvents_.store(unservedEvents_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const std::uint64_t key = UnservedKey(link, unit, function, address, quantity);
    const std::uint32_t count = unservedCount_.load(std::memory_order_relaxed);
    for (std::uint32_t slot = Mix(key) % kUnservedSlots;; slot = (slot + 1) % kUnservedSlots) {
        const std::uint16_t e = unservedIndex_[slot];
        if (e == 0) {
            if (count == kMaxUnserved) {
                unservedOverflow_.store(unservedOverflow_.load(std::memory_order_relaxed) + 1,
                                        std::memory_order_relaxed);
                return;
            }
            UnservedEntry& u = unserved_[count];
            u.key.store(key, std::memory_order_relaxed);
            u.count.store(1, std::memory_order_relaxed);
            u.firstUs.store(nowUs, std::memory_order_relaxed);
            u.lastUs.store(nowUs, std::memory_order_relaxed);
            unservedCount_.store(count + 1, std::memory_order_release);
            unservedIndex_[slot] = static_cast<std::uint16_t>(count + 1);
            return;
        }
        UnservedEntry& u = unserved_[e - 1];
        if (u.key.load(std::memory_order_relaxed) == key) {
            u.count.store(u.count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            u.lastUs.store(nowUs, std::memory_order_relaxed);
            return;
        }
    }
}

void AccessRecorder::ResetUnserved()
{
    unservedCount_.store(0, std::memory_order_release);
    std::fill_n(unservedIndex_.get(), kUnservedSlots, std::uint16_t{0});
    unservedOverflow_.store(0, std::memory_order_relaxed);
}

std::vector<UnservedRequest> AccessRecorder::Unserved() const
{
    const std::uint32_t count = unservedCount_.load(std::memory_order_acquire);
    std::vector<UnservedRequest> out;
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const UnservedEntry& u = unserved_[i];
        const std::uint64_t key = u.key.load(std::memory_order_relaxed);
        LinkId link;
        link.kind = static_cast<LinkId::Kind>(key >> 61);
        const int number = static_cast<int>(key >> 48 & 0x1FFF);
        (link.kind == LinkId::Kind::Serial ? link.port : link.endpoint) = number;
        UnservedRequest r;
        r.link = LinkText(link);
        r.unit = static_cast<std::uint8_t>(key >> 40);
        r.function = static_cast<std::uint8_t>(key >> 32);
        r.quantity = static_cast<std::uint16_t>(key);
        r.address = r.quantity == 0 && (key >> 16 & 0xFFFF) == 0 ? 0 : static_cast<std::uint32_t>((key >> 16 & 0xFFFF) + 1);
        r.count = u.count.load(std::memory_order_relaxed);
        r.firstUs = u.firstUs.load(std::memory_order_relaxed);
        r.lastUs = u.lastUs.load(std::memory_order_relaxed);
        out.push_back(std::move(r));
    }
    return out;
}

} // namespace pomrel
