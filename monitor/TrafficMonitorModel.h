// The rows of Tools > Traffic Monitor: every tapped frame kept (up to a row limit, the oldest
// dropped), a filter that picks the rows shown, pause, clear, and the text of each cell. Plain
// code; the window's table model is a thin adaptor that asks for shown row i.
//
// Appending a batch costs what the batch costs, never what the rows already held cost: the
// shown rows are an index of sequence numbers extended at the end and cut at the front, and only
// a change of filter walks every row. The rows are frames on the heap held in a ring of
// pointers filled by swapping: a new frame takes the slot of the oldest, and the caller gets the
// old frame back with its buffers, to be filled again on the tap's thread. So a full table under
// a flat-out master moves a pointer per frame and allocates and frees nothing on the
// user-interface thread. A frame without decoded values (the sink leaves
// them out: a read of 2000 coils would hold 4 kB a row) has them decoded from its bytes when shown.
#pragma once

#include "monitor/ServedValues.h"
#include "monitor/TrafficTap.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace monitor {

/// Which rows are shown. Every field left empty lets every row through.
using FramePtr = std::unique_ptr<TappedFrame>;

struct MonitorFilter {
    std::optional<pomrel::LinkId> link;
    std::optional<int> unit;
    std::optional<int> function;
    /// First and last point on the wire (0-based, inclusive); a frame shows when its range
    /// overlaps this one.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> addresses;
    /// Exceptions, bad checksums, frames that do not decode and discarded frames.
    bool errorsOnly = false;
    /// Answers a fault rule made: "" any rule, else rules whose name holds this text (any case).
    std::optional<std::string> fault;
};

/// The fault filter's text: empty for every row, "*" or kAnyFault for any fault rule's answer,
/// else part of a rule's name.
std::optional<std::string> ParseFaultFilter(const std::string& text);
inline constexpr const char* kAnyFault = "(any fault)";

/// "100" or "100-199" (0 to 65535, first not above last). Empty text: no address filter.
bool ParseAddressFilter(const std::string& text, std::optional<std::pair<std::uint32_t, std::uint32_t>>& out,
                        std::string& error);
/// "7" (0 to 255). Empty text: any unit.
bool ParseUnitFilter(const std::string& text, std::optional<int>& out, std::string& error);

/// The same link (links are named to the user as logs name them: LinkName).
bool SameLink(const pomrel::LinkId& a, const pomrel::LinkId& b);

/// Told exactly what happens to the shown rows, before and after, so a view can follow.
class MonitorRowListener {
public:
    virtual ~MonitorRowListener() = default;
    /// Shown rows 0..count-1 are about to go (the oldest).
    virtual void RowsAboutToBeDropped(std::size_t count) = 0;
    virtual void RowsDropped() = 0;
    /// Shown rows first..first+count-1 are about to be added at the end.
    virtual void RowsAboutToBeAdded(std::size_t first, std::size_t count) = 0;
    virtual void RowsAdded() = 0;
    /// Every shown row may have changed (filter, clear).
    virtual void AboutToReset() = 0;
    virtual void Reset() = 0;
};

class TrafficMonitorModel {
public:
    enum Column {
        kTime, kLink, kPeer, kDirection, kUnit, kFunction, kAddress, kValues, kRoundTrip, kFault, kBytes, kColumns
    };
    /// Fault rule names remembered for the filter's list.
    static constexpr std::size_t kMaxFaultNames = 64;
    static constexpr std::size_t kDefaultRowLimit = 100000;

    explicit TrafficMonitorModel(pomrel::FrameClockStart clock = {}, std::size_t rowLimit = kDefaultRowLimit);

    void SetListener(MonitorRowListener* listener) { listener_ = listener; }
    /// The clocks the records' monotonic stamps are read against (TrafficTap::Clock).
    void SetClock(pomrel::FrameClockStart clock) { clock_ = clock; }

    /// Keeps the frames (the oldest beyond the row limit dropped and counted). While paused they
    /// are held back, still under the limit, and shown on Resume. Afterwards `frames` holds frames
    /// to reuse: the dropped rows, or null.
    void Append(std::vector<FramePtr>& frames);
    /// The same for frames by value (each moved to the heap first).
    void Append(std::vector<TappedFrame>&& frames);

    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    /// Frames held back while paused.
    std::size_t HeldCount() const { return held_.size(); }

    /// Drops every row, held ones included. The counters and the links seen stay.
    void Clear();

    /// The shown rows follow the filter from now on (the one walk over every kept row).
    void SetFilter(const MonitorFilter& filter);
    const MonitorFilter& Filter() const { return filter_; }
    bool Matches(const TappedFrame& frame) const;

    std::size_t RowLimit() const { return rowLimit_; }
    /// A lower limit drops the oldest rows at once.
    void SetRowLimit(std::size_t limit);

    /// Rows kept (shown or not) and rows shown.
    std::size_t KeptCount() const { return count_; }
    std::size_t ShownCount() const { return shown_.size(); }
    /// Rows dropped because of the row limit, since the model was made.
    std::uint64_t DroppedRows() const { return droppedRows_; }

    /// Shown row `row` (0 ≤ row < ShownCount()).
    const TappedFrame& Shown(std::size_t row) const { return Kept(static_cast<std::size_t>(shown_[row] - firstSeq_)); }
    /// Kept row `i`, oldest first (0 ≤ i < KeptCount(); what Save Capture writes).
    const TappedFrame& Kept(std::size_t i) const { return *ring_[(head_ + i) % ring_.size()]; }
    /// The links seen since the model was made, in the order they first came.
    const std::vector<pomrel::LinkId>& Links() const { return links_; }

    /// The names of the fault rules seen since the model was made, in the order they first came
    /// (the first kMaxFaultNames).
    const std::vector<std::string>& FaultNames() const { return faultNames_; }

    /// Register values are shown in the format of the data window serving them (raw words when
    /// none does, or with the lookup unset or raw words asked for).
    void SetServingLookup(ServingLookup lookup) { lookup_ = std::move(lookup); }
    void SetRawWords(bool raw) { rawWords_ = raw; }
    bool RawWords() const { return rawWords_; }
    /// The values of shown row `row` as raw words when the Values cell shows them otherwise,
    /// else empty.
    std::string RawValuesOf(std::size_t row) const;

    /// The text of one cell of shown row `row`.
    std::string Cell(std::size_t row, int column) const;
    /// Shown rows as Copy puts them on the clipboard: one line per row, cells separated by tabs
    /// (the raw bytes included only when asked for), the rows in the order given.
    std::string CopyText(const std::vector<std::size_t>& rows, bool withBytes) const;
    static const char* ColumnTitle(int column);

    /// Local time of day of a frame with µs ("14:03:07.123456").
    std::string TimeText(const TappedFrame& frame) const;
    /// Wall-clock µs since 1970 of a frame.
    std::int64_t WallUs(const TappedFrame& frame) const;

private:
    void Keep(std::vector<FramePtr>& frames);
    void DropOldest(std::size_t count);
    void Linearize();
    void NoteLink(const pomrel::LinkId& link);
    void NoteFault(const std::string& name);

    pomrel::FrameClockStart clock_;
    std::size_t rowLimit_;
    MonitorFilter filter_;
    MonitorRowListener* listener_ = nullptr;

    // Kept row i (sequence number firstSeq_ + i) is ring_[(head_ + i) % ring_.size()]; slots past
    // the kept ones hold dropped frames until they are reused.
    std::vector<FramePtr> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::uint64_t firstSeq_ = 0;
    std::deque<std::uint64_t> shown_;     // sequence numbers of the shown rows, ascending
    std::deque<FramePtr> held_;           // arrived while paused
    bool paused_ = false;
    std::uint64_t droppedRows_ = 0;
    std::vector<pomrel::LinkId> links_;
    std::vector<std::string> faultNames_;
    ServingLookup lookup_;
    bool rawWords_ = false;
};

/// Function text of a decoded frame: "Read Holding Registers", with " (exception)" on an
/// exception answer.
std::string FunctionText(const DecodedFrame& frame);
/// "100-109", "100", or empty when the frame names no address.
std::string AddressText(const DecodedFrame& frame);
/// The values as raw words (the first few, then "… (N values)"; decoded from the bytes when the
/// frame carries none), the exception, or why the frame did not decode or got no answer.
std::string ValuesText(const TappedFrame& frame);
/// "0.412 ms" on an answer paired with its request, else empty.
std::string RoundTripText(const DecodedFrame& frame);
/// The bytes kept, in hex ("01 03 00 64"), with "… (N bytes)" when the frame was longer.
std::string BytesText(const pomrel::FrameRecord& record);
/// A frame counted as an error: exception, bad checksum, undecodable, discarded, a request left
/// unanswered or its connection closed.
bool IsErrorFrame(const TappedFrame& frame);

} // namespace monitor
