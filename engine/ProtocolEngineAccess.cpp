// Access statistics: the engine's public face for them.
#include "engine/EngineCore.h"

#include <algorithm>
#include <mutex>

namespace pomrel {

std::vector<PointAccess> ProtocolEngine::AccessStats(int unit, int type, std::uint32_t first, std::uint32_t last) const
{
    const EngineContext& context = core_->context;
    std::vector<PointAccess> out;
    std::vector<std::uint32_t> writers;
    {
        std::lock_guard lock(context.blocks.Mutex());
        for (const Block& b : context.blocks.Blocks()) {
            if ((unit >= 0 && b.device != unit) || (type > 0 && b.type != type) || b.stats == nullptr ||
                b.wireStart + 1 > last || b.wireStart + b.length < first)
                continue;
            for (std::uint32_t i = 0; i < b.length; ++i) {
                const std::uint32_t address = (b.wireStart + i) + 1;  // 1..65536 as the documents count
                if (address > 0x10000u)
                    break;
                if (address < first || address > last)
                    continue;
                const PointStats& s = b.stats[i];
                PointAccess p;
                p.unit = b.device;
                p.type = b.type;
                p.address = address;
                p.reads = s.reads.load(std::memory_order_relaxed);
                p.writes = s.writes.load(std::memory_order_relaxed);
                p.exceptions = s.exceptions.load(std::memory_order_relaxed);
                p.lastReadUs = s.lastReadUs.load(std::memory_order_relaxed);
                p.lastWriteUs = s.lastWriteUs.load(std::memory_order_relaxed);
                out.push_back(std::move(p));
                writers.push_back(s.writer.load(std::memory_order_relaxed));
            }
        }
    }
    // Writer texts made outside the table's lock: the engine thread waits for nobody's strings.
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i].lastWriter = context.access.WriterText(writers[i]);
    std::stable_sort(out.begin(), out.end(), [](const PointAccess& a, const PointAccess& b) {
        return std::tie(a.unit, a.type, a.address) < std::tie(b.unit, b.type, b.address);
    });
    return out;
}

void ProtocolEngine::ResetAccessStats()
{
    core_->RunOnEngine([this] {
        EngineContext& context = core_->context;
        std::lock_guard lock(context.blocks.Mutex());
        context.blocks.ResetStats();
        context.access.ResetUnserved();
    });
}

std::vector<UnservedRequest> ProtocolEngine::Unserved() const { return core_->context.access.Unserved(); }

std::uint64_t ProtocolEngine::UnservedEvents() const { return core_->context.access.UnservedEvents(); }

std::uint64_t ProtocolEngine::UnservedOverflow() const { return core_->context.access.UnservedOverflow(); }

std::vector<FunctionCount> ProtocolEngine::FunctionCounts() const { return core_->context.access.FunctionCounts(); }

void ProtocolEngine::EnableAccessStats(bool on) { core_->context.access.Enable(on); }

} // namespace pomrel
