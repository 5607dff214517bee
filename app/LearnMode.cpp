#include "app/LearnMode.h"

#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "document/CKelvaro32Doc.h"
#include "engine/ProtocolEngine.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kWindowPoints = 1000;
constexpr int kPollMs = 100;

// The point type a function reaches; 0 for functions without points.
int TypeOf(std::uint8_t function)
{
    switch (function) {
    case 1: case 5: case 15: return 1;
    case 2: return 2;
    case 3: case 6: case 16: case 22: case 23: case 24: return 3;
    case 4: return 4;
    default: return 0;
    }
}

const char* TypeName(int type)
{
    switch (type) {
    case 1: return "coils";
    case 2: return "inputs";
    case 3: return "holding registers";
    default: return "input registers";
    }
}

}  // namespace

LearnMode::LearnMode(CKelvaro32App& app) : app_(app)
{
    timer_.setInterval(kPollMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

void LearnMode::SetOn(bool on)
{
    on_ = on;
    if (on) {
        seen_ = 0;  // what was asked before counts too
        timer_.start();
    } else {
        timer_.stop();
    }
}

bool LearnMode::Covered(int unit, int type, std::uint32_t first, std::uint32_t last) const
{
    const auto points = app_.Engine().AccessStats(unit, type, first, last);
    std::vector<bool> held(last - first + 1);
    for (const auto& p : points)
        held[p.address - first] = true;
    return std::all_of(held.begin(), held.end(), [](bool b) { return b; });
}

void LearnMode::Tick()
{
    if (!on_)
        return;
    const std::uint64_t events = app_.Engine().UnservedEvents();
    if (events == seen_)
        return;
    seen_ = events;
    // Windows closed since are no longer ours to grow.
    const auto& open = app_.Documents().All();
    std::erase_if(learnt_, [&](CKelvaro32Doc* d) { return std::find(open.begin(), open.end(), d) == open.end(); });
    for (const pomrel::UnservedRequest& r : app_.Engine().Unserved()) {
        const int type = TypeOf(r.function);
        if (type == 0 || r.address == 0)
            continue;
        const std::uint32_t first = r.address;
        const std::uint32_t last = std::min<std::uint32_t>(first + std::max<std::uint32_t>(r.quantity, 1) - 1, 0x10000);
        if (!Covered(r.unit, type, first, last))
            Serve(r.unit, type, first, last);
    }
}

void LearnMode::Serve(int unit, int type, std::uint32_t first, std::uint32_t last)
{
    // Grow a learnt window of this unit and type when the whole would still fit in one.
    for (CKelvaro32Doc* doc : learnt_) {
        if (doc->deviceId != unit || doc->pointType != type)
            continue;
        const std::uint32_t start = doc->StartAddress();
        const std::uint32_t end = start + doc->length - 1;
        const std::uint32_t lo = std::min(start, first);
        const std::uint32_t hi = std::max(end, last);
        if (hi - lo + 1 > kWindowPoints)
            continue;
        // Values keep their addresses: a start moved down moves every word up.
        const std::uint32_t shift = start - lo;
        for (int i = static_cast<int>(doc->length) - 1; shift != 0 && i >= 0; --i) {
            doc->SetWord(static_cast<int>(i + shift), doc->Word(i));
            doc->SetWord(i, 0);
        }
        doc->startAddress = static_cast<std::uint16_t>(lo & 0xFFFF);
        doc->length = static_cast<std::uint16_t>(hi - lo + 1);
        doc->SetupViews();
        if (onLearnt)
            onLearnt("learnt: unit " + std::to_string(unit) + " " + TypeName(type) + " " + std::to_string(lo) + ".." +
                     std::to_string(hi) + " (" + doc->title + ")");
        return;
    }
    // New windows of at most 1000 points each.
    for (std::uint32_t lo = first; lo <= last; lo += kWindowPoints) {
        const std::uint32_t hi = std::min(last, lo + kWindowPoints - 1);
        CChildFrame* child = app_.CreateDocumentWindow("Learnt" + std::to_string(++count_), false);
        CKelvaro32Doc* doc = child->Document();
        doc->deviceId = static_cast<std::uint8_t>(unit);
        doc->pointType = static_cast<std::uint8_t>(type);
        doc->startAddress = static_cast<std::uint16_t>(lo & 0xFFFF);
        doc->length = static_cast<std::uint16_t>(hi - lo + 1);
        for (std::size_t i = 0; i < doc->memory.size(); ++i)
            doc->SetWord(static_cast<int>(i), 0);
        doc->SetupViews();
        learnt_.push_back(doc);
        if (onLearnt)
            onLearnt("learnt: unit " + std::to_string(unit) + " " + TypeName(type) + " " + std::to_string(lo) + ".." +
                     std::to_string(hi) + " (" + doc->title + ")");
    }
}
