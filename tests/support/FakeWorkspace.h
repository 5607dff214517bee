// A workspace for view and dialog tests: what the main frame hands a data window, without the
// application. Blocks are recorded instead of served; the flags are the test's to set.
#pragma once

#include "document/AliasTable.h"
#include "view/TrafficRing.h"
#include "view/Workspace.h"

#include <set>

class FakeWorkspace : public Workspace {
public:
    AliasTable aliases;
    TrafficRing traffic;
    bool enronMode = false;
    bool noConnectionOpen = true;
    std::set<pomrel::Handle> blocks;   // defined and not yet removed
    int definitions = 0;

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
};
