#include "engine/StreamFraming.h"

#include <algorithm>

namespace pomrel {

namespace {
StreamScan MbapFrame(const std::uint8_t* data, std::size_t frameSize)
{
    StreamScan s;
    s.kind = StreamScan::Kind::Frame;
    s.size = frameSize;
    s.unit = data[kMbapHeader - 1];
    s.pdu = data + kMbapHeader;
    s.pduSize = frameSize - kMbapHeader;
    return s;
}

// The serial decoder's buffer: a frame and the bytes that may follow it. Scanning never feeds it
// more, so a burst of small frames costs a small copy each.
constexpr std::size_t kRtuWindow = 2 * RtuDecoder::kMaxFrame + 64;
} // namespace

StreamScan ScanMbapStream(const std::uint8_t* data, std::size_t size)
{
    std::size_t frameSize = 0;
    switch (ScanMbap(data, size, frameSize)) {
    case MbapScan::Complete:
        return MbapFrame(data, frameSize);
    case MbapScan::Malformed:
        return {StreamScan::Kind::Malformed, size};
    case MbapScan::Incomplete:
        break;
    }
    return {};
}

StreamScan RtuStreamScanner::Scan(const std::uint8_t* data, std::size_t size, bool enron)
{
    if (size == 0)
        return {};
    decoder_.Reset();
    decoder_.SetEnron(enron);
    const std::size_t fed = decoder_.Feed(data, std::min(size, kRtuWindow));
    FrameEvent e = decoder_.Next();
    if (e.kind == FrameEvent::Kind::None && fed >= 4) {
        // Nothing the content can size: were the stream to stop here, would it all be one frame?
        decoder_.Silence();
        e = decoder_.Next();
        if (e.kind != FrameEvent::Kind::Frame || e.rawSize != fed)
            return {};  // no: wait for more (a frame split over reads, or a retry that resynchronises)
    }
    StreamScan s;
    s.size = e.rawSize;
    switch (e.kind) {
    case FrameEvent::Kind::None:
        return {};
    case FrameEvent::Kind::Discard:
        s.kind = StreamScan::Kind::Discard;
        return s;
    case FrameEvent::Kind::Frame:
        s.kind = StreamScan::Kind::Frame;
        s.unit = data[0];
        s.pdu = data + 1;
        s.pduSize = e.rawSize - 3;
        return s;
    }
    return {};
}

StreamScan ScanUdpDatagram(const std::uint8_t* data, std::size_t size)
{
    std::size_t frameSize = 0;
    if (ScanMbap(data, size, frameSize) == MbapScan::Complete && frameSize == size)
        return MbapFrame(data, frameSize);
    return {StreamScan::Kind::Discard, size};
}

} // namespace pomrel
