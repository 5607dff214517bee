#include "monitor/FrameDecoder.h"

namespace monitor {

DecodedFrame FrameDecoder::Decode(const pomrel::FrameRecord&)
{
    DecodedFrame frame;
    frame.error = "not decoded";
    return frame;
}

std::string FunctionName(int function) { return "Function " + std::to_string(function); }

} // namespace monitor
