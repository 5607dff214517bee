#include "view/TrafficDisplay.h"

#include "view/TrafficRing.h"

#include <algorithm>

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
} // namespace

int EntryText(std::uint8_t value, bool hex, char* out)
{
    if (hex) {
        out[0] = '[';
        out[1] = kHexDigits[value >> 4];
        out[2] = kHexDigits[value & 0x0F];
        out[3] = ']';
        out[4] = '\0';
        return 4;
    }
    out[0] = '[';
    out[1] = static_cast<char>('0' + value / 100);
    out[2] = static_cast<char>('0' + value / 10 % 10);
    out[3] = static_cast<char>('0' + value % 10);
    out[4] = ']';
    out[5] = '\0';
    return 5;
}

int TextMeasurer::EntryWidth(std::uint8_t value, bool hex) const
{
    char text[6];
    const int n = EntryText(value, hex, text);
    return TextWidth(std::string_view(text, static_cast<std::size_t>(n)));
}

int CDispLine::TextLength() const
{
    int n = 0;
    for (const CDispSeg& s : segments)
        n += static_cast<int>(s.text.size());
    return n;
}

int CDispLine::EntryCount() const
{
    int n = 0;
    for (const CDispSeg& s : segments)
        n += s.entryCount;
    return n;
}

int FitCount(const TrafficRing& ring, int position, int width, bool hex, const TextMeasurer& measurer)
{
    const int end = ring.TrafficCount();
    int count = 0;
    long long sum = 0;
    for (int p = std::max(position, 0); p < end; ++p) {
        std::uint8_t byte = 0;
        std::uint8_t attribute = 0;
        if (!ring.ReadTraffic(p, byte, attribute))
            break;
        sum += measurer.EntryWidth(byte, hex);
        if (sum > width)
            break;
        ++count;
    }
    return count;
}

void BuildSegments(CDispLine& line, const TrafficRing& ring, int position, int count, bool hex)
{
    CDispSeg* current = nullptr;
    char text[6];
    for (int p = position; p < position + count; ++p) {
        std::uint8_t byte = 0;
        std::uint8_t attribute = 0;
        ring.ReadTraffic(p, byte, attribute);   // an entry the ring cannot give shows as [000]
        if (current && (attribute != current->attribute || current->text.size() > kSegmentTextLimit))
            current = nullptr;
        if (!current) {
            CDispSeg& seg = line.segments.emplace_back();
            seg.attribute = attribute;
            seg.firstPosition = p;
            current = &seg;
        }
        current->text.append(text, static_cast<std::size_t>(EntryText(byte, hex, text)));
        ++current->entryCount;
    }
}

int TrafficLines::LayoutLine(CDispLine& line, int skip, const TextMeasurer& measurer)
{
    int x = 0;
    int chars = 0;
    int firstDrawnX = -1;
    const int height = measurer.TextHeight();
    for (CDispSeg& seg : line.segments) {
        seg.cx = measurer.TextWidth(seg.text);
        seg.cy = height;
        chars += static_cast<int>(seg.text.size());
        if (chars > skip && firstDrawnX < 0)
            firstDrawnX = x;
        x += seg.cx;
    }
    line.width = x;
    return firstDrawnX < 0 ? x : firstDrawnX;
}

TrafficUpdate TrafficLines::ShiftTraffic(int shift, const TrafficRing& ring, const TrafficGeometry& geometry,
                                         const TextMeasurer& measurer)
{
    for (CDispLine& line : lines_) {
        line.firstPosition -= shift;
        for (CDispSeg& seg : line.segments)
            seg.firstPosition -= shift;
    }
    firstKept_ = std::max(firstKept_ - shift, 0);
    return Update(ring, geometry, measurer);
}

TrafficUpdate TrafficLines::Update(const TrafficRing& ring, const TrafficGeometry& geometry,
                                   const TextMeasurer& measurer)
{
    TrafficUpdate result;
    if (geometry.rowHeight <= 0)
        return result;
    const int visible = (geometry.clientHeight - geometry.dataTop) / geometry.rowHeight;
    if (visible <= 0)
        return result;

    int start = std::max(firstKept_, 0);
    int skip = 0;
    std::size_t firstToDraw = lines_.size();
    if (!lines_.empty()) {
        CDispLine& last = lines_.back();
        // A batch that overwrote more than the line held restarts it at the ring's oldest entry.
        start = std::max(last.firstPosition, 0);
        skip = last.firstPosition < 0 ? 0 : last.TextLength();
        firstToDraw = lines_.size() - 1;
        lines_.pop_back();
    }

    // Where the new lines start, first: lines that would scroll off at once are never built.
    const int count = ring.TrafficCount();
    starts_.clear();
    while (start < count) {
        // Narrower than one entry: one entry per line all the same, so the loop always advances.
        const int n = std::max(FitCount(ring, start, geometry.clientWidth, geometry.hex, measurer), 1);
        starts_.push_back({start, n});
        start += n;
    }
    const std::size_t total = lines_.size() + starts_.size();
    const std::size_t overflow = total > static_cast<std::size_t>(visible) ? total - static_cast<std::size_t>(visible) : 0;
    const std::size_t dropOld = std::min(overflow, lines_.size());
    for (std::size_t i = overflow - dropOld; i < starts_.size(); ++i) {
        CDispLine& line = lines_.emplace_back();
        line.firstPosition = starts_[i].first;
        BuildSegments(line, ring, starts_[i].first, starts_[i].second, geometry.hex);
    }
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(dropOld));

    if (overflow == 0) {
        if (!geometry.trafficMode || firstToDraw >= lines_.size())
            return result;
        const int firstX = LayoutLine(lines_[firstToDraw], skip, measurer);
        for (std::size_t i = firstToDraw + 1; i < lines_.size(); ++i)
            LayoutLine(lines_[i], 0, measurer);
        if (firstToDraw + 1 == lines_.size() && firstX >= lines_[firstToDraw].width)
            return result;   // the rebuilt line shows nothing that is not on the screen already
        result.kind = TrafficUpdate::kRows;
        result.firstLine = static_cast<int>(firstToDraw);
        result.firstX = firstX;
        result.lastLine = static_cast<int>(lines_.size()) - 1;
        return result;
    }

    firstKept_ = lines_.front().firstPosition;
    if (geometry.trafficMode)
        result.kind = TrafficUpdate::kAll;
    return result;
}
