#include "engine/BlockTable.h"

#include <algorithm>

namespace pomrel {

Handle BlockTable::Define(int deviceId, int pointType, int startAddress, int length, RegisterWord* memory,
                          std::mutex* valueLock)
{
    if (deviceId < 0 || deviceId > 255 || pointType < kCoils || pointType > kInputRegisters || memory == nullptr)
        return kNoHandle;
    Block block;
    block.device = static_cast<std::uint8_t>(deviceId);
    block.type = static_cast<std::uint8_t>(pointType);
    const std::uint32_t start = static_cast<std::uint32_t>(startAddress) & 0xFFFFu;
    block.wireStart = start == 0 ? 0xFFFFu : start - 1;
    block.length = static_cast<std::uint32_t>(std::clamp(length, 0, static_cast<int>(kMaxBlockWords)));
    if (pointType == kHoldingRegisters || pointType == kInputRegisters) {
        // Judged on the stored start, as the data view judges it: a stored 0 (address 65536) is
        // no ENRON block, so master and screen agree on every block.
        if (start >= 5000 && start <= 5999)
            block.enron = Block::Enron::Long;
        else if (start >= 7000)
            block.enron = Block::Enron::Float;
    }
    block.memory = memory;
    if (valueLock != nullptr) {
        block.valueLock = valueLock;
    } else {
        block.ownLock = std::make_shared<std::mutex>();
        block.valueLock = block.ownLock.get();
    }
    if (block.length > 0) {
        block.ownStats = std::shared_ptr<PointStats[]>(new PointStats[block.length]);
        block.stats = block.ownStats.get();
    }
    std::lock_guard lock(mutex_);
    block.handle = next_++;
    blocks_.push_back(std::move(block));
    return blocks_.back().handle;
}

bool BlockTable::Remove(Handle handle)
{
    std::lock_guard lock(mutex_);
    const auto removed = std::erase_if(blocks_, [&](const Block& b) { return b.handle == handle; });
    return removed != 0;
}

void BlockTable::ResetStats()
{
    for (const Block& b : blocks_)
        for (std::uint32_t i = 0; i < b.length; ++i) {
            PointStats& p = b.stats[i];
            p.reads.store(0, std::memory_order_relaxed);
            p.writes.store(0, std::memory_order_relaxed);
            p.exceptions.store(0, std::memory_order_relaxed);
            p.writer.store(0, std::memory_order_relaxed);
            p.lastReadUs.store(0, std::memory_order_relaxed);
            p.lastWriteUs.store(0, std::memory_order_relaxed);
        }
}

void BlockTable::SetDeviceActive(std::uint16_t deviceId, bool enable)
{
    if (deviceId <= 255)
        inactive_[deviceId].store(!enable, std::memory_order_relaxed);
}

} // namespace pomrel
