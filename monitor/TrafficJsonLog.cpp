#include "monitor/TrafficJsonLog.h"

#include "engine/FileBytes.h"
#include "engine/TrafficLog.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace monitor {

namespace {

// JSON string contents; a byte that is not part of valid UTF-8 becomes U+FFFD.
void Escaped(std::string& out, const std::string& s)
{
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", c);
                out += u;
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool valid = length > 0 && i + length <= s.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (!valid) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        out.append(s, i, length);
        i += length;
    }
    out += '"';
}

void Key(std::string& out, const char* key)
{
    out += ",\"";
    out += key;
    out += "\":";
}

void Number(std::string& out, std::int64_t value)
{
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, value);
    out.append(text, r.ptr);
}

} // namespace

// What repeats from line to line, made once: the date and time to the second, and peer texts.
struct TrafficJsonLog::Texts {
    std::int64_t second = INT64_MIN;
    char prefix[40] = {};  // "2026-01-02T03:04:05."
    std::size_t prefixSize = 0;
    struct Peer {
        pomrel::NetAddress address;
        std::string text;
        bool used = false;
    };
    std::array<Peer, 256> peers;  // direct-mapped by port and address

    void Time(std::string& out, std::int64_t wallUs)
    {
        std::int64_t seconds = wallUs / 1'000'000;
        std::int64_t micros = wallUs % 1'000'000;
        if (micros < 0) {
            micros += 1'000'000;
            --seconds;
        }
        if (seconds != second) {
            const std::time_t t = static_cast<std::time_t>(seconds);
            std::tm tm{};
            gmtime_r(&t, &tm);
            const int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.", tm.tm_year + 1900,
                                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            prefixSize = n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof prefix - 1) : 0;
            second = seconds;
        }
        out.append(prefix, prefixSize);
        char digits[7];
        for (int i = 5; i >= 0; --i) {
            digits[i] = static_cast<char>('0' + micros % 10);
            micros /= 10;
        }
        digits[6] = 'Z';
        out.append(digits, 7);
    }

    const std::string& PeerOf(const pomrel::NetAddress& a)
    {
        const std::size_t slot = (a.port * 31u + a.bytes[3] * 7u + a.bytes[15]) % peers.size();
        Peer& p = peers[slot];
        if (!p.used || p.address.family != a.family || p.address.port != a.port || p.address.bytes != a.bytes) {
            p.address = a;
            p.text = PeerText(a);
            p.used = true;
        }
        return p.text;
    }
};

void TrafficJsonLog::AppendLine(std::string& out, const TappedFrame& frame, pomrel::FrameClockStart clock, Texts& texts)
{
    static const char digits[] = "0123456789abcdef";
    const pomrel::FrameRecord& r = frame.record;
    const DecodedFrame& d = frame.decoded;
    out += "{\"t\":\"";
    texts.Time(out, clock.WallUs(r.monotonicUs));
    out += "\",\"link\":\"";
    out += LinkName(r.source.link);  // letters, digits and ':' only
    out += '"';
    if (r.source.link.kind != pomrel::LinkId::Kind::Serial) {
        const std::string& peer = texts.PeerOf(r.source.peer);
        if (!peer.empty()) {
            out += ",\"peer\":\"";
            out += peer;  // digits, '.', ':', '[', ']' and hex digits only
            out += '"';
        }
        if (r.source.role[0] != '\0') {
            Key(out, "role");
            Escaped(out, RoleText(r.source));
        }
    }
    out += r.attribute == pomrel::kSent ? ",\"dir\":\"tx\"" : ",\"dir\":\"rx\"";
    if (d.unit >= 0) {
        Key(out, "unit");
        Number(out, d.unit);
    }
    if (d.function >= 0) {
        Key(out, "fc");
        Number(out, d.function);
    }
    if (d.address) {
        Key(out, "addr");
        Number(out, *d.address);
    }
    if (d.quantity) {
        Key(out, "qty");
        Number(out, *d.quantity);
    }
    if (d.exception) {
        Key(out, "exception");
        Number(out, *d.exception);
    }
    out += ",\"hex\":\"";
    const std::size_t at = out.size();
    out.resize(at + 2 * r.bytes.size());
    for (std::size_t i = 0; i < r.bytes.size(); ++i) {
        out[at + 2 * i] = digits[r.bytes[i] >> 4];
        out[at + 2 * i + 1] = digits[r.bytes[i] & 15];
    }
    out += '"';
    if (d.rttUs) {
        Key(out, "rtt_us");
        Number(out, *d.rttUs);
    }
    if (!r.fault.empty()) {
        Key(out, "fault");
        Escaped(out, r.fault);
    }
    if (!d.ok) {
        Key(out, "error");
        Escaped(out, d.error.empty() ? std::string("does not decode") : d.error);
    }
    out += '}';
}

std::string TrafficJsonLog::Line(const TappedFrame& frame, pomrel::FrameClockStart clock)
{
    auto texts = std::make_unique<Texts>();
    std::string out;
    AppendLine(out, frame, clock, *texts);
    return out;
}

std::string TrafficJsonLog::RotatedName(const std::string& path, int n)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    const bool hasExtension = dot != std::string::npos && dot > name;  // ".hidden" has none
    if (!hasExtension)
        return path + "." + std::to_string(n);
    return path.substr(0, dot) + "." + std::to_string(n) + path.substr(dot);
}

std::unique_ptr<TrafficJsonLog> TrafficJsonLog::Open(const std::string& path, pomrel::FrameClockStart clock,
                                                     const JsonLogOptions& options, std::string& error)
{
    std::string why;
    std::FILE* file = pomrel::OpenOutputFile(path, why);
    if (!file) {
        error = path + ": " + why;
        return nullptr;
    }
    return std::unique_ptr<TrafficJsonLog>(new TrafficJsonLog(file, path, clock, options, 0));
}

TrafficJsonLog::TrafficJsonLog(std::FILE* file, std::string path, pomrel::FrameClockStart clock,
                               const JsonLogOptions& options, std::uint64_t size)
    : file_(file), path_(std::move(path)), clock_(clock), options_(options), size_(size),
      texts_(std::make_unique<Texts>())
{
}

TrafficJsonLog::~TrafficJsonLog()
{
    if (file_)
        std::fclose(file_);
}

std::string TrafficJsonLog::Error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

void TrafficJsonLog::Fail(const std::string& why)
{
    {
        std::lock_guard lock(mutex_);
        if (error_.empty()) {
            error_ = why;
            // Told now, in the journal of a service, not only when somebody asks or the program ends.
            std::fprintf(stderr, "kelvaro64: traffic log stopped: %s\n", error_.c_str());
        }
    }
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

bool TrafficJsonLog::Rotate()
{
    if (std::fclose(file_) != 0) {
        file_ = nullptr;
        Fail(path_ + ": " + std::strerror(errno));
        return false;
    }
    file_ = nullptr;
    const int keep = std::max(options_.keep, 0);
    if (keep == 0) {
        std::remove(path_.c_str());
    } else {
        std::remove(RotatedName(path_, keep).c_str());
        for (int k = keep - 1; k >= 1; --k)
            std::rename(RotatedName(path_, k).c_str(), RotatedName(path_, k + 1).c_str());  // a missing one is fine
        if (std::rename(path_.c_str(), RotatedName(path_, 1).c_str()) != 0) {
            Fail(path_ + ": cannot rotate: " + std::strerror(errno));
            return false;
        }
    }
    std::string why;
    file_ = pomrel::OpenOutputFile(path_, why);
    if (!file_) {
        Fail(path_ + ": " + why);
        return false;
    }
    size_ = 0;
    return true;
}

void TrafficJsonLog::Take(std::span<const TappedFrame> frames)
{
    if (!file_)
        return;
    buffer_.clear();
    auto write = [this] {
        if (buffer_.empty())
            return true;
        if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
            Fail(path_ + ": " + std::strerror(errno));
            return false;
        }
        buffer_.clear();
        return true;
    };
    for (const TappedFrame& f : frames) {
        const std::size_t start = buffer_.size();
        AppendLine(buffer_, f, clock_, *texts_);
        buffer_ += '\n';
        const std::size_t length = buffer_.size() - start;
        if (options_.rotateBytes && size_ > 0 && size_ + length > options_.rotateBytes) {
            // The line goes to the next file: write what came before it, then rotate.
            line_.assign(buffer_, start, length);
            buffer_.resize(start);
            if (!write() || !Rotate())
                return;
            buffer_ = line_;
        }
        size_ += length;
    }
    if (write() && std::fflush(file_) != 0)
        Fail(path_ + ": " + std::strerror(errno));
}

} // namespace monitor
