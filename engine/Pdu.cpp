#include "engine/Pdu.h"

#include "engine/FunctionCodes.h"

#include <array>
#include <bit>
#include <cstring>

namespace pomrel {
namespace {

// Request layouts, offsets from the function code:
//   the four reads         fc | address(2) | quantity(2)
//   single coil, register  fc | address(2) | value(2)            (ENRON register: value(4))
//   multiple coils, regs   fc | address(2) | quantity(2) | byte count | data
//   mask write             fc | address(2) | and mask(2) | or mask(2)
//   read/write registers   fc | read address(2) | read qty(2) | write address(2) | write qty(2) | byte count | data
//   diagnostics            fc | sub-function(2) | data
//   read FIFO queue        fc | pointer address(2)
constexpr std::size_t kAddress = 1;
constexpr std::size_t kQuantity = 3;
constexpr std::size_t kValue = 3;
constexpr std::size_t kByteCount = 5;
constexpr std::size_t kWriteData = 6;
constexpr std::size_t kAndMask = 3;
constexpr std::size_t kOrMask = 5;
constexpr std::size_t kRwReadAddress = 1;
constexpr std::size_t kRwReadQuantity = 3;
constexpr std::size_t kRwWriteAddress = 5;
constexpr std::size_t kRwWriteQuantity = 7;
constexpr std::size_t kRwByteCount = 9;
constexpr std::size_t kRwData = 10;
constexpr std::size_t kSubFunction = 1;
constexpr std::size_t kFifoPointer = 1;

// Quantity limits of the Modbus application protocol; the ENRON ones keep a 32-bit answer in 253 bytes.
constexpr std::uint32_t kMaxReadBits = 2000;
constexpr std::uint32_t kMaxReadRegisters = 125;
constexpr std::uint32_t kMaxWriteBits = 1968;
constexpr std::uint32_t kMaxWriteRegisters = 123;
constexpr std::uint32_t kMaxRwRead = 125;
constexpr std::uint32_t kMaxRwWrite = 121;
constexpr std::uint32_t kMaxEnronRead = 62;
constexpr std::uint32_t kMaxEnronWrite = 61;
constexpr std::uint32_t kMaxFifoCount = 31;

constexpr char kSlaveIdText[] = "Kelvaro64";

// Written as one 16-bit move plus a byte swap: the compiler turns the byte-wise form into two
// byte moves per register, and these run once per register of every request.
std::uint16_t Be16(const std::uint8_t* p)
{
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little)
        v = static_cast<std::uint16_t>(v >> 8 | v << 8);
    return v;
}
void PutBe16(std::uint8_t* p, std::uint16_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        v = static_cast<std::uint16_t>(v >> 8 | v << 8);
    std::memcpy(p, &v, sizeof v);
}

// A multi-word access takes the block's value lock so that nobody sees half of a 32-bit value.
class RunLock {
public:
    RunLock(const Block& block, std::uint32_t words) : lock_(words > 1 ? block.valueLock : nullptr)
    {
        if (lock_ != nullptr)
            lock_->lock();
    }
    ~RunLock()
    {
        if (lock_ != nullptr)
            lock_->unlock();
    }
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    std::mutex* lock_;
};

// The block runs that cover one request's addresses, found once by Handler::Check and reused by
// the copy: a second walk of the block table per request costs as much as the copy itself. A few
// slots cover every ordinary request (one run, two across a block border); a request spread over
// more blocks than that is walked again.
struct Runs {
    struct Run {
        const Block* block;
        std::uint32_t first;  // first point in the block
        std::uint32_t points;
    };
    static constexpr std::size_t kSlots = 8;
    std::array<Run, kSlots> run;
    std::size_t size = 0;
    bool overflow = false;

    void Add(const Block& b, std::uint32_t first, std::uint32_t points)
    {
        if (size < kSlots)
            run[size++] = {&b, first, points};
        else
            overflow = true;
    }
};

class Handler {
public:
    Handler(const BlockTable& table, Addressing addressing, PduOptions options)
        : table_(table), blocks_(table.Blocks()), addressing_(addressing), enron_(options.enron), access_(options.access)
    {
    }

    std::size_t Serve(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);

    // A device answers only when it has a block and is switched on.
    bool DevicePresent() const
    {
        for (const Block& b : blocks_)
            if (Selected(b))
                return true;
        return false;
    }

private:
    bool Selected(const Block& b) const
    {
        if (!table_.DeviceActive(b.device))
            return false;
        switch (addressing_.kind) {
        case Addressing::Kind::Device: return b.device == addressing_.unit;
        case Addressing::Kind::Broadcast: return !addressing_.oneDevice || b.device == addressing_.unit;
        case Addressing::Kind::Absent: return false;
        case Addressing::Kind::AnyDevice: break;
        }
        return true;
    }

    bool HasType(std::uint8_t type) const
    {
        for (const Block& b : blocks_)
            if (b.type == type && Selected(b))
                return true;
        return false;
    }

    // Splits [address, address + count) into runs, each served by the first registered block that
    // holds its first address. visit(block, first point, points). False when an address is not held.
    template <class Visit>
    bool Walk(std::uint8_t type, std::uint32_t address, std::uint32_t count, Visit&& visit) const
    {
        const std::uint32_t end = address + count;
        if (end > 0x10000u)
            return false;
        // The table cannot change while the caller holds its mutex; plain pointers keep the
        // compiler from reloading the vector's bounds after every block's atomic device switch.
        const Block* const first = blocks_.data();
        const Block* const last = first + blocks_.size();
        std::uint32_t cur = address;
        while (cur < end) {
            const Block* found = first;
            // Cheapest test first: this loop runs over the table for every run.
            while (found != last && !(found->type == type && found->Holds(cur, enron_) && Selected(*found)))
                ++found;
            if (found == last)
                return false;
            const Block& block = *found;
            std::uint32_t runEnd = std::min(end, block.wireStart + block.Points(enron_));
            // An earlier block that starts inside this run takes over from its start.
            for (const Block* b = first; b != found; ++b) {
                if (b->type == type && b->wireStart > cur && b->wireStart < runEnd && b->Points(enron_) > 0 && Selected(*b))
                    runEnd = b->wireStart;
            }
            visit(block, cur - block.wireStart, runEnd - cur);
            cur = runEnd;
        }
        return true;
    }

    // Checks coverage and that every run has the same width. 0 when covered, else an exception code.
    // `runs`, when given, receives the runs for the copy that follows.
    std::uint8_t Check(std::uint8_t type, std::uint32_t address, std::uint32_t count, std::uint32_t& width,
                       Runs* runs = nullptr) const
    {
        width = 0;
        bool mixed = false;
        const bool covered = Walk(type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
            const std::uint32_t w = b.Width(enron_);
            if (width == 0)
                width = w;
            else if (w != width)
                mixed = true;
            if (runs != nullptr)
                runs->Add(b, first, n);
        });
        if (covered && !mixed)
            return 0;
        // A covered address implies a block of the type, so the type is only looked for on failure;
        // a missing type still outranks a missing address.
        return HasType(type) ? kIllegalDataAddress : kIllegalFunction;
    }

    // Calls visit(block, first point, points) for every run of `runs`, or walks the table again
    // when the request had more runs than `runs` holds.
    template <class Visit>
    void EachRun(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count, Visit&& visit) const
    {
        if (runs.overflow) {
            Walk(type, address, count, visit);
            return;
        }
        for (std::size_t i = 0; i < runs.size; ++i)
            visit(*runs.run[i].block, runs.run[i].first, runs.run[i].points);
    }

    std::size_t Exception(std::uint8_t function, std::uint8_t code, std::uint8_t* resp) const
    {
        if (addressing_.kind == Addressing::Kind::Broadcast)
            return 0;
        resp[0] = static_cast<std::uint8_t>(function | kExceptionBit);
        resp[1] = code;
        return 2;
    }

    std::size_t Answer(std::size_t size) const { return addressing_.kind == Addressing::Kind::Broadcast ? 0 : size; }

    std::size_t ReadBits(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t ReadRegisters(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t WriteCoil(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t WriteRegister(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t WriteCoils(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t WriteRegisters(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t MaskWrite(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t ReadWrite(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t Diagnostics(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t ReportSlaveId(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);
    std::size_t ReadFifo(const std::uint8_t* req, std::size_t size, std::uint8_t* resp);

    // Register runs to and from the wire; a point of width 2 is high word first on the wire,
    // held as low word at 2i and high word at 2i + 1.
    // `runs` comes from Check on the same type, address and count.
    void CopyOut(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count, std::uint8_t* out) const;
    void CopyIn(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count, const std::uint8_t* in) const;
    // Broadcast writes reach every block holding the address, whatever its device id.
    template <class Visit>
    void WalkAll(std::uint8_t type, std::uint32_t address, std::uint32_t count, Visit&& visit) const
    {
        const std::uint32_t end = std::min(address + count, 0x10000u);
        for (const Block& b : blocks_) {
            if (b.type != type || !Selected(b))
                continue;
            const std::uint32_t lo = std::max(address, b.wireStart);
            const std::uint32_t hi = std::min(end, b.wireStart + b.Points(enron_));
            if (lo < hi)
                visit(b, lo - b.wireStart, hi - lo, lo - address);
        }
    }
    template <class Visit>
    void ForWrite(std::uint8_t type, std::uint32_t address, std::uint32_t count, Visit&& visit) const
    {
        if (addressing_.kind == Addressing::Kind::Broadcast) {
            WalkAll(type, address, count, visit);
        } else {
            std::uint32_t offset = 0;
            Walk(type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
                visit(b, first, n, offset);
                offset += n;
            });
        }
    }

    // Access statistics of the points a served request reached.
    void MarkRead(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count) const
    {
        if (access_ != nullptr)
            EachRun(runs, type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
                access_->Read(b.stats + first, n);
            });
    }
    void MarkWrite(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count) const
    {
        if (access_ != nullptr)
            EachRun(runs, type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
                access_->Write(b.stats + first, n);
            });
    }
    void MarkWrite(const Block& b, std::uint32_t first, std::uint32_t n) const
    {
        if (access_ != nullptr)
            access_->Write(b.stats + first, n);
    }

    const BlockTable& table_;
    const std::vector<Block>& blocks_;
    Addressing addressing_;
    bool enron_;
    AccessMarks* access_;
};

// The width test stays out of the word loops: they run up to 125 times per request.
void CopyRunOut(const Block& b, std::uint32_t first, std::uint32_t n, std::uint32_t w, std::uint8_t* out)
{
    RunLock lock(b, n * w);
    const RegisterWord* word = b.memory + first * w;
    if (w == 2) {
        for (std::uint32_t i = 0; i < n; ++i, word += 2, out += 4) {
            PutBe16(out, word[1].load(std::memory_order_relaxed));
            PutBe16(out + 2, word[0].load(std::memory_order_relaxed));
        }
    } else {
        // Unrolled: the loop overhead would otherwise cost as much as the copy of a word.
#pragma GCC unroll 8
        for (std::uint32_t i = 0; i < n; ++i, out += 2)
            PutBe16(out, word[i].load(std::memory_order_relaxed));
    }
}

void CopyRunIn(const Block& b, std::uint32_t first, std::uint32_t n, std::uint32_t w, const std::uint8_t* src)
{
    RunLock lock(b, n * w);
    RegisterWord* word = b.memory + first * w;
    if (w == 2) {
        for (std::uint32_t i = 0; i < n; ++i, word += 2, src += 4) {
            word[1].store(Be16(src), std::memory_order_relaxed);
            word[0].store(Be16(src + 2), std::memory_order_relaxed);
        }
    } else {
#pragma GCC unroll 8
        for (std::uint32_t i = 0; i < n; ++i, src += 2)
            word[i].store(Be16(src), std::memory_order_relaxed);
    }
}

void Handler::CopyOut(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count,
                      std::uint8_t* out) const
{
    EachRun(runs, type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
        const std::uint32_t w = b.Width(enron_);
        CopyRunOut(b, first, n, w, out);
        out += n * 2 * w;
    });
}

void Handler::CopyIn(const Runs& runs, std::uint8_t type, std::uint32_t address, std::uint32_t count,
                     const std::uint8_t* in) const
{
    EachRun(runs, type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
        const std::uint32_t w = b.Width(enron_);
        CopyRunIn(b, first, n, w, in);
        in += n * 2 * w;
    });
}

std::size_t Handler::ReadBits(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (addressing_.kind == Addressing::Kind::Broadcast)
        return 0;
    if (size != 5)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint32_t count = Be16(req + kQuantity);
    if (count < 1 || count > kMaxReadBits)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint8_t type = FunctionCode{fc} == FunctionCode::ReadCoils ? kCoils : kInputs;
    std::uint32_t width = 0;
    Runs runs;
    if (const std::uint8_t code = Check(type, address, count, width, &runs))
        return Exception(fc, code, resp);
    const std::uint32_t bytes = (count + 7) / 8;
    resp[0] = fc;
    resp[1] = static_cast<std::uint8_t>(bytes);
    std::memset(resp + 2, 0, bytes);
    std::uint32_t bit = 0;
    EachRun(runs, type, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i, ++bit)
            if (b.memory[first + i].load(std::memory_order_relaxed) != 0)
                resp[2 + bit / 8] = static_cast<std::uint8_t>(resp[2 + bit / 8] | (1u << (bit % 8)));
    });
    MarkRead(runs, type, address, count);
    return 2 + bytes;
}

std::size_t Handler::ReadRegisters(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (addressing_.kind == Addressing::Kind::Broadcast)
        return 0;
    if (size != 5)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint32_t count = Be16(req + kQuantity);
    if (count < 1 || count > kMaxReadRegisters)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint8_t type = FunctionCode{fc} == FunctionCode::ReadHoldingRegisters ? kHoldingRegisters : kInputRegisters;
    std::uint32_t width = 0;
    Runs runs;
    if (const std::uint8_t code = Check(type, address, count, width, &runs))
        return Exception(fc, code, resp);
    if (width == 2 && count > kMaxEnronRead)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t bytes = count * 2 * width;
    resp[0] = fc;
    resp[1] = static_cast<std::uint8_t>(bytes);
    CopyOut(runs, type, address, count, resp + 2);
    MarkRead(runs, type, address, count);
    return 2 + bytes;
}

std::size_t Handler::WriteCoil(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (size != 5)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint16_t value = Be16(req + kValue);
    if (value != 0xFF00 && value != 0x0000)
        return Exception(fc, kIllegalDataValue, resp);
    if (addressing_.kind != Addressing::Kind::Broadcast) {
        std::uint32_t width = 0;
        if (const std::uint8_t code = Check(kCoils, address, 1, width))
            return Exception(fc, code, resp);
    }
    ForWrite(kCoils, address, 1, [&](const Block& b, std::uint32_t first, std::uint32_t, std::uint32_t) {
        b.memory[first].store(value == 0xFF00 ? 1 : 0, std::memory_order_relaxed);
        MarkWrite(b, first, 1);
    });
    std::memcpy(resp, req, 5);
    return Answer(5);
}

std::size_t Handler::WriteRegister(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    // The ENRON form carries a 32-bit value; which form applies depends on the register.
    if (size != 5 && !(enron_ && size == 7))
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint32_t valueBytes = static_cast<std::uint32_t>(size - kValue);
    if (addressing_.kind == Addressing::Kind::Broadcast) {
        ForWrite(kHoldingRegisters, address, 1, [&](const Block& b, std::uint32_t first, std::uint32_t, std::uint32_t) {
            if (b.Width(enron_) * 2 != valueBytes)
                return;
            RunLock lock(b, b.Width(enron_));
            if (valueBytes == 4) {
                b.memory[first * 2 + 1].store(Be16(req + kValue), std::memory_order_relaxed);
                b.memory[first * 2].store(Be16(req + kValue + 2), std::memory_order_relaxed);
            } else {
                b.memory[first].store(Be16(req + kValue), std::memory_order_relaxed);
            }
            MarkWrite(b, first, 1);
        });
        return 0;
    }
    std::uint32_t width = 0;
    Runs runs;
    if (const std::uint8_t code = Check(kHoldingRegisters, address, 1, width, &runs))
        return Exception(fc, code, resp);
    if (width * 2 != valueBytes)
        return Exception(fc, kIllegalDataValue, resp);
    CopyIn(runs, kHoldingRegisters, address, 1, req + kValue);
    MarkWrite(runs, kHoldingRegisters, address, 1);
    std::memcpy(resp, req, size);
    return size;
}

std::size_t Handler::WriteCoils(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (size < kWriteData || size != kWriteData + req[kByteCount])
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint32_t count = Be16(req + kQuantity);
    if (count < 1 || count > kMaxWriteBits || req[kByteCount] != (count + 7) / 8)
        return Exception(fc, kIllegalDataValue, resp);
    if (addressing_.kind != Addressing::Kind::Broadcast) {
        std::uint32_t width = 0;
        if (const std::uint8_t code = Check(kCoils, address, count, width))
            return Exception(fc, code, resp);
    }
    const std::uint8_t* bits = req + kWriteData;
    ForWrite(kCoils, address, count, [&](const Block& b, std::uint32_t first, std::uint32_t n, std::uint32_t offset) {
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t bit = offset + i;
            b.memory[first + i].store((bits[bit / 8] >> (bit % 8)) & 1u, std::memory_order_relaxed);
        }
        MarkWrite(b, first, n);
    });
    std::memcpy(resp, req, 5);
    return Answer(5);
}

std::size_t Handler::WriteRegisters(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (size < kWriteData || size != kWriteData + req[kByteCount])
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint32_t count = Be16(req + kQuantity);
    const std::uint32_t bytes = req[kByteCount];
    if (count < 1 || count > kMaxWriteRegisters || (bytes != count * 2 && !(enron_ && bytes == count * 4)))
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t width = bytes / (count * 2);
    if (addressing_.kind == Addressing::Kind::Broadcast) {
        // Only blocks whose width matches the data can take it.
        WalkAll(kHoldingRegisters, address, count,
                [&](const Block& b, std::uint32_t first, std::uint32_t n, std::uint32_t offset) {
                    if (b.Width(enron_) != width)
                        return;
                    const std::uint8_t* src = req + kWriteData + offset * 2 * width;
                    RunLock lock(b, n * width);
                    for (std::uint32_t i = 0; i < n; ++i) {
                        const std::uint32_t word = (first + i) * width;
                        if (width == 2) {
                            b.memory[word + 1].store(Be16(src), std::memory_order_relaxed);
                            b.memory[word].store(Be16(src + 2), std::memory_order_relaxed);
                        } else {
                            b.memory[word].store(Be16(src), std::memory_order_relaxed);
                        }
                        src += 2 * width;
                    }
                    MarkWrite(b, first, n);
                });
        return 0;
    }
    std::uint32_t held = 0;
    Runs runs;
    if (const std::uint8_t code = Check(kHoldingRegisters, address, count, held, &runs))
        return Exception(fc, code, resp);
    if (held != width || (width == 2 && count > kMaxEnronWrite))
        return Exception(fc, kIllegalDataValue, resp);
    CopyIn(runs, kHoldingRegisters, address, count, req + kWriteData);
    MarkWrite(runs, kHoldingRegisters, address, count);
    std::memcpy(resp, req, 5);
    return 5;
}

std::size_t Handler::MaskWrite(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (size != 7)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t address = Be16(req + kAddress);
    const std::uint16_t andMask = Be16(req + kAndMask);
    const std::uint16_t orMask = Be16(req + kOrMask);
    if (addressing_.kind != Addressing::Kind::Broadcast) {
        std::uint32_t width = 0;
        if (const std::uint8_t code = Check(kHoldingRegisters, address, 1, width))
            return Exception(fc, code, resp);
        if (width != 1)  // a 32-bit ENRON register has no 16-bit mask form
            return Exception(fc, kIllegalFunction, resp);
    }
    ForWrite(kHoldingRegisters, address, 1, [&](const Block& b, std::uint32_t first, std::uint32_t, std::uint32_t) {
        if (b.Width(enron_) != 1)
            return;
        // Read-modify-write: under the lock so that a concurrent writer's value is not lost.
        std::lock_guard lock(*b.valueLock);
        const std::uint16_t old = b.memory[first].load(std::memory_order_relaxed);
        b.memory[first].store(static_cast<std::uint16_t>((old & andMask) | (orMask & ~andMask)), std::memory_order_relaxed);
        MarkWrite(b, first, 1);
    });
    std::memcpy(resp, req, 7);
    return Answer(7);
}

std::size_t Handler::ReadWrite(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (addressing_.kind == Addressing::Kind::Broadcast)
        return 0;
    if (size < kRwData || size != kRwData + req[kRwByteCount])
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t readAddress = Be16(req + kRwReadAddress);
    const std::uint32_t readCount = Be16(req + kRwReadQuantity);
    const std::uint32_t writeAddress = Be16(req + kRwWriteAddress);
    const std::uint32_t writeCount = Be16(req + kRwWriteQuantity);
    if (readCount < 1 || readCount > kMaxRwRead || writeCount < 1 || writeCount > kMaxRwWrite ||
        req[kRwByteCount] != writeCount * 2)
        return Exception(fc, kIllegalDataValue, resp);
    std::uint32_t readWidth = 0;
    std::uint32_t writeWidth = 0;
    Runs writeRuns;
    Runs readRuns;
    if (const std::uint8_t code = Check(kHoldingRegisters, writeAddress, writeCount, writeWidth, &writeRuns))
        return Exception(fc, code, resp);
    if (const std::uint8_t code = Check(kHoldingRegisters, readAddress, readCount, readWidth, &readRuns))
        return Exception(fc, code, resp);
    if (readWidth != 1 || writeWidth != 1)  // no 32-bit ENRON form
        return Exception(fc, kIllegalFunction, resp);
    // The write happens before the read.
    CopyIn(writeRuns, kHoldingRegisters, writeAddress, writeCount, req + kRwData);
    resp[0] = fc;
    resp[1] = static_cast<std::uint8_t>(readCount * 2);
    CopyOut(readRuns, kHoldingRegisters, readAddress, readCount, resp + 2);
    MarkWrite(writeRuns, kHoldingRegisters, writeAddress, writeCount);
    MarkRead(readRuns, kHoldingRegisters, readAddress, readCount);
    return 2 + readCount * 2;
}

std::size_t Handler::Diagnostics(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (addressing_.kind == Addressing::Kind::Broadcast)
        return 0;
    if (size < kSubFunction + 2)
        return Exception(fc, kIllegalDataValue, resp);
    if (Be16(req + kSubFunction) != 0)  // only "return query data"
        return Exception(fc, kIllegalFunction, resp);
    std::memcpy(resp, req, size);
    return size;
}

std::size_t Handler::ReportSlaveId(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    const std::uint8_t fc = req[0];
    if (addressing_.kind == Addressing::Kind::Broadcast)
        return 0;
    if (size != 1)
        return Exception(fc, kIllegalDataValue, resp);
    //   fc | byte count | slave id | run indicator (0xFF = running) | identification text
    constexpr std::size_t textSize = sizeof(kSlaveIdText) - 1;
    resp[0] = fc;
    resp[1] = static_cast<std::uint8_t>(2 + textSize);
    resp[2] = addressing_.unit;
    resp[3] = 0xFF;
    std::memcpy(resp + 4, kSlaveIdText, textSize);
    return 4 + textSize;
}

std::size_t Handler::ReadFifo(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    //   answer: fc | byte count(2) | FIFO count(2) | values(2 each), the count being the pointer register
    const std::uint8_t fc = req[0];
    if (addressing_.kind == Addressing::Kind::Broadcast)
        return 0;
    if (size != 3)
        return Exception(fc, kIllegalDataValue, resp);
    const std::uint32_t pointer = Be16(req + kFifoPointer);
    std::uint32_t width = 0;
    Runs runs;
    if (const std::uint8_t code = Check(kHoldingRegisters, pointer, 1, width, &runs))
        return Exception(fc, code, resp);
    if (width != 1)  // no 32-bit ENRON form
        return Exception(fc, kIllegalFunction, resp);
    std::uint8_t countBytes[2];
    CopyOut(runs, kHoldingRegisters, pointer, 1, countBytes);
    const std::uint32_t count = Be16(countBytes);
    if (count > kMaxFifoCount)
        return Exception(fc, kIllegalDataValue, resp);
    runs = {};
    if (const std::uint8_t code = Check(kHoldingRegisters, pointer, count + 1, width, &runs))
        return Exception(fc, code, resp);
    if (width != 1)
        return Exception(fc, kIllegalFunction, resp);
    // The count and the values in one copy (under the block's value lock); the count read first
    // goes out, so that the answer's sizes agree with each other whatever a writer did since.
    CopyOut(runs, kHoldingRegisters, pointer, count + 1, resp + 3);
    MarkRead(runs, kHoldingRegisters, pointer, count + 1);
    resp[0] = fc;
    PutBe16(resp + 1, static_cast<std::uint16_t>(2 + 2 * count));
    PutBe16(resp + 3, static_cast<std::uint16_t>(count));
    return 5 + 2 * count;
}

std::size_t Handler::Serve(const std::uint8_t* req, std::size_t size, std::uint8_t* resp)
{
    if (size == 0 || size > kMaxPdu || !DevicePresent())
        return 0;
    switch (FunctionCode{req[0]}) {
    case FunctionCode::ReadCoils:
    case FunctionCode::ReadDiscreteInputs:
        return ReadBits(req, size, resp);
    case FunctionCode::ReadHoldingRegisters:
    case FunctionCode::ReadInputRegisters:
        return ReadRegisters(req, size, resp);
    case FunctionCode::WriteSingleCoil:
        return WriteCoil(req, size, resp);
    case FunctionCode::WriteSingleRegister:
        return WriteRegister(req, size, resp);
    case FunctionCode::WriteMultipleCoils:
        return WriteCoils(req, size, resp);
    case FunctionCode::WriteMultipleRegisters:
        return WriteRegisters(req, size, resp);
    case FunctionCode::MaskWriteRegister:
        return MaskWrite(req, size, resp);
    case FunctionCode::ReadWriteMultipleRegisters:
        return ReadWrite(req, size, resp);
    case FunctionCode::Diagnostics:
        return Diagnostics(req, size, resp);
    case FunctionCode::ReportSlaveId:
        return ReportSlaveId(req, size, resp);
    case FunctionCode::ReadFifoQueue:
        return ReadFifo(req, size, resp);
    default:
        return Exception(req[0] & ~kExceptionBit, kIllegalFunction, resp);
    }
}

} // namespace

std::size_t ServeRequest(const BlockTable& table, Addressing addressing, PduOptions options,
                         const std::uint8_t* request, std::size_t size, std::uint8_t* response)
{
    return Handler(table, addressing, options).Serve(request, size, response);
}

bool DeviceServed(const BlockTable& table, Addressing addressing)
{
    return Handler(table, addressing, {}).DevicePresent();
}

int LowestServedDevice(const BlockTable& table)
{
    int lowest = -1;
    for (const Block& b : table.Blocks())
        if (table.DeviceActive(b.device) && (lowest < 0 || b.device < lowest))
            lowest = b.device;
    return lowest;
}

} // namespace pomrel
