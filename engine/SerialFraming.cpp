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
