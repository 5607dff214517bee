// Captures and traffic logs started and stopped by automation (StartCapture, StopCapture,
// StartTrafficLog, StopTrafficLog) and by kelvaro64-headless (--capture, --traffic-log): at
// most one pcapng capture and one JSON Lines log at a time, each a sink of the program's
// traffic tap. Plain code; RegisterCaptureMethods puts the methods in the registry like the
// fault methods (result {status, value}; a refused call: status -1 and a message).
#pragma once

#include "monitor/CaptureFile.h"
#include "monitor/TrafficJsonLog.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>

class MethodRegistry;

struct CaptureCallResult {
    int status = 0;          // 0 or -1
    nlohmann::json value;    // null: none
    std::string message;     // why a call was refused
};

class CaptureAutomation {
public:
    explicit CaptureAutomation(monitor::TrafficTap& tap) : tap_(tap) {}
    /// Stops both: every frame up to now is in the files.
    ~CaptureAutomation();
    CaptureAutomation(const CaptureAutomation&) = delete;
    CaptureAutomation& operator=(const CaptureAutomation&) = delete;

    /// A new capture in `path` in place of the one running (which is closed whole).
    CaptureCallResult StartCapture(const std::string& path);
    /// value: {"path", "packets", "dropped"}; refused when no capture runs or it failed
    /// (the message says why; it is stopped all the same).
    CaptureCallResult StopCapture();
    /// `rotateBytes` 0: never rotate.
    CaptureCallResult StartTrafficLog(const std::string& path, std::uint64_t rotateBytes = 0);
    CaptureCallResult StopTrafficLog();

    bool Capturing() const { return capture_ != nullptr; }
    bool Logging() const { return log_ != nullptr; }

private:
    monitor::TrafficTap& tap_;
    std::shared_ptr<monitor::CaptureFile> capture_;
    std::shared_ptr<monitor::TrafficJsonLog> log_;
};

/// Adds StartCapture, StopCapture, StartTrafficLog and StopTrafficLog on `methods` to the
/// registry, as the "capture" family.
void RegisterCaptureMethods(MethodRegistry& registry, CaptureAutomation& methods);
