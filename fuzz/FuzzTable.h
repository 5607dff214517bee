// A block table shaped to reach every branch of the handler: adjacent and overlapping blocks,
// every point type, ENRON ranges, the block at 65536, two devices, one switched off.
#pragma once

#include "engine/BlockTable.h"

#include <array>

namespace pomrel::fuzz {

struct FuzzTable {
    FuzzTable()
    {
        for (std::size_t i = 0; i < 1000; ++i)
            for (auto& m : memory)
                m[i].store(static_cast<std::uint16_t>(i * 7919u));
        table.Define(1, 1, 1, 100, memory[0].data(), nullptr);
        table.Define(1, 2, 1, 100, memory[1].data(), nullptr);
        table.Define(1, 3, 1, 100, memory[2].data(), nullptr);
        table.Define(1, 3, 101, 50, memory[3].data(), nullptr);
        table.Define(1, 3, 51, 100, memory[4].data(), nullptr);
        table.Define(1, 4, 1, 1000, memory[5].data(), nullptr);
        table.Define(1, 3, 5001, 1000, memory[6].data(), nullptr);
        table.Define(2, 3, 7001, 1000, memory[7].data(), nullptr);
        table.Define(2, 1, 0, 1000, memory[8].data(), nullptr);
        table.Define(3, 3, 0, 10, memory[9].data(), nullptr);
        table.SetDeviceActive(3, false);
    }
    std::array<std::array<RegisterWord, 1000>, 10> memory{};
    BlockTable table;
};

} // namespace pomrel::fuzz
