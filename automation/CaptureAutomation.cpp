#include "automation/CaptureAutomation.h"

#include "automation/MethodRegistry.h"

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

namespace {
MethodOutcome Answer(const CaptureCallResult& r) { return MethodOutcome::Done(StatusResult(r.status, r.value, r.message)); }

/// The file a Start method is given; null when it is not a file name.
const std::string* PathOf(const nlohmann::json& params)
{
    const nlohmann::json& path = params[0];
    return path.is_string() && !path.get_ref<const std::string&>().empty() ? &path.get_ref<const std::string&>() : nullptr;
}
}  // namespace

void RegisterCaptureMethods(MethodRegistry& registry, CaptureAutomation& methods)
{
    CaptureAutomation* m = &methods;
    const ParamShape path{"path", "file name"};
    registry.Add({"StartCapture", "capture", {path}, [m](const nlohmann::json& p) {
                      const std::string* file = PathOf(p);
                      return file ? Answer(m->StartCapture(*file)) : MethodOutcome::Invalid("path: a file name");
                  }});
    registry.Add({"StopCapture", "capture", {}, [m](const nlohmann::json&) { return Answer(m->StopCapture()); }});
    registry.Add({"StartTrafficLog", "capture", {path}, [m](const nlohmann::json& p) {
                      const std::string* file = PathOf(p);
                      return file ? Answer(m->StartTrafficLog(*file)) : MethodOutcome::Invalid("path: a file name");
                  }});
    registry.Add({"StopTrafficLog", "capture", {}, [m](const nlohmann::json&) { return Answer(m->StopTrafficLog()); }});
}
