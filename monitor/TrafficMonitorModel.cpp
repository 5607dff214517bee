#include "monitor/TrafficMonitorModel.h"

#include "engine/TrafficLog.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace monitor {

namespace {

constexpr std::size_t kValuesShown = 8;
constexpr const char* kHex = "0123456789ABCDEF";

bool ParseNumber(const std::string& text, std::uint32_t max, std::uint32_t& out)
{
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > max)
        return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

std::string Trim(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

const char* ExceptionName(int code)
{
    switch (code) {
    case 1: return "Illegal Function";
    case 2: return "Illegal Data Address";
    case 3: return "Illegal Data Value";
    case 4: return "Server Device Failure";
    case 5: return "Acknowledge";
    case 6: return "Server Device Busy";
    case 8: return "Memory Parity Error";
    case 10: return "Gateway Path Unavailable";
    case 11: return "Gateway Target Failed to Respond";
    default: return nullptr;
    }
}

} // namespace

bool ParseAddressFilter(const std::string& raw, std::optional<std::pair<std::uint32_t, std::uint32_t>>& out,
                        std::string& error)
{
    const std::string text = Trim(raw);
    if (text.empty()) {
        out.reset();
        return true;
    }
    const auto dash = text.find('-');
    std::uint32_t first = 0, last = 0;
    const bool ok = dash == std::string::npos
                        ? ParseNumber(text, 65535, first) && (last = first, true)
                        : ParseNumber(Trim(text.substr(0, dash)), 65535, first) &&
                              ParseNumber(Trim(text.substr(dash + 1)), 65535, last);
    if (!ok) {
        error = "address: a number 0 to 65535, or a range such as 100-199";
        return false;
    }
    if (first > last) {
        error = "address: the first address must not be above the last";
        return false;
    }
    out = std::pair{first, last};
    return true;
}

bool ParseUnitFilter(const std::string& raw, std::optional<int>& out, std::string& error)
{
    const std::string text = Trim(raw);
    if (text.empty()) {
        out.reset();
        return true;
    }
    std::uint32_t unit = 0;
    if (!ParseNumber(text, 255, unit)) {
        error = "unit: a number 0 to 255";
        return false;
    }
    out = static_cast<int>(unit);
    return true;
}

std::optional<std::string> ParseFaultFilter(const std::string& raw)
{
    const std::string text = Trim(raw);
    if (text.empty())
        return std::nullopt;
    if (text == "*" || text == kAnyFault)
        return std::string();
    return text;
}

bool SameLink(const pomrel::LinkId& a, const pomrel::LinkId& b)
{
    if (a.kind != b.kind)
        return false;
    return a.kind == pomrel::LinkId::Kind::Serial ? a.port == b.port : a.endpoint == b.endpoint;
}

bool IsErrorFrame(const TappedFrame& frame)
{
    const DecodedFrame& d = frame.decoded;
    return frame.record.attribute == pomrel::kDiscarded || !d.ok || d.exception.has_value() ||
           d.check == DecodedFrame::Check::Bad || (frame.record.size == 0 && !d.error.empty());
}

std::string FunctionText(const DecodedFrame& frame)
{
    if (frame.function < 0)
        return {};
    std::string text = FunctionName(frame.function);
    if (frame.exception)
        text += " (exception)";
    return text;
}

std::string AddressText(const DecodedFrame& frame)
{
    if (!frame.address)
        return {};
    const std::uint32_t first = *frame.address;
    if (!frame.quantity || *frame.quantity <= 1)
        return std::to_string(first);
    return std::to_string(first) + "-" + std::to_string(first + *frame.quantity - 1);
}

std::string ValuesText(const TappedFrame& frame)
{
    const DecodedFrame& d = frame.decoded;
    const bool discarded = frame.record.attribute == pomrel::kDiscarded;
    // A request a fault rule left unanswered, or whose connection it closed: a record without
    // bytes that says so.
    if (frame.record.size == 0 && !d.error.empty())
        return d.error;
    if (!d.ok)
        return !d.error.empty() ? d.error : discarded ? "discarded" : "does not decode";
    if (discarded)
        return "discarded";
    if (d.exception) {
        const char* name = ExceptionName(*d.exception);
        std::string text = "exception " + std::to_string(*d.exception);
        return name ? text + " (" + name + ")" : text;
    }
    std::vector<std::uint16_t> decoded;
    if (d.values.empty() && !frame.record.bytes.empty())
        decoded = DecodeFrame(frame.record).values;
    const std::vector<std::uint16_t>& values = d.values.empty() ? decoded : d.values;
    // Coils and inputs come eight to a byte: the bits past the quantity asked for are padding.
    std::size_t count = values.size();
    if ((d.function == 1 || d.function == 2) && !d.request && d.quantity && *d.quantity < count)
        count = *d.quantity;
    std::string text;
    const std::size_t n = std::min(count, kValuesShown);
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            text += ' ';
        text += std::to_string(values[i]);
    }
    if (count > n)
        text += " … (" + std::to_string(count) + " values)";
    if (d.check == DecodedFrame::Check::Bad)
        text = text.empty() ? "bad checksum" : text + " [bad checksum]";
    return text;
}

std::string RoundTripText(const DecodedFrame& frame)
{
    if (!frame.rttUs)
        return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f ms", double(*frame.rttUs) / 1000.0);
    return buf;
}

std::string BytesText(const pomrel::FrameRecord& record)
{
    std::string text;
    text.reserve(record.bytes.size() * 3);
    for (std::uint8_t b : record.bytes) {
        if (!text.empty())
            text += ' ';
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    if (record.size > record.bytes.size())
        text += " … (" + std::to_string(record.size) + " bytes)";
    return text;
}

// ---- The model -------------------------------------------------------------------------------------

TrafficMonitorModel::TrafficMonitorModel(pomrel::FrameClockStart clock, std::size_t rowLimit)
    : clock_(clock), rowLimit_(std::max<std::size_t>(rowLimit, 1))
{
}

bool TrafficMonitorModel::Matches(const TappedFrame& frame) const
{
    const DecodedFrame& d = frame.decoded;
    if (filter_.link && !SameLink(*filter_.link, frame.record.source.link))
        return false;
    if (filter_.unit && d.unit != *filter_.unit)
        return false;
    if (filter_.function && d.function != *filter_.function)
        return false;
    if (filter_.addresses) {
        if (!d.address)
            return false;
        const std::uint64_t first = *d.address;
        const std::uint64_t last = first + std::max<std::uint64_t>(d.quantity.value_or(1), 1) - 1;
        if (last < filter_.addresses->first || first > filter_.addresses->second)
            return false;
    }
    if (filter_.fault) {
        const std::string& name = frame.record.fault;
        if (name.empty())
            return false;
        const std::string& part = *filter_.fault;
        const auto same = [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        };
        if (std::search(name.begin(), name.end(), part.begin(), part.end(), same) == name.end())
            return false;
    }
    return !filter_.errorsOnly || IsErrorFrame(frame);
}

void TrafficMonitorModel::NoteFault(const std::string& name)
{
    if (name.empty() || faultNames_.size() >= kMaxFaultNames ||
        std::find(faultNames_.begin(), faultNames_.end(), name) != faultNames_.end())
        return;
    faultNames_.push_back(name);
}

void TrafficMonitorModel::NoteLink(const pomrel::LinkId& link)
{
    // A handful of links at most, and mostly the last one again: a linear look is cheaper than any set.
    if (!links_.empty() && SameLink(links_.back(), link))
        return;
    for (const auto& l : links_)
        if (SameLink(l, link))
            return;
    links_.push_back(link);
}

void TrafficMonitorModel::Append(std::vector<TappedFrame>&& frames)
{
    std::vector<FramePtr> pointers;
    pointers.reserve(frames.size());
    for (auto& f : frames)
        pointers.push_back(std::make_unique<TappedFrame>(std::move(f)));
    Append(pointers);
}

void TrafficMonitorModel::Append(std::vector<FramePtr>& frames)
{
    frames.erase(std::remove(frames.begin(), frames.end(), nullptr), frames.end());
    if (frames.empty())
        return;
    if (!paused_) {
        Keep(frames);
        return;
    }
    for (auto& f : frames)
        held_.push_back(std::move(f));
    // Held frames obey the same limit: the oldest go first, counted.
    if (held_.size() > rowLimit_) {
        const std::size_t excess = held_.size() - rowLimit_;
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(excess));
        droppedRows_ += excess;
    }
}

void TrafficMonitorModel::Keep(std::vector<FramePtr>& frames)
{
    // A batch longer than the limit keeps only its newest frames.
    std::size_t from = 0;
    if (frames.size() > rowLimit_) {
        from = frames.size() - rowLimit_;
        droppedRows_ += from;
    }
    const std::size_t incoming = frames.size() - from;
    if (count_ + incoming > rowLimit_)
        DropOldest(count_ + incoming - rowLimit_);

    std::size_t adding = 0;
    for (std::size_t i = from; i < frames.size(); ++i)
        adding += Matches(*frames[i]) ? 1 : 0;
    const std::size_t firstShown = shown_.size();
    if (listener_ && adding)
        listener_->RowsAboutToBeAdded(firstShown, adding);
    for (std::size_t i = from; i < frames.size(); ++i) {
        FramePtr& frame = frames[i];
        NoteLink(frame->record.source.link);
        NoteFault(frame->record.fault);
        if (Matches(*frame))
            shown_.push_back(firstSeq_ + count_);
        // The caller's frame gets the slot's old buffers.
        if (count_ < ring_.size()) {
            std::swap(ring_[(head_ + count_) % ring_.size()], frame);
        } else {
            Linearize();
            ring_.push_back(std::move(frame));
        }
        ++count_;
    }
    if (listener_ && adding)
        listener_->RowsAdded();
}

void TrafficMonitorModel::Linearize()
{
    if (head_ != 0) {
        std::rotate(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(head_), ring_.end());
        head_ = 0;
    }
}

void TrafficMonitorModel::DropOldest(std::size_t count)
{
    count = std::min(count, count_);
    if (!count)
        return;
    const std::uint64_t end = firstSeq_ + count;
    const std::size_t shownGoing =
        static_cast<std::size_t>(std::lower_bound(shown_.begin(), shown_.end(), end) - shown_.begin());
    if (listener_ && shownGoing)
        listener_->RowsAboutToBeDropped(shownGoing);
    shown_.erase(shown_.begin(), shown_.begin() + static_cast<std::ptrdiff_t>(shownGoing));
    // The slots stay, to be swapped with the next frames.
    head_ = (head_ + count) % ring_.size();
    count_ -= count;
    firstSeq_ = end;
    droppedRows_ += count;
    if (listener_ && shownGoing)
        listener_->RowsDropped();
}

void TrafficMonitorModel::SetPaused(bool paused)
{
    if (paused == paused_)
        return;
    paused_ = paused;
    if (!paused_ && !held_.empty()) {
        std::vector<FramePtr> frames(std::make_move_iterator(held_.begin()), std::make_move_iterator(held_.end()));
        held_.clear();
        Keep(frames);
    }
}

void TrafficMonitorModel::Clear()
{
    if (listener_)
        listener_->AboutToReset();
    firstSeq_ += count_;
    count_ = 0;
    head_ = 0;
    ring_.clear();
    ring_.shrink_to_fit();
    shown_.clear();
    held_.clear();
    if (listener_)
        listener_->Reset();
}

void TrafficMonitorModel::SetFilter(const MonitorFilter& filter)
{
    if (listener_)
        listener_->AboutToReset();
    filter_ = filter;
    shown_.clear();
    for (std::size_t i = 0; i < count_; ++i)
        if (Matches(Kept(i)))
            shown_.push_back(firstSeq_ + i);
    if (listener_)
        listener_->Reset();
}

void TrafficMonitorModel::SetRowLimit(std::size_t limit)
{
    rowLimit_ = std::max<std::size_t>(limit, 1);
    if (count_ > rowLimit_)
        DropOldest(count_ - rowLimit_);
    if (ring_.size() > rowLimit_) {
        // The slots beyond the new limit go, with their buffers.
        Linearize();
        ring_.resize(count_);
        ring_.shrink_to_fit();
    }
    if (held_.size() > rowLimit_) {
        const std::size_t excess = held_.size() - rowLimit_;
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(excess));
        droppedRows_ += excess;
    }
}

std::int64_t TrafficMonitorModel::WallUs(const TappedFrame& frame) const
{
    return clock_.wallUs + (frame.record.monotonicUs - clock_.monotonicUs);
}

std::string TrafficMonitorModel::TimeText(const TappedFrame& frame) const
{
    const std::int64_t us = WallUs(frame);
    std::int64_t seconds = us / 1000000, micro = us % 1000000;
    if (micro < 0) {
        micro += 1000000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(micro));
    return buf;
}

const char* TrafficMonitorModel::ColumnTitle(int column)
{
    static const char* const titles[kColumns] = {"Time",     "Link",    "Peer",               "Dir", "Unit",  "Function",
                                                 "Address",  "Values / exception", "RTT", "Fault", "Bytes"};
    return column >= 0 && column < kColumns ? titles[column] : "";
}

std::string TrafficMonitorModel::Cell(std::size_t row, int column) const
{
    const TappedFrame& f = Shown(row);
    const DecodedFrame& d = f.decoded;
    switch (column) {
    case kTime: return TimeText(f);
    case kLink: return LinkName(f.record.source.link);
    case kPeer: {
        // A Modbus/TCP Security master's role goes with its address.
        std::string peer = PeerText(f.record.source.peer);
        if (f.record.source.role[0] != '\0')
            peer += " (" + RoleText(f.record.source) + ")";
        return peer;
    }
    case kDirection:
        return f.record.attribute == pomrel::kSent ? "tx" : f.record.attribute == pomrel::kDiscarded ? "drop" : "rx";
    case kUnit: return d.unit < 0 ? std::string() : std::to_string(d.unit);
    case kFunction: return FunctionText(d);
    case kAddress: return AddressText(d);
    case kValues:
        if (!rawWords_ && lookup_)
            if (auto served = ServedValuesText(f, lookup_, kValuesShown))
                return *served;
        return ValuesText(f);
    case kRoundTrip: return RoundTripText(d);
    case kFault: return f.record.fault;
    case kBytes: return BytesText(f.record);
    default: return {};
    }
}

std::string TrafficMonitorModel::RawValuesOf(std::size_t row) const
{
    const TappedFrame& f = Shown(row);
    if (rawWords_ || !lookup_)
        return {};
    const auto served = ServedValuesText(f, lookup_, kValuesShown);
    if (!served)
        return {};
    std::string raw = ValuesText(f);
    return raw == *served ? std::string() : raw;
}

std::string TrafficMonitorModel::CopyText(const std::vector<std::size_t>& rows, bool withBytes) const
{
    const int columns = withBytes ? kColumns : kBytes;
    std::string text;
    for (std::size_t row : rows) {
        if (row >= shown_.size())
            continue;
        for (int c = 0; c < columns; ++c) {
            if (c)
                text += '\t';
            text += Cell(row, c);
        }
        text += '\n';
    }
    return text;
}

} // namespace monitor
