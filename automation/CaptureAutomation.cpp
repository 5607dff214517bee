#include "automation/CaptureAutomation.h"

namespace {
CaptureCallResult Refused(std::string message) { return {-1, nullptr, std::move(message)}; }
} // namespace

CaptureAutomation::~CaptureAutomation()
{
    StopCapture();
    StopTrafficLog();
}

CaptureCallResult CaptureAutomation::StartCapture(const std::string& path)
{
    if (path.empty())
        return Refused("StartCapture needs a file name");
    std::string error;
    std::shared_ptr<monitor::CaptureFile> capture = monitor::CaptureFile::Open(path, tap_.Clock(), error);
    if (!capture)
        return Refused(error);
    StopCapture();
    capture_ = std::move(capture);
    tap_.AddSink(capture_);
    return {};
}

CaptureCallResult CaptureAutomation::StopCapture()
{
    if (!capture_)
        return Refused("no capture is running");
    tap_.RemoveSink(capture_);
    const std::string error = capture_->Error();
    nlohmann::json value{{"path", capture_->Path()}, {"packets", capture_->Packets()}, {"dropped", tap_.Dropped()}};
    capture_.reset();
    if (!error.empty())
        return Refused(error);
    return {0, std::move(value), {}};
}

CaptureCallResult CaptureAutomation::StartTrafficLog(const std::string& path, std::uint64_t rotateBytes)
{
    if (path.empty())
        return Refused("StartTrafficLog needs a file name");
    std::string error;
    monitor::JsonLogOptions options;
    options.rotateBytes = rotateBytes;
    std::shared_ptr<monitor::TrafficJsonLog> log = monitor::TrafficJsonLog::Open(path, tap_.Clock(), options, error);
    if (!log)
        return Refused(error);
    StopTrafficLog();
    log_ = std::move(log);
    tap_.AddSink(log_);
    return {};
}

CaptureCallResult CaptureAutomation::StopTrafficLog()
{
    if (!log_)
        return Refused("no traffic log is running");
    tap_.RemoveSink(log_);
    const std::string error = log_->Error();
    nlohmann::json value{{"path", log_->Path()}, {"dropped", tap_.Dropped()}};
    log_.reset();
    if (!error.empty())
        return Refused(error);
    return {0, std::move(value), {}};
}
