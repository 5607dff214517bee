#include "engine/Framing.h"

#include "engine/Checksums.h"
#include "engine/FunctionCodes.h"

#include <algorithm>
#include <cstring>

namespace pomrel {

// ---------------------------------------------------------------- RTU

std::size_t RtuDecoder::Feed(const std::uint8_t* data, std::size_t n)
{
    if (consumed_ > 0) {
        std::memmove(buf_.data(), buf_.data() + consumed_, len_ - consumed_);
        len_ -= consumed_;
        consumed_ = 0;
    }
    final_ = false;
    const std::size_t take = std::min(n, buf_.size() - len_);
    std::memcpy(buf_.data() + len_, data, take);
    len_ += take;
    return take;
}

void RtuDecoder::Reset()
{
    len_ = consumed_ = 0;
    final_ = false;
}

RtuDecoder::Scan RtuDecoder::TryAt(std::size_t offset, std::size_t& length) const
{
    const std::uint8_t* p = buf_.data() + offset;
    const std::size_t avail = len_ - offset;
    if (avail < 2)
        return Scan::Incomplete;
    // Request sizes by function code: fixed, or 9 / 13 bytes plus the byte count field. A
    // Diagnostics echo with other than two data bytes is framed by silence.
    std::size_t candidates[2] = {0, 0};
    switch (FunctionCode{p[1]}) {
    case FunctionCode::ReadCoils:
    case FunctionCode::ReadDiscreteInputs:
    case FunctionCode::ReadHoldingRegisters:
    case FunctionCode::ReadInputRegisters:
    case FunctionCode::WriteSingleCoil:
    case FunctionCode::Diagnostics:
        candidates[0] = 8;
        break;
    case FunctionCode::WriteSingleRegister:
        candidates[0] = 8;
        if (enron_)
            candidates[1] = 10;
        break;
    case FunctionCode::WriteMultipleCoils:
    case FunctionCode::WriteMultipleRegisters:
        if (avail < 7)
            return Scan::Incomplete;
        candidates[0] = 9 + p[6];
        break;
    case FunctionCode::ReadExceptionStatus:
    case FunctionCode::GetCommEventCounter:
    case FunctionCode::GetCommEventLog:
    case FunctionCode::ReportSlaveId:
        candidates[0] = 4;
        break;
    case FunctionCode::ReadFifoQueue:
        candidates[0] = 6;
        break;
    case FunctionCode::EncapsulatedInterface:  // Read Device Identification: MEI type, read code, object id
        candidates[0] = 7;
        break;
    case FunctionCode::MaskWriteRegister:
        candidates[0] = 10;
        break;
    case FunctionCode::ReadWriteMultipleRegisters:
        if (avail < 11)
            return Scan::Incomplete;
        candidates[0] = 13 + p[10];
        break;
    default:
        return Scan::Invalid;
    }
    bool incomplete = false;
    for (const std::size_t size : candidates) {
        // A byte count can announce more than an RTU frame may carry (255 bytes to write after
        // the 11 of function 23): no request, whatever its CRC says.
        if (size == 0 || size > kMaxFrame)
            continue;
        if (size > avail) {
            incomplete = true;
            continue;
        }
        const std::uint16_t crc = Crc16(p, size - 2);
        if (p[size - 2] == (crc & 0xFF) && p[size - 1] == (crc >> 8)) {
            length = size;
            return Scan::Complete;
        }
    }
    return incomplete ? Scan::Incomplete : Scan::Invalid;
}

FrameEvent RtuDecoder::MakeFrame(std::size_t length)
{
    FrameEvent e;
    e.kind = FrameEvent::Kind::Frame;
    e.raw = buf_.data();
    e.rawSize = length;
    e.unit = buf_[0];
    e.pdu = buf_.data() + 1;
    e.pduSize = length - 3;
    consumed_ = length;
    return e;
}

FrameEvent RtuDecoder::MakeDiscard(std::size_t length)
{
    FrameEvent e;
    e.kind = FrameEvent::Kind::Discard;
    e.raw = buf_.data();
    e.rawSize = length;
    e.badCheck = true;
    consumed_ = length;
    return e;
}

FrameEvent RtuDecoder::Next()
{
    if (consumed_ > 0) {
        std::memmove(buf_.data(), buf_.data() + consumed_, len_ - consumed_);
        len_ -= consumed_;
        consumed_ = 0;
    }
    if (len_ == 0) {
        final_ = false;
        return {};
    }
    std::size_t length = 0;
    const Scan first = TryAt(0, length);
    if (first == Scan::Complete)
        return MakeFrame(length);
    const bool full = len_ == buf_.size();
    if (first == Scan::Incomplete && !final_ && !full)
        return {};
    // Whatever starts here is no frame: resynchronise on the next offset where a good one is whole.
    for (std::size_t offset = 1; offset < len_; ++offset)
        if (TryAt(offset, length) == Scan::Complete)
            return MakeDiscard(offset);
    if (final_) {
        // Framed by silence alone: a function the content rules do not know, or a frame of
        // unexpected size. The handler answers it if the CRC holds.
        if (len_ >= 4 && len_ <= kMaxFrame) {
            const std::uint16_t crc = Crc16(buf_.data(), len_ - 2);
            if (buf_[len_ - 2] == (crc & 0xFF) && buf_[len_ - 1] == (crc >> 8))
                return MakeFrame(len_);
        }
        return MakeDiscard(len_);
    }
    if (full)  // no silence for a whole buffer: keep only what could still be the start of a frame
        return MakeDiscard(len_ - (kMaxFrame + 16));
    return {};
}

// ---------------------------------------------------------------- ASCII

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
} // namespace

std::size_t AsciiDecoder::Feed(const std::uint8_t* data, std::size_t n)
{
    if (consumed_ > 0) {
        std::memmove(buf_.data(), buf_.data() + consumed_, len_ - consumed_);
        len_ -= consumed_;
        consumed_ = 0;
    }
    final_ = false;
    const std::size_t take = std::min(n, buf_.size() - len_);
    std::memcpy(buf_.data() + len_, data, take);
    len_ += take;
    return take;
}

void AsciiDecoder::Reset()
{
    len_ = consumed_ = 0;
    final_ = false;
}

FrameEvent AsciiDecoder::Discard(std::size_t length, bool badCheck)
{
    FrameEvent e;
    e.kind = FrameEvent::Kind::Discard;
    e.raw = buf_.data();
    e.rawSize = length;
    e.badCheck = badCheck;
    consumed_ = length;
    return e;
}

FrameEvent AsciiDecoder::Next()
{
    if (consumed_ > 0) {
        std::memmove(buf_.data(), buf_.data() + consumed_, len_ - consumed_);
        len_ -= consumed_;
        consumed_ = 0;
    }
    if (len_ == 0) {
        final_ = false;
        return {};
    }
    const std::uint8_t* begin = buf_.data();
    const std::uint8_t* end = begin + len_;
    if (buf_[0] != ':') {
        // Noise goes out as one run: when a frame starts, the line falls silent, or it piles up.
        const std::uint8_t* colon = std::find(begin, end, ':');
        if (colon == end && !final_ && len_ < kMaxChars)
            return {};
        return Discard(static_cast<std::size_t>(colon - begin), false);
    }
    // A frame runs from ':' to LF; another ':' first means the master started over.
    std::size_t stop = 1;
    while (stop < len_ && buf_[stop] != '\n' && buf_[stop] != ':')
        ++stop;
    if (stop == len_) {
        if (final_ || len_ >= kMaxChars)
            return Discard(len_, true);
        return {};
    }
    if (buf_[stop] == ':')
        return Discard(stop, true);
    const std::size_t frameSize = stop + 1;  // ':' ... CR LF
    // stop points at LF; hex digits lie in [1, stop - 1), CR at stop - 1.
    if (stop < 2 || buf_[stop - 1] != '\r')
        return Discard(frameSize, true);
    const std::size_t digits = stop - 2;
    if (digits % 2 != 0 || digits < 6 || digits / 2 > kMaxBytes)
        return Discard(frameSize, true);
    const std::size_t bytes = digits / 2;
    for (std::size_t i = 0; i < bytes; ++i) {
        const int hi = AsciiHexValue(buf_[1 + 2 * i]);
        const int lo = AsciiHexValue(buf_[2 + 2 * i]);
        if (hi < 0 || lo < 0)
            return Discard(frameSize, true);
        decoded_[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    if (Lrc(decoded_.data(), bytes - 1) != decoded_[bytes - 1])
        return Discard(frameSize, true);
    FrameEvent e;
    e.kind = FrameEvent::Kind::Frame;
    e.raw = buf_.data();
    e.rawSize = frameSize;
    e.unit = decoded_[0];
    e.pdu = decoded_.data() + 1;
    e.pduSize = bytes - 2;
    consumed_ = frameSize;
    return e;
}

// ---------------------------------------------------------------- Modbus/TCP

MbapScan ScanMbap(const std::uint8_t* data, std::size_t size, std::size_t& frameSize)
{
    constexpr std::size_t kProtocol = 2;
    constexpr std::size_t kLength = 4;
    if (size >= kProtocol + 2 && (data[kProtocol] != 0 || data[kProtocol + 1] != 0))
        return MbapScan::Malformed;
    if (size < kLength + 2)
        return MbapScan::Incomplete;
    const std::size_t length = static_cast<std::size_t>(data[kLength] << 8 | data[kLength + 1]);
    if (length < 2 || length > 254)
        return MbapScan::Malformed;
    if (size < kLength + 2 + length)
        return MbapScan::Incomplete;
    frameSize = kLength + 2 + length;
    return MbapScan::Complete;
}

void PutMbapHeader(std::uint8_t* out, std::uint16_t transaction, std::uint8_t unit, std::size_t pduSize)
{
    const std::size_t length = pduSize + 1;
    out[0] = static_cast<std::uint8_t>(transaction >> 8);
    out[1] = static_cast<std::uint8_t>(transaction);
    out[2] = 0;
    out[3] = 0;
    out[4] = static_cast<std::uint8_t>(length >> 8);
    out[5] = static_cast<std::uint8_t>(length);
    out[6] = unit;
}

// ---------------------------------------------------------------- encoders

std::size_t EncodeRtu(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize, std::uint8_t* out)
{
    out[0] = unit;
    std::memmove(out + 1, pdu, pduSize);
    const std::uint16_t crc = Crc16(out, pduSize + 1);
    out[pduSize + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    out[pduSize + 2] = static_cast<std::uint8_t>(crc >> 8);
    return pduSize + 3;
}

std::size_t EncodeAscii(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize, std::uint8_t* out)
{
    std::uint8_t lrcSum = unit;
    for (std::size_t i = 0; i < pduSize; ++i)
        lrcSum = static_cast<std::uint8_t>(lrcSum + pdu[i]);
    const std::uint8_t lrc = static_cast<std::uint8_t>(-lrcSum);
    // Written back to front so that `pdu` may lie inside `out`.
    std::size_t pos = 1 + 2 * (pduSize + 2);
    out[pos] = '\r';
    out[pos + 1] = '\n';
    auto put = [&](std::size_t at, std::uint8_t b) {
        out[at] = static_cast<std::uint8_t>(kHexDigits[b >> 4]);
        out[at + 1] = static_cast<std::uint8_t>(kHexDigits[b & 0xF]);
    };
    put(1 + 2 * (pduSize + 1), lrc);
    for (std::size_t i = pduSize; i-- > 0;)
        put(1 + 2 * (i + 1), pdu[i]);
    put(1, unit);
    out[0] = ':';
    return pos + 2;
}

} // namespace pomrel
