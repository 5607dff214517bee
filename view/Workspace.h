// What a data window needs from the workspace around it. The main frame implements it and hands
// it through the child frame to each view, and from the view to the dialogs it opens, so no
// window or dialog reaches for a process-wide object; tests hand a small fake instead.
#pragma once

#include "engine/ProtocolEngine.h"

#include <cstdint>
#include <string>
#include <vector>

class AliasTable;
class CKelvaro32Doc;
class TrafficRing;

/// What a point's label colour tells under Display > Access Marks.
enum class AccessMark : std::uint8_t {
    kNone,       // nothing to tell: the document's foreground colour
    kRead,       // read in the last 2 s
    kWritten,    // written in the last 2 s
    kNeverRead,  // never read since the statistics were last reset
};

class Workspace {
public:
    virtual ~Workspace() = default;

    /// The alias table every window labels its points with and the write dialogs edit.
    virtual AliasTable& Aliases() = 0;
    /// The ENRON option of the connections (one 32-bit value per point in ENRON ranges).
    virtual bool EnronMode() const = 0;
    /// True while neither the server nor any port is open: the views blink "NOT CONNECTED".
    virtual bool NoConnectionOpen() const = 0;
    /// The traffic of every link, as the traffic display reads it.
    virtual const TrafficRing& Traffic() const = 0;

    /// Serves the document's block (its current header and memory) to masters.
    virtual pomrel::Handle DefineDataBlock(CKelvaro32Doc& doc) = 0;
    /// Stops serving a block; returns once no request uses its memory.
    virtual void RemoveDataBlock(pomrel::Handle handle) = 0;

    /// What masters did to a served point (unit, type 1..4, address 1..65536) as a few lines
    /// for its tooltip; empty when there is nothing to tell.
    virtual std::string AccessText(int unit, int type, std::uint32_t address) = 0;
    /// The marks of points first..last into `marks` (one per address, kNone for a point the
    /// engine does not count); false, `marks` untouched, while Access Marks is off.
    virtual bool AccessMarks(int unit, int type, std::uint32_t first, std::uint32_t last,
                             std::vector<AccessMark>& marks) = 0;
};
