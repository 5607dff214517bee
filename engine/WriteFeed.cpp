#include "engine/WriteFeed.h"

#include "engine/BlockTable.h"
#include "engine/FunctionCodes.h"
#include "engine/Pdu.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace pomrel {
namespace {

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

long Futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout)
{
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

// The block a write to `wire` of `type` landed in: the device's own, or for Modbus/TCP unit 0
// and 255 the first that holds it (as the request was served).
const Block* Landed(const BlockTable& blocks, const Addressing& addressing, std::uint8_t type, std::uint32_t wire,
                    bool enron)
{
    for (const Block& b : blocks.Blocks()) {
        if (b.type != type || !b.Holds(wire, enron))
            continue;
        if (addressing.kind == Addressing::Kind::AnyDevice || b.device == addressing.unit)
            return &b;
    }
    return nullptr;
}

} // namespace

void WriteFeed::Enable(bool on)
{
    if (on && slots_.load(std::memory_order_acquire) == nullptr) {
        std::lock_guard lock(making_);
        if (!storage_) {
            // Default-initialised: the pages are only touched as records arrive.
            storage_.reset(new WriteRecord[kSlots]);
            slots_.store(storage_.get(), std::memory_order_release);
        }
    }
    enabled_.store(on, std::memory_order_release);
}

void WriteFeed::Offer(const BlockTable& blocks, const LinkId& link, const NetAddress* peer, const Addressing& addressing,
                      const PduOptions& options, const std::uint8_t* pdu, std::size_t size, const std::uint8_t* response,
                      std::size_t responseSize)
{
    // Broadcasts get no answer to tell a stored write from a refused one; they are not handed over.
    if (responseSize == 0 || (response[0] & kExceptionBit) != 0 || size < 5)
        return;
    if (addressing.kind != Addressing::Kind::Device && addressing.kind != Addressing::Kind::AnyDevice)
        return;
    WriteRecord* slots = slots_.load(std::memory_order_acquire);
    if (slots == nullptr)
        return;
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= kSlots) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    WriteRecord& r = slots[head % kSlots];
    const std::uint8_t fc = pdu[0];
    std::uint32_t wire = Be16(pdu + 1);
    r.enron = false;
    switch (FunctionCode{fc}) {
    case FunctionCode::WriteSingleCoil:
        r.type = kCoils;
        r.count = 1;
        r.data[0] = pdu[3] == 0xFF ? 1 : 0;
        break;
    case FunctionCode::WriteSingleRegister:
        r.type = kHoldingRegisters;
        r.count = 1;
        r.data[0] = Be16(pdu + 3);
        if (size >= 7) {   // the ENRON form: one 32-bit value
            r.enron = true;
            r.data[1] = Be16(pdu + 5);
        }
        break;
    case FunctionCode::WriteMultipleCoils: {
        const std::uint16_t count = Be16(pdu + 3);
        if (count == 0 || count > WriteRecord::kMaxWords * 16 || size < 6u + (count + 7u) / 8u)
            return;
        r.type = kCoils;
        r.count = count;
        for (std::size_t w = 0; w < (count + 15u) / 16u; ++w)
            r.data[w] = 0;
        for (std::size_t i = 0; i < count; ++i)
            if ((pdu[6 + i / 8] >> (i % 8)) & 1)
                r.data[i / 16] = static_cast<std::uint16_t>(r.data[i / 16] | (1u << (i % 16)));
        break;
    }
    case FunctionCode::WriteMultipleRegisters:
    case FunctionCode::ReadWriteMultipleRegisters: {
        const bool both = FunctionCode{fc} == FunctionCode::ReadWriteMultipleRegisters;
        const std::size_t at = both ? 5 : 1;   // the write part's address and quantity
        if (size < at + 5)
            return;
        wire = Be16(pdu + at);
        const std::uint16_t count = Be16(pdu + at + 2);
        const std::size_t bytes = pdu[at + 4];
        const std::size_t words = bytes / 2;
        if (count == 0 || words > WriteRecord::kMaxWords || size < at + 5 + bytes ||
            (words != count && words != 2u * count))
            return;
        r.type = kHoldingRegisters;
        r.count = count;
        r.enron = words == 2u * count;
        for (std::size_t i = 0; i < words; ++i)
            r.data[i] = Be16(pdu + at + 5 + 2 * i);
        break;
    }
    case FunctionCode::MaskWriteRegister: {
        // The stored result, read back from the register the request changed.
        const Block* b = Landed(blocks, addressing, kHoldingRegisters, wire, options.enron);
        if (b == nullptr || b->memory == nullptr)
            return;
        r.type = kHoldingRegisters;
        r.count = 1;
        const std::uint32_t at = (wire - b->wireStart) * b->Width(options.enron);
        r.data[0] = b->memory[at].load(std::memory_order_relaxed);
        break;
    }
    default:
        return;
    }
    r.unit = addressing.unit;
    if (addressing.kind == Addressing::Kind::AnyDevice) {
        const Block* b = Landed(blocks, addressing, r.type, wire, options.enron);
        if (b == nullptr)
            return;
        r.unit = b->device;
    }
    r.function = fc;
    r.address = wire + 1;
    r.link = link;
    r.peer = peer != nullptr ? *peer : NetAddress{};
    r.answeredNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    head_.store(head + 1, std::memory_order_release);
    signal_.fetch_add(1, std::memory_order_seq_cst);
    if (sleeping_.load(std::memory_order_seq_cst) != 0)
        Futex(signal_, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

std::size_t WriteFeed::Take(std::span<WriteRecord> out)
{
    WriteRecord* slots = slots_.load(std::memory_order_acquire);
    if (slots == nullptr)
        return 0;
    std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::size_t n = 0;
    while (tail != head && n < out.size()) {
        const WriteRecord& r = slots[tail % kSlots];
        WriteRecord& o = out[n++];
        // Only the words in use: a single-register write copies a few bytes, not the whole record.
        o.link = r.link;
        o.peer = r.peer;
        o.answeredNs = r.answeredNs;
        o.unit = r.unit;
        o.type = r.type;
        o.function = r.function;
        o.enron = r.enron;
        o.address = r.address;
        o.count = r.count;
        const std::size_t words = r.type == kCoils ? (r.count + 15u) / 16u : r.ValueCount();
        std::copy(r.data.begin(), r.data.begin() + static_cast<std::ptrdiff_t>(words), o.data.begin());
        ++tail;
    }
    tail_.store(tail, std::memory_order_release);
    return n;
}

void WriteFeed::Wait(std::int64_t timeoutNs)
{
    const std::uint32_t seen = signal_.load(std::memory_order_seq_cst);
    sleeping_.store(1, std::memory_order_seq_cst);
    if (head_.load(std::memory_order_seq_cst) == tail_.load(std::memory_order_relaxed) && timeoutNs != 0) {
        if (timeoutNs < 0) {
            Futex(signal_, FUTEX_WAIT_PRIVATE, seen, nullptr);
        } else {
            const timespec ts{static_cast<std::time_t>(timeoutNs / 1'000'000'000), static_cast<long>(timeoutNs % 1'000'000'000)};
            Futex(signal_, FUTEX_WAIT_PRIVATE, seen, &ts);
        }
    }
    sleeping_.store(0, std::memory_order_relaxed);
}

void WriteFeed::Wake()
{
    signal_.fetch_add(1, std::memory_order_seq_cst);
    Futex(signal_, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

} // namespace pomrel
