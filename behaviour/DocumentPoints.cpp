#include "behaviour/DocumentPoints.h"

#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"

#include <algorithm>

namespace behaviour {

std::optional<PointTarget> DocumentPoints::Resolve(int unit, int type, std::uint32_t address, int words)
{
    if (words < 1)
        return std::nullopt;
    // The first document that holds every word, as automation's writes find their block.
    for (CKelvaro32Doc* doc : documents_) {
        if (doc->deviceId != unit || doc->pointType != type)
            continue;
        const std::int64_t start = doc->StartAddress();
        const std::int64_t length = std::min<std::int64_t>(doc->length, kRegisterWords);
        const std::int64_t first = address;
        const std::int64_t last = first + words - 1;
        if (first < start || last > start + length - 1)
            continue;
        return PointTarget{&doc->memory[static_cast<std::size_t>(first - start)], &doc->valueLock, doc};
    }
    return std::nullopt;
}

std::vector<PointBlock> DocumentPoints::Blocks()
{
    std::vector<PointBlock> out;
    for (CKelvaro32Doc* doc : documents_) {
        const auto length = static_cast<std::uint32_t>(std::min<std::int64_t>(doc->length, kRegisterWords));
        out.push_back(PointBlock{doc->deviceId, doc->pointType, static_cast<std::uint32_t>(doc->StartAddress()), length,
                                 doc->memory.data(), &doc->valueLock, doc});
    }
    return out;
}

} // namespace behaviour
