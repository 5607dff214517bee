// Recorded frames as the traffic tap decodes them: any bytes on any link, as request, answer or
// discarded, one after another so that pairing runs too, and each written as a JSON log line.
// The first byte picks the link and direction, the second the stream; the rest is the frame.
#include "engine/TrafficLog.h"
#include "monitor/FrameDecoder.h"
#include "monitor/TrafficJsonLog.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static monitor::FrameDecoder decoder;  // across inputs: the open-request table is bounded
    std::size_t at = 0;
    while (size - at >= 3) {
        const std::uint8_t how = data[at], stream = data[at + 1];
        const std::size_t length = std::min<std::size_t>(data[at + 2] * 3u, size - at - 3);
        monitor::TappedFrame f;
        f.record.attribute = static_cast<std::uint8_t>(how % 3);
        f.record.source.link.kind = static_cast<pomrel::LinkId::Kind>((how / 3) % 5);
        f.record.source.link.port = 1 + stream % 32;
        f.record.source.ascii = how & 0x80;
        f.record.source.stream = stream;
        f.record.source.peer = {static_cast<std::uint8_t>(how & 0x40 ? 6 : 4), {stream}, stream};
        f.record.monotonicUs = static_cast<std::int64_t>(at);
        f.record.bytes.assign(data + at + 3, data + at + 3 + length);
        f.record.size = static_cast<std::uint32_t>(length + (how & 0x20 ? 1 : 0));  // sometimes cut short
        f.decoded = decoder.Decode(f.record);
        if (!f.decoded.ok && f.decoded.error.empty())
            std::abort();  // a frame that does not decode always says why
        if (f.decoded.ok && (f.decoded.function < 0 || f.decoded.function > 127 || f.decoded.unit < 0))
            std::abort();
        if (decoder.Pending() > monitor::FrameDecoder::kMaxPending)
            std::abort();
        const std::string line = monitor::TrafficJsonLog::Line(f, {0, 1'700'000'000'000'000});
        if (line.empty() || line.front() != '{' || line.back() != '}' || line.find('\n') != std::string::npos)
            std::abort();
        at += 3 + length;
    }
    return 0;
}
