// A workspace for view and dialog tests: what the main frame hands a data window, without the
// application. Blocks are recorded instead of served; the flags are the test's to set.
#pragma once

#include "document/AliasTable.h"
#include "view/TrafficRing.h"
#include "view/Workspace.h"

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

class FakeWorkspace : public Workspace {
public:
    AliasTable aliases;
    TrafficRing traffic;
    bool enronMode = false;
    bool noConnectionOpen = true;
    std::set<pomrel::Handle> blocks;   // defined and not yet removed
    int definitions = 0;
    // Access statistics as the test sets them: texts and marks by (unit, type, address); marks
    // are reported only while accessMarks is on.
    std::map<std::tuple<int, int, std::uint32_t>, std::string> accessTexts;
    std::map<std::tuple<int, int, std::uint32_t>, AccessMark> marks;
    bool accessMarks = false;
    int markQueries = 0;

    AliasTable& Aliases() override { return aliases; }
    bool EnronMode() const override { return enronMode; }
    bool NoConnectionOpen() const override { return noConnectionOpen; }
    const TrafficRing& Traffic() const override { return traffic; }
    pomrel::Handle DefineDataBlock(CKelvaro32Doc&) override
    {
        blocks.insert(++definitions);
        return definitions;
    }
    void RemoveDataBlock(pomrel::Handle handle) override { blocks.erase(handle); }
    std::string AccessText(int unit, int type, std::uint32_t address) override
    {
        auto it = accessTexts.find({unit, type, address});
        return it == accessTexts.end() ? std::string() : it->second;
    }
    bool AccessMarks(int unit, int type, std::uint32_t first, std::uint32_t last, std::vector<AccessMark>& out) override
    {
        ++markQueries;
        if (!accessMarks)
            return false;
        out.assign(last - first + 1, AccessMark::kNone);
        for (std::uint32_t a = first; a <= last; ++a)
            if (auto it = marks.find({unit, type, a}); it != marks.end())
                out[a - first] = it->second;
        return true;
    }
};
