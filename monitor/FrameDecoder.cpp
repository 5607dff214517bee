#include "monitor/FrameDecoder.h"

#include "engine/AccessRecorder.h"
#include "engine/Checksums.h"
#include "engine/TrafficLog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace monitor {

namespace {

using pomrel::LinkId;

constexpr std::uint8_t kExceptionBit = 0x80;

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

std::string Hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
    return b;
}

bool Fail(DecodedFrame& f, std::string why)
{
    f.ok = false;
    if (f.error.empty())
        f.error = std::move(why);
    return false;
}

std::string Wrong(int function, bool request, std::size_t size)
{
    return std::string(request ? "request" : "answer") + " of function " + std::to_string(function) + " with " +
           std::to_string(size) + " data bytes";
}

void Bits(DecodedFrame& f, const std::uint8_t* p, std::size_t count)
{
    f.values.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        f.values.push_back(static_cast<std::uint16_t>(p[i / 8] >> (i % 8) & 1u));
}

void Registers(DecodedFrame& f, const std::uint8_t* p, std::size_t bytes)
{
    f.values.reserve(bytes / 2);
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        f.values.push_back(Word(p + i));
}

// The PDU after the function code. Every layout is checked for its exact length.
//
//   1, 2, 3, 4   request: address(2) quantity(2)        answer: count(1) data(count)
//   5, 6         request = answer: address(2) value(2)
//   7, 11, 17    request: (none)                        answer: 7 status(1); 11 status(2) events(2);
//                                                               17 count(1) id(count)
//   8            request = answer: sub-function(2) data(2n)
//   12           request: (none)                        answer: count(1) status(2) events(2) messages(2) log(count-6)
//   15, 16       request: address(2) quantity(2) count(1) data(count)   answer: address(2) quantity(2)
//   22           request = answer: address(2) and(2) or(2)
//   23           request: read address(2) read quantity(2) write address(2) write quantity(2) count(1) data
//                answer: count(1) data(count)
//   24           request: address(2)                    answer: count(2) fifo count(2) values(2 each)
//   43           request: MEI type(1) (14: read code(1) object(1))
//                answer: MEI type(1) (14: read code(1) conformity(1) more(1) next(1) objects(1) {id len text}...)
bool DecodePdu(DecodedFrame& f, const std::uint8_t* d, std::size_t n)
{
    const int fc = f.function;
    const bool rq = f.request;
    auto wrong = [&] { return Fail(f, Wrong(fc, rq, n)); };
    switch (fc) {
    case 1: case 2: case 3: case 4:
        if (rq) {
            if (n != 4)
                return wrong();
            f.address = Word(d);
            f.quantity = Word(d + 2);
            return true;
        }
        if (n < 1 || d[0] + 1u != n)
            return wrong();
        if (fc <= 2) {
            Bits(f, d + 1, d[0] * 8u);
        } else {
            if (d[0] % 2)
                return wrong();
            Registers(f, d + 1, d[0]);
        }
        return true;
    case 5: case 6:
        if (n != 4)
            return wrong();
        f.address = Word(d);
        f.quantity = 1;
        if (fc == 5) {
            const std::uint16_t v = Word(d + 2);
            f.values = {static_cast<std::uint16_t>(v == 0xFF00 ? 1 : v)};
        } else {
            f.values = {Word(d + 2)};
        }
        return true;
    case 7: case 11: case 12: case 17:
        if (rq)
            return n == 0 || wrong();
        if (fc == 7) {
            if (n != 1)
                return wrong();
            f.values = {d[0]};
        } else if (fc == 11) {
            if (n != 4)
                return wrong();
            Registers(f, d, 4);
        } else if (fc == 12) {
            if (n < 7 || d[0] + 1u != n)
                return wrong();
            Registers(f, d + 1, 6);
            for (std::size_t i = 7; i < n; ++i)
                f.values.push_back(d[i]);
        } else {
            if (n < 1 || d[0] + 1u != n)
                return wrong();
            for (std::size_t i = 1; i < n; ++i)
                f.detail += Hex2(d[i]);
        }
        return true;
    case 8:
        if (n < 2 || n % 2)
            return wrong();
        f.subFunction = Word(d);
        Registers(f, d + 2, n - 2);
        return true;
    case 15: case 16:
        if (!rq) {
            if (n != 4)
                return wrong();
            f.address = Word(d);
            f.quantity = Word(d + 2);
            return true;
        }
        if (n < 5 || d[4] + 5u != n)
            return wrong();
        f.address = Word(d);
        f.quantity = Word(d + 2);
        if (fc == 15) {
            if (*f.quantity > d[4] * 8u)
                return wrong();
            Bits(f, d + 5, *f.quantity);
        } else {
            if (d[4] % 2)
                return wrong();
            Registers(f, d + 5, d[4]);
        }
        return true;
    case 22:
        if (n != 6)
            return wrong();
        f.address = Word(d);
        f.quantity = 1;
        Registers(f, d + 2, 4);
        return true;
    case 23:
        if (!rq) {
            if (n < 1 || d[0] + 1u != n || d[0] % 2)
                return wrong();
            Registers(f, d + 1, d[0]);
            return true;
        }
        if (n < 9 || d[8] + 9u != n || d[8] % 2)
            return wrong();
        f.address = Word(d);
        f.quantity = Word(d + 2);
        f.writeAddress = Word(d + 4);
        f.writeQuantity = Word(d + 6);
        Registers(f, d + 9, d[8]);
        return true;
    case 24:
        if (rq) {
            if (n != 2)
                return wrong();
            f.address = Word(d);
            return true;
        }
        if (n < 4 || Word(d) + 2u != n || Word(d + 2) * 2u + 2u != Word(d))
            return wrong();
        f.quantity = Word(d + 2);
        Registers(f, d + 4, n - 4);
        return true;
    case 43: {
        if (n < 1)
            return wrong();
        f.subFunction = d[0];
        if (d[0] != 14)
            return true;  // another MEI type: nothing more to say of it
        if (rq) {
            if (n != 3)
                return wrong();
            f.address = d[2];
            f.detail = "read code " + std::to_string(d[1]);
            return true;
        }
        if (n < 6)
            return wrong();
        f.quantity = d[5];
        std::size_t at = 6;
        for (unsigned i = 0; i < d[5]; ++i) {
            if (at + 2 > n || at + 2 + d[at + 1] > n)
                return wrong();
            if (!f.detail.empty())
                f.detail += "; ";
            f.detail += Hex2(d[at]) + "=" + std::string(reinterpret_cast<const char*>(d + at + 2), d[at + 1]);
            if (i == 0)
                f.address = d[at];
            at += 2 + d[at + 1];
        }
        if (at != n)
            return wrong();
        return true;
    }
    default:
        return true;  // a function not served: the engine answers it with exception 1
    }
}

// Unit, function code byte and the rest; `pdu` points at the function code.
bool DecodeAdu(DecodedFrame& f, std::uint8_t unit, const std::uint8_t* pdu, std::size_t size)
{
    f.unit = unit;
    if (size < 1)
        return Fail(f, "no function code");
    const std::uint8_t code = pdu[0];
    f.function = code & 0x7F;
    if (code & kExceptionBit) {
        if (f.request)
            return Fail(f, "a request with the exception bit set");
        if (size != 2)
            return Fail(f, "exception answer of " + std::to_string(size) + " bytes");
        f.exception = pdu[1];
        return true;
    }
    return DecodePdu(f, pdu + 1, size - 1);
}

//   transaction(2) protocol(2) length(2) unit(1) PDU(length - 1)
bool DecodeMbap(DecodedFrame& f, const std::uint8_t* b, std::size_t n)
{
    if (n < 8)
        return Fail(f, "MBAP header incomplete (" + std::to_string(n) + " bytes)");
    f.transactionId = Word(b);
    if (Word(b + 2) != 0)
        return Fail(f, "protocol id " + std::to_string(Word(b + 2)) + " is not Modbus");
    if (Word(b + 4) != n - 6)
        return Fail(f, "MBAP length " + std::to_string(Word(b + 4)) + " for " + std::to_string(n - 6) + " bytes");
    return DecodeAdu(f, b[6], b + 7, n - 7);
}

//   unit(1) PDU CRC(2, low byte first)
bool DecodeRtu(DecodedFrame& f, const std::uint8_t* b, std::size_t n)
{
    if (n < 4)
        return Fail(f, "RTU frame of " + std::to_string(n) + " bytes");
    const std::uint16_t crc = pomrel::Crc16(b, n - 2);
    const std::uint16_t wire = static_cast<std::uint16_t>(b[n - 2] | b[n - 1] << 8);
    f.check = crc == wire ? DecodedFrame::Check::Good : DecodedFrame::Check::Bad;
    const bool fields = DecodeAdu(f, b[0], b + 1, n - 3);
    if (f.check == DecodedFrame::Check::Bad) {
        char why[64];
        std::snprintf(why, sizeof why, "bad CRC %04X (expected %04X)", wire, crc);
        f.error = why;  // before any field complaint: the frame was spoilt on the way
        return Fail(f, why);
    }
    return fields;
}

//   ':' hex(unit PDU LRC) CR LF
bool DecodeAscii(DecodedFrame& f, const std::uint8_t* b, std::size_t n)
{
    if (n < 9 || b[0] != ':' || b[n - 2] != '\r' || b[n - 1] != '\n' || (n - 3) % 2)
        return Fail(f, "not an ASCII frame (':' hex pairs CR LF)");
    std::vector<std::uint8_t> bin;
    bin.reserve((n - 3) / 2);
    for (std::size_t i = 1; i + 1 < n - 2; i += 2) {
        const int hi = pomrel::AsciiHexValue(b[i]), lo = pomrel::AsciiHexValue(b[i + 1]);
        if (hi < 0 || lo < 0)
            return Fail(f, "not a hex digit at character " + std::to_string(hi < 0 ? i : i + 1));
        bin.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    const std::uint8_t lrc = pomrel::Lrc(bin.data(), bin.size() - 1);
    f.check = lrc == bin.back() ? DecodedFrame::Check::Good : DecodedFrame::Check::Bad;
    const bool fields = DecodeAdu(f, bin[0], bin.data() + 1, bin.size() - 2);
    if (f.check == DecodedFrame::Check::Bad) {
        const std::string why = "bad LRC " + Hex2(bin.back()) + " (expected " + Hex2(lrc) + ")";
        f.error = why;
        return Fail(f, why);
    }
    return fields;
}

bool PairedByOrder(const LinkId& link) { return link.kind == LinkId::Kind::Serial || link.kind == LinkId::Kind::RtuOverTcp; }

} // namespace

void DecodeFrame(const pomrel::FrameRecord& record, DecodedFrame& f)
{
    // Start afresh but keep the storage of the texts and values: the tap decodes into the same
    // frames batch after batch, and allocating per frame is most of what decoding would cost.
    std::vector<std::uint16_t> values = std::move(f.values);
    std::string error = std::move(f.error), detail = std::move(f.detail);
    values.clear();
    error.clear();
    detail.clear();
    f = DecodedFrame{};
    f.values = std::move(values);
    f.error = std::move(error);
    f.detail = std::move(detail);
    f.request = record.attribute != pomrel::kSent;
    if (record.withheld != pomrel::Withheld::None) {
        f.request = false;
        Fail(f, record.withheld == pomrel::Withheld::Closed ? "closed" : "no reply");
        return;
    }
    const std::uint8_t* b = record.bytes.data();
    const std::size_t n = record.bytes.size();
    if (n < record.size) {
        Fail(f, "only the first " + std::to_string(n) + " of " + std::to_string(record.size) + " bytes kept");
        return;
    }
    bool ok = false;
    switch (record.source.link.kind) {
    case LinkId::Kind::Tcp:
    case LinkId::Kind::Udp:
    case LinkId::Kind::Tls:
        ok = DecodeMbap(f, b, n);
        break;
    case LinkId::Kind::RtuOverTcp:
        ok = DecodeRtu(f, b, n);
        break;
    case LinkId::Kind::Serial:
        ok = record.source.ascii ? DecodeAscii(f, b, n) : DecodeRtu(f, b, n);
        break;
    }
    f.ok = ok;
    if (record.attribute == pomrel::kDiscarded) {
        f.ok = false;
        f.error = f.error.empty() ? "discarded" : "discarded: " + f.error;
    }
}

DecodedFrame DecodeFrame(const pomrel::FrameRecord& record)
{
    DecodedFrame f;
    DecodeFrame(record, f);
    return f;
}

DecodedFrame FrameDecoder::Decode(const pomrel::FrameRecord& record)
{
    DecodedFrame f;
    Decode(record, f);
    return f;
}

FrameDecoder::Key FrameDecoder::KeyOf(const pomrel::FrameRecord& record, int transaction) const
{
    const pomrel::FrameSource& s = record.source;
    const bool udp = s.link.kind == LinkId::Kind::Udp;
    Key key;
    key.kind = static_cast<int>(s.link.kind);
    key.where = s.link.kind == LinkId::Kind::Serial ? s.link.port : s.link.endpoint;
    key.stream = udp ? 0 : s.stream;
    if (udp) {
        key.peer = s.peer.bytes;
        key.peerPort = s.peer.port;
    }
    key.transaction = PairedByOrder(s.link) ? -1 : transaction;
    return key;
}

// On a connection a master reads an answer sent in two parts as one: the first part waits here
// for the second, and the answer decodes (and pairs) when it is whole.
bool FrameDecoder::JoinWithHeldPart(const pomrel::FrameRecord& record, DecodedFrame& f, bool& held)
{
    held = false;
    const LinkId::Kind kind = record.source.link.kind;
    if (record.attribute != pomrel::kSent || record.fault.empty() || record.withheld != pomrel::Withheld::None ||
        !(kind == LinkId::Kind::Tcp || kind == LinkId::Kind::Tls || kind == LinkId::Kind::RtuOverTcp))
        return false;
    const Key connection = KeyOf(record, -1);
    const auto it = held_.find(connection);
    if (it != held_.end()) {
        joined_.monotonicUs = record.monotonicUs;
        joined_.attribute = record.attribute;
        joined_.withheld = record.withheld;
        joined_.source = record.source;
        joined_.fault = record.fault;
        joined_.bytes = it->second;
        joined_.bytes.insert(joined_.bytes.end(), record.bytes.begin(), record.bytes.end());
        joined_.size = static_cast<std::uint32_t>(joined_.bytes.size());
        held_.erase(it);
        DecodeFrame(joined_, scratch_);
        if (scratch_.ok) {
            std::swap(f, scratch_);
            return true;
        }
    }
    if (!f.ok && record.bytes.size() == record.size && held_.size() < kMaxPending) {
        held_[connection] = record.bytes;
        held = true;
    }
    return false;
}

void FrameDecoder::PairWithheld(const pomrel::FrameRecord& record, DecodedFrame& f)
{
    Key connection = last_.key;
    connection.transaction = -1;
    if (!last_.valid || !(KeyOf(record, -1) == connection))
        return;
    last_.valid = false;
    const Open& open = last_.open;
    f.unit = last_.unit;
    f.function = open.function;
    f.transactionId = last_.transactionId;
    f.address = open.address;
    f.quantity = open.quantity;
    f.rttUs = record.monotonicUs - open.monotonicUs;
    const auto it = pending_.find(last_.key);
    if (it != pending_.end() && it->second.serial == open.serial)
        pending_.erase(it);
}

void FrameDecoder::Decode(const pomrel::FrameRecord& record, DecodedFrame& f)
{
    DecodeFrame(record, f);
    if (record.withheld != pomrel::Withheld::None)
        return PairWithheld(record, f);
    bool held = false;
    const bool joined = JoinWithHeldPart(record, f, held);
    if (record.attribute == pomrel::kDiscarded || f.function < 0 || held)
        return;
    const Key key = KeyOf(joined ? joined_ : record, f.transactionId);
    if (f.request) {
        last_.key = key;
        last_.open = Remember(key, Open{record.monotonicUs, f.function, f.address, f.quantity, 0});
        last_.unit = f.unit;
        last_.transactionId = f.transactionId;
        last_.valid = true;
        return;
    }
    last_.valid = false;
    const auto it = pending_.find(key);
    if (it == pending_.end() || it->second.function != f.function)
        return;
    const Open& open = it->second;
    f.rttUs = record.monotonicUs - open.monotonicUs;
    // An answer carries only its values, an exception answer not even those: where they came
    // from is the request's.
    if (f.exception) {
        f.address = open.address;
        f.quantity = open.quantity;
    }
    if (!f.exception && !f.address && open.address && f.function != 24)
        f.address = open.address;
    if (!f.exception && !f.quantity && open.quantity) {
        f.quantity = open.quantity;
        if ((f.function == 1 || f.function == 2) && f.values.size() > *open.quantity)
            f.values.resize(*open.quantity);  // the padding bits of the last byte
    }
    pending_.erase(it);
}

std::size_t FrameDecoder::KeyHash::operator()(const Key& k) const
{
    // A word at a time, each folded in by a multiply (the pending table holds a few entries per
    // master, and every frame looks it up once or twice).
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, k.peer.data(), 8);
    std::memcpy(&b, k.peer.data() + 8, 8);
    const std::uint64_t words[] = {static_cast<std::uint64_t>(k.kind) << 32 | static_cast<std::uint32_t>(k.where),
                                   k.stream, a, b,
                                   static_cast<std::uint64_t>(k.peerPort) << 32 | static_cast<std::uint32_t>(k.transaction)};
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (const std::uint64_t w : words) {
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    return static_cast<std::size_t>(h);
}

FrameDecoder::Open FrameDecoder::Remember(const Key& key, const Open& open)
{
    const std::uint64_t serial = nextSerial_++;
    Open entry = open;
    entry.serial = serial;
    pending_[key] = entry;
    order_.emplace_back(key, serial);
    auto stale = [this](const std::pair<Key, std::uint64_t>& e) {
        const auto it = pending_.find(e.first);
        return it == pending_.end() || it->second.serial != e.second;
    };
    while (!order_.empty() && stale(order_.front()))
        order_.pop_front();
    while (pending_.size() > kMaxPending) {
        pending_.erase(order_.front().first);  // the oldest unanswered request is forgotten
        order_.pop_front();
        while (!order_.empty() && stale(order_.front()))
            order_.pop_front();
    }
    if (order_.size() > 2 * kMaxPending)
        order_.erase(std::remove_if(order_.begin(), order_.end(), stale), order_.end());
    return entry;
}

std::string FunctionName(int function)
{
    switch (function) {
    case 1: return "Read Coils";
    case 2: return "Read Discrete Inputs";
    case 3: return "Read Holding Registers";
    case 4: return "Read Input Registers";
    case 5: return "Write Single Coil";
    case 6: return "Write Single Register";
    case 7: return "Read Exception Status";
    case 8: return "Diagnostics";
    case 11: return "Get Comm Event Counter";
    case 12: return "Get Comm Event Log";
    case 15: return "Write Multiple Coils";
    case 16: return "Write Multiple Registers";
    case 17: return "Report Server ID";
    case 20: return "Read File Record";
    case 21: return "Write File Record";
    case 22: return "Mask Write Register";
    case 23: return "Read/Write Multiple Registers";
    case 24: return "Read FIFO Queue";
    case 43: return "Read Device Identification";
    default: return "Function " + std::to_string(function);
    }
}

// The engine names links and peers for the access statistics; the monitor says the same.
std::string LinkName(const LinkId& link) { return pomrel::LinkText(link); }

std::string RoleText(const pomrel::FrameSource& source)
{
    const auto& r = source.role;
    return std::string(r.data(), std::find(r.begin(), r.end(), '\0'));
}

std::string PeerText(const pomrel::NetAddress& a) { return pomrel::NetAddressText(a); }

std::string HexText(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        s[2 * i] = digits[bytes[i] >> 4];
        s[2 * i + 1] = digits[bytes[i] & 15];
    }
    return s;
}

} // namespace monitor
