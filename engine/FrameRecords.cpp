#include "engine/FrameRecords.h"

#include "engine/TrafficLog.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace pomrel {

std::int64_t MonotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FrameClockStart ReadFrameClocks()
{
    FrameClockStart c;
    c.monotonicUs = MonotonicUs();
    c.wallUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count();
    return c;
}

namespace {

// Words out of and into a slot; `bytes` need not be a multiple of eight.
void StoreWords(std::uint64_t* to, const void* from, std::size_t bytes)
{
    const auto* p = static_cast<const std::uint8_t*>(from);
    for (std::size_t i = 0; i < bytes; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, std::min<std::size_t>(8, bytes - i));
        std::atomic_ref<std::uint64_t>(to[i / 8]).store(w, std::memory_order_relaxed);
    }
}

void LoadWords(void* to, const std::uint64_t* from, std::size_t bytes)
{
    auto* p = static_cast<std::uint8_t*>(to);
    for (std::size_t i = 0; i < bytes; i += 8) {
        const std::uint64_t w =
            std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(from[i / 8])).load(std::memory_order_relaxed);
        std::memcpy(p + i, &w, std::min<std::size_t>(8, bytes - i));
    }
}

} // namespace

FrameRecordQueue::FrameRecordQueue() : clock_(ReadFrameClocks()) {}

FrameRecordQueue::~FrameRecordQueue() = default;

void FrameRecordQueue::Enable(bool on)
{
    std::lock_guard lock(enableMutex_);
    if (on && !storage_) {
        // Allocated at the first use only: an engine nobody taps costs nothing. The spill area
        // is left uninitialised: a page of it costs memory only once something lands on it.
        spill_.reset(new std::uint64_t[kSlots * kSpillWords]);
        storage_ = std::make_unique<Slot[]>(kSlots);
        slots_.store(storage_.get(), std::memory_order_release);
    }
    enabled_.store(on, std::memory_order_relaxed);
}

void FrameRecordQueue::Push(std::int64_t monotonicUs, const std::uint8_t* bytes, std::size_t size,
                            std::uint8_t attribute, const FrameSource& source, const std::string* fault,
                            Withheld withheld)
{
    Slot* slots = slots_.load(std::memory_order_acquire);
    if (!slots)
        return;
    const std::uint64_t index = head_.load(std::memory_order_relaxed);
    Slot& slot = slots[index % kSlots];
    std::uint64_t* spill = spill_.get() + (index % kSlots) * kSpillWords;
    std::atomic_ref<std::uint64_t> sequence(slot.sequence);
    sequence.store(2 * index + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);  // odd before any word of the new record

    Header h;
    h.monotonicUs = monotonicUs;
    h.stream = source.stream;
    h.size = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
    h.linkKind = source.link.kind;
    h.linkPort = source.link.port;
    h.linkEndpoint = source.link.endpoint;
    h.peerFamily = source.peer.family;
    h.peerPort = source.peer.port;
    std::memcpy(h.peer, source.peer.bytes.data(), sizeof h.peer);
    h.localFamily = source.local.family;
    h.localPort = source.local.port;
    std::memcpy(h.local, source.local.bytes.data(), sizeof h.local);
    h.ascii = source.ascii;
    h.attribute = attribute;
    h.withheld = withheld;
    h.kept = static_cast<std::uint16_t>(std::min(size, kKeptBytes));
    if (h.kept)
        StoreWords(h.kept <= kInlineBytes ? slot.bytes : spill + kSpillBytesAt, bytes, h.kept);
    if (fault) {
        std::size_t n = std::min(fault->size(), kKeptFaultName);
        while (n < fault->size() && n > 0 && (static_cast<unsigned char>((*fault)[n]) & 0xC0) == 0x80)
            --n;  // not in the middle of a UTF-8 character
        h.faultSize = static_cast<std::uint8_t>(n);
        StoreWords(spill + kSpillFaultAt, fault->data(), n);
    }
    h.roleSize = static_cast<std::uint8_t>(::strnlen(source.role.data(), source.role.size() - 1));
    if (h.roleSize)
        StoreWords(spill + kSpillRoleAt, source.role.data(), h.roleSize);
    StoreWords(slot.header, &h, sizeof h);

    sequence.store(2 * index + 2, std::memory_order_release);
    head_.store(index + 1, std::memory_order_release);
}

void FrameRecordQueue::PushWithheld(const FrameSource& source, const std::string* fault, Withheld withheld)
{
    if (Enabled())
        Push(MonotonicUs(), nullptr, 0, kSent, source, fault, withheld);
}

std::size_t FrameRecordQueue::Take(std::vector<FrameRecord>& out, std::size_t max)
{
    if (!slots_.load(std::memory_order_acquire) || max == 0)
        return 0;
    // Never more room than the queue holds records, whatever `max` says.
    const std::size_t at = out.size();
    out.resize(at + std::min(max, kSlots));
    const std::size_t taken = Take(std::span<FrameRecord>(out).subspan(at));
    out.resize(at + taken);
    return taken;
}

std::size_t FrameRecordQueue::Take(std::span<FrameRecord> out)
{
    Slot* slots = slots_.load(std::memory_order_acquire);
    const std::size_t max = out.size();
    if (!slots || max == 0)
        return 0;
    std::lock_guard lock(readMutex_);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::uint64_t next = next_.load(std::memory_order_relaxed);
    std::uint64_t lost = 0;
    if (head - next > kSlots) {
        lost += head - kSlots - next;  // overwritten before anybody came for them
        next = head - kSlots;
    }
    std::size_t taken = 0;
    for (; next < head && taken < max; ++next) {
        // The slots were last written on the engine's processor: ask for the ones after this
        // early, so their transfer overlaps this copy.
        const Slot& ahead = slots[(next + 4) % kSlots];
        __builtin_prefetch(&ahead);
        __builtin_prefetch(reinterpret_cast<const char*>(&ahead) + 64);
        const Slot& slot = slots[next % kSlots];
        const std::uint64_t* spill = spill_.get() + (next % kSlots) * kSpillWords;
        std::atomic_ref<std::uint64_t> sequence(const_cast<std::uint64_t&>(slot.sequence));
        const std::uint64_t wanted = 2 * next + 2;
        if (sequence.load(std::memory_order_acquire) != wanted) {
            ++lost;  // a newer record is being written or was written over this one
            continue;
        }
        Header h;
        LoadWords(&h, slot.header, sizeof h);
        // A record overwritten while copied may hold anything: lengths are bounded before use,
        // and the copy is thrown away below.
        const std::size_t kept = std::min<std::size_t>(h.kept, kKeptBytes);
        FrameRecord& r = out[taken];
        r.bytes.resize(kept);
        if (kept)
            LoadWords(r.bytes.data(), kept <= kInlineBytes ? slot.bytes : spill + kSpillBytesAt, kept);
        const std::size_t faultSize = std::min<std::size_t>(h.faultSize, kKeptFaultName);
        r.fault.resize(faultSize);
        if (faultSize)
            LoadWords(r.fault.data(), spill + kSpillFaultAt, faultSize);
        FrameSource& source = r.source;
        source.role = {};
        const std::size_t roleSize = std::min<std::size_t>(h.roleSize, source.role.size() - 1);
        if (roleSize)
            LoadWords(source.role.data(), spill + kSpillRoleAt, roleSize);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence.load(std::memory_order_relaxed) != wanted) {
            ++lost;
            continue;
        }
        r.monotonicUs = h.monotonicUs;
        r.attribute = h.attribute;
        r.withheld = h.withheld;
        r.size = h.size;
        source.link = LinkId{h.linkKind, h.linkPort, h.linkEndpoint};
        source.peer.family = h.peerFamily;
        source.peer.port = h.peerPort;
        std::memcpy(source.peer.bytes.data(), h.peer, sizeof h.peer);
        source.local.family = h.localFamily;
        source.local.port = h.localPort;
        std::memcpy(source.local.bytes.data(), h.local, sizeof h.local);
        source.stream = h.stream;
        source.ascii = h.ascii;
        ++taken;
    }
    next_.store(next, std::memory_order_relaxed);
    if (lost)
        dropped_.fetch_add(lost, std::memory_order_relaxed);
    return taken;
}

std::uint64_t FrameRecordQueue::Dropped() const
{
    // What readers found lost, and what is overwritten already but not yet come for.
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t next = next_.load(std::memory_order_relaxed);
    // (A reader may have gone past the head read here: then nothing is overwritten.)
    const std::uint64_t overwritten = head > next && head - next > kSlots ? head - next - kSlots : 0;
    return dropped_.load(std::memory_order_relaxed) + overwritten;
}

} // namespace pomrel
