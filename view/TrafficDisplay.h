// Traffic lines of a data view: the ring's entries as bracketed numbers, packed into lines as
// wide as the window, split into runs of equal attribute. Plain model: the widget passes in a
// text measurer and paints what this model lays out.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TrafficRing;

/// Pixel widths of texts in the item font.
class TextMeasurer {
public:
    virtual ~TextMeasurer() = default;
    virtual int TextWidth(std::string_view text) const = 0;
    virtual int TextHeight() const = 0;
    /// Width of one entry text alone; a measurer may cache it (the texts are few).
    virtual int EntryWidth(std::uint8_t value, bool hex) const;
};

/// "[0a]" in hex, "[010]" otherwise; returns the length (4 or 5). `out` holds at least 6 chars.
int EntryText(std::uint8_t value, bool hex, char* out);

/// One run of consecutive entries with the same attribute within a line.
class CDispSeg {
public:
    int attribute = 0;
    int firstPosition = 0;   // logical ring index of the first entry
    int cx = 0;              // extent in the item font, set when drawn
    int cy = 0;
    std::string text;
    int entryCount = 0;
};

/// One screen line of traffic; owns its segments.
class CDispLine {
public:
    int firstPosition = 0;
    int width = 0;           // set when drawn
    std::vector<CDispSeg> segments;

    /// Characters of all segments together.
    int TextLength() const;
    int EntryCount() const;
};

/// A segment stays open for more entries while its text is at most this long.
inline constexpr int kSegmentTextLimit = 500;

/// Entries from `position` on whose texts together fit into `width` pixels (0 when not even one
/// does). Never past the ring's count.
int FitCount(const TrafficRing& ring, int position, int width, bool hex, const TextMeasurer& measurer);

/// Appends to `line` the segments of `count` entries from `position`.
void BuildSegments(CDispLine& line, const TrafficRing& ring, int position, int count, bool hex);

/// What the view has to do after a line update.
struct TrafficUpdate {
    enum Kind { kNothing, kRows, kAll };
    Kind kind = kNothing;
    int firstLine = 0;   // kRows: index of the first line with new text
    int firstX = 0;      // kRows: where the new text starts on that line
    int lastLine = 0;    // kRows: index of the last line (inclusive)
};

/// The view's side of a line update.
struct TrafficGeometry {
    int clientWidth = 0;
    int clientHeight = 0;
    int dataTop = 0;      // 0 once the view has painted in traffic mode
    int rowHeight = 0;
    bool hex = false;     // the view's display format is Hex
    bool trafficMode = false;
};

/// The traffic state of one view.
class TrafficLines {
public:
    /// New traffic: every kept position moves down by `shift`, then the line update.
    TrafficUpdate ShiftTraffic(int shift, const TrafficRing& ring, const TrafficGeometry& geometry,
                               const TextMeasurer& measurer);
    /// Rebuilds the last line, appends lines for new entries, drops lines that no longer fit.
    TrafficUpdate Update(const TrafficRing& ring, const TrafficGeometry& geometry, const TextMeasurer& measurer);

    /// Measures every segment of `line` (extent), sets the line's width; returns the x where
    /// the segment holding character `skip` + 1 starts (the first one to draw).
    static int LayoutLine(CDispLine& line, int skip, const TextMeasurer& measurer);

    const std::deque<CDispLine>& Lines() const { return lines_; }
    std::deque<CDispLine>& Lines() { return lines_; }
    int FirstKeptPosition() const { return firstKept_; }

private:
    std::deque<CDispLine> lines_;
    int firstKept_ = 0;
    std::vector<std::pair<int, int>> starts_;   // scratch of Update: (first position, entries)
};
