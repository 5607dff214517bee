// The three framings as pure codecs: bytes in, (unit id, PDU) out, and back. No I/O, no clock:
// a serial transport tells its decoder when the line has fallen silent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pomrel {

/// What a decoder found in the bytes fed so far.
struct FrameEvent {
    enum class Kind : std::uint8_t {
        None,     // needs more bytes (or silence)
        Frame,    // a whole request with a good check
        Discard,  // bytes that belong to no good frame
    };
    Kind kind = Kind::None;
    const std::uint8_t* raw = nullptr;  // the bytes as received, for the traffic log
    std::size_t rawSize = 0;
    std::uint8_t unit = 0;              // Frame: unit id
    const std::uint8_t* pdu = nullptr;  // Frame: function code and data
    std::size_t pduSize = 0;
    bool badCheck = false;              // Discard: a damaged message (counted as an invalid CRC / LRC)
};

/// Modbus RTU requests. A frame is recognised as soon as the function code and byte count say it
/// is complete and its CRC holds, so bursts of several frames and frames split over many reads
/// both work; the 3.5-character silence only settles what the content cannot (unknown function
/// codes, garbage). Garbage is skipped up to the next offset where a good frame starts.
///
///   unit | function | data ... | CRC low | CRC high
class RtuDecoder {
public:
    static constexpr std::size_t kMaxFrame = 256;

    /// With the ENRON rules a Write Single Register request may carry a 32-bit value (10 bytes).
    void SetEnron(bool enron) { enron_ = enron; }
    /// Takes up to n bytes and returns how many it took; feed the rest after draining Next().
    std::size_t Feed(const std::uint8_t* data, std::size_t n);
    /// The line was silent for 3.5 characters: what is buffered now is complete.
    void Silence() { final_ = true; }
    /// Call until it returns Kind::None. Pointers stay valid until the next call.
    FrameEvent Next();
    void Reset();
    std::size_t Buffered() const { return len_ - consumed_; }

private:
    enum class Scan { Incomplete, Complete, Invalid };
    Scan TryAt(std::size_t offset, std::size_t& length) const;
    FrameEvent MakeFrame(std::size_t length);
    FrameEvent MakeDiscard(std::size_t length);

    std::array<std::uint8_t, 2 * kMaxFrame + 64> buf_{};
    std::size_t len_ = 0;
    std::size_t consumed_ = 0;
    bool final_ = false;
    bool enron_ = false;
};

/// Modbus ASCII requests:
///
///   ':' | unit, function, data, LRC as upper- or lower-case hex pairs | CR | LF
///
/// A ':' always starts a new frame (abandoning a partial one); bytes outside frames are discarded.
class AsciiDecoder {
public:
    static constexpr std::size_t kMaxChars = 1 + 2 * 256 + 2;
    /// Unit id, a PDU of at most 253 bytes and the LRC: 513 characters with ':' and CR LF.
    static constexpr std::size_t kMaxBytes = 1 + 253 + 1;

    std::size_t Feed(const std::uint8_t* data, std::size_t n);
    /// A second without a character: a partial frame is abandoned.
    void Silence() { final_ = true; }
    FrameEvent Next();
    void Reset();
    std::size_t Buffered() const { return len_ - consumed_; }

private:
    FrameEvent Discard(std::size_t length, bool badCheck);

    std::array<std::uint8_t, kMaxChars + 64> buf_{};
    std::array<std::uint8_t, 256> decoded_{};
    std::size_t len_ = 0;
    std::size_t consumed_ = 0;
    bool final_ = false;
};

/// Modbus/TCP application header:
///
///   transaction id (2) | protocol id (2) = 0 | length (2) = 2..254 | unit id | PDU (length - 1)
inline constexpr std::size_t kMbapHeader = 7;
inline constexpr std::size_t kMaxMbapFrame = kMbapHeader + 253;

enum class MbapScan : std::uint8_t { Incomplete, Complete, Malformed };
/// Looks at the front of a receive buffer; Complete gives the frame's size (header included).
MbapScan ScanMbap(const std::uint8_t* data, std::size_t size, std::size_t& frameSize);
/// Writes the header for a response whose PDU of pduSize bytes already sits at out + kMbapHeader.
void PutMbapHeader(std::uint8_t* out, std::uint16_t transaction, std::uint8_t unit, std::size_t pduSize);

/// unit | pdu | CRC; `out` has room for pduSize + 3 bytes. Returns the frame size.
std::size_t EncodeRtu(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize, std::uint8_t* out);
/// ':' hex(unit, pdu, LRC) CR LF; `out` has room for 2 * pduSize + 7 bytes. Returns the frame size.
std::size_t EncodeAscii(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize, std::uint8_t* out);

} // namespace pomrel
