// A JSON Lines log of the frames a tap hands on: one object per frame, for scripts and CI.
//
// Keys: t (ISO 8601 UTC with µs), link (LinkName), peer (network links), dir ("rx"/"tx"),
// unit, fc, addr, qty, exception (only on an exception answer), hex (the whole frame as kept),
// rtt_us (an answer paired with its request), fault (the rule that fired), error (a frame that
// does not decode). At the size limit the file rotates: name.jsonl becomes name.1.jsonl, that
// one name.2.jsonl, and so on; the oldest beyond `keep` goes. Every batch is flushed.
#pragma once

#include "monitor/TrafficTap.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace monitor {

struct JsonLogOptions {
    std::uint64_t rotateBytes = 0;  // 0: never rotate
    int keep = 5;                   // rotated files kept beside the current one
};

class TrafficJsonLog : public FrameSink {
public:
    /// Creates (or truncates) `path`. Null with the reason when it cannot be written.
    static std::unique_ptr<TrafficJsonLog> Open(const std::string& path, pomrel::FrameClockStart clock,
                                                const JsonLogOptions& options, std::string& error);
    ~TrafficJsonLog() override;
    TrafficJsonLog(const TrafficJsonLog&) = delete;
    TrafficJsonLog& operator=(const TrafficJsonLog&) = delete;

    /// Tap thread: appends one line per frame, rotating at the size limit, and flushes.
    void Take(std::span<const TappedFrame> frames) override;

    /// One frame's line, without the newline.
    static std::string Line(const TappedFrame& frame, pomrel::FrameClockStart clock);
    /// The name rotation `n` (1, 2, ...) of `path` gets: "log.jsonl" -> "log.1.jsonl".
    static std::string RotatedName(const std::string& path, int n);

    /// Any thread: the first write error (logging stops there); empty while all is well.
    std::string Error() const;
    const std::string& Path() const { return path_; }

private:
    TrafficJsonLog(std::FILE* file, std::string path, pomrel::FrameClockStart clock, const JsonLogOptions& options,
                   std::uint64_t size);
    struct Texts;
    static void AppendLine(std::string& out, const TappedFrame& frame, pomrel::FrameClockStart clock, Texts& texts);
    bool Rotate();
    void Fail(const std::string& why);

    std::FILE* file_;
    const std::string path_;
    const pomrel::FrameClockStart clock_;
    const JsonLogOptions options_;
    std::uint64_t size_ = 0;
    std::string buffer_;
    std::string line_;
    std::unique_ptr<Texts> texts_;  // tap thread
    mutable std::mutex mutex_;
    std::string error_;
};

} // namespace monitor
