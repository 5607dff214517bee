#include "engine/SerialFraming.h"

#include "engine/SerialLink.h"

namespace pomrel {
namespace {

class RtuFraming final : public SerialFraming {
public:
    void SetEnron(bool enron) override { decoder_.SetEnron(enron); }
    std::size_t Feed(const std::uint8_t* data, std::size_t n) override { return decoder_.Feed(data, n); }
    void Silence() override { decoder_.Silence(); }
    FrameEvent Next() override { return decoder_.Next(); }
    std::size_t Buffered() const override { return decoder_.Buffered(); }
    std::size_t Encode(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize, std::uint8_t* out) const override
    {
        return EncodeRtu(unit, pdu, pduSize, out);
    }
    void SpoilCheck(std::uint8_t* frame, std::size_t size) const override
    {
        if (size > 0)
            frame[size - 1] ^= 0xFF;
    }
    std::chrono::microseconds SilenceGap(const PortSettings& settings) const override
    {
        return SerialLink::FrameGap(settings);
    }

private:
    RtuDecoder decoder_;
};

class AsciiFraming final : public SerialFraming {
public:
    void SetEnron(bool) override {}
    std::size_t Feed(const std::uint8_t* data, std::size_t n) override { return decoder_.Feed(data, n); }
    void Silence() override { decoder_.Silence(); }
    FrameEvent Next() override { return decoder_.Next(); }
    std::size_t Buffered() const override { return decoder_.Buffered(); }
    std::size_t Encode(std::uint8_t unit, const std::uint8_t* pdu, std::size_t pduSize, std::uint8_t* out) const override
    {
        return EncodeAscii(unit, pdu, pduSize, out);
    }
    void SpoilCheck(std::uint8_t* frame, std::size_t size) const override
    {
        // ':' ... LRC as two hex digits, CR LF: the LRC's complement in its place.
        if (size < 5)
            return;
        auto value = [](std::uint8_t c) {
            return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        };
        static const char kHex[] = "0123456789ABCDEF";
        std::uint8_t* lrc = frame + size - 4;
        const int spoiled = ((value(lrc[0]) << 4 | value(lrc[1])) ^ 0xFF) & 0xFF;
        lrc[0] = static_cast<std::uint8_t>(kHex[spoiled >> 4]);
        lrc[1] = static_cast<std::uint8_t>(kHex[spoiled & 0xF]);
    }
    // A partial ASCII frame is abandoned after a second without a character, whatever the baud rate.
    std::chrono::microseconds SilenceGap(const PortSettings&) const override { return std::chrono::seconds(1); }

private:
    AsciiDecoder decoder_;
};

} // namespace

std::unique_ptr<SerialFraming> MakeSerialFraming(bool rtu)
{
    if (rtu)
        return std::make_unique<RtuFraming>();
    return std::make_unique<AsciiFraming>();
}

} // namespace pomrel
