// Register values as the data window that serves them shows them: a float window's two words as
// one float, a hex window's words in hex. The monitor asks, for the first point of a frame, which
// open window serves it and in which display format; values no window serves, or that run past
// the window's block (into another window or none), stay raw words. Plain code.
#pragma once

#include "monitor/TrafficTap.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

class OpenDocuments;

namespace monitor {

/// The block of the data window serving a point, and how that window shows it.
struct ServedBlock {
    std::uint32_t wireStart = 0;  // the block's first point on the wire (0-based)
    std::uint32_t points = 0;     // points in the block
    int format = 0;               // DisplayFormat, an ENRON one when the ENRON rule applies
};

/// (link, unit, point type 1..4 as documents number them, wire address) -> the serving window.
using ServingLookup = std::function<std::optional<ServedBlock>(const pomrel::LinkId& link, int unit, int pointType,
                                                               std::uint32_t wireAddress)>;
/// The device a link serves for a unit a master sends; nothing when the monitor cannot say.
using DeviceOfUnit = std::function<std::optional<int>(const pomrel::LinkId& link, int unit)>;

/// The register values of `frame` in the serving window's format ("3.1416 -2.5"), the first
/// `shown` of them, then "… (N values)"; nothing when no single window serves them all, the
/// frame carries no register values, or its words do not fall on the window's values.
std::optional<std::string> ServedValuesText(const TappedFrame& frame, const ServingLookup& lookup, std::size_t shown);

/// The lookup over the open documents: a document serves the points of its block for its device
/// id, in the display format of its (first) view. `enronMode` says whether the ENRON register
/// rules are on; `device` maps a link's unit to a device (none given: the unit is the device).
/// The documents must outlive the lookup; call it on the thread that changes them.
ServingLookup DocumentLookup(const OpenDocuments& documents, std::function<bool()> enronMode,
                             DeviceOfUnit device = {});

/// The device an endpoint with a units map serves for `unit`: the mapped one; none for a unit it
/// does not map (units 0 and 255 included: which device they reach is the engine's to say, and a
/// raw word is never wrong). Without a map the unit is the device.
std::optional<int> MappedDevice(const std::map<std::uint8_t, std::uint8_t>& units, int unit);
/// Whether records of `link` come from `endpoint` (its protocol and number).
bool EndpointOfLink(const pomrel::ServerEndpoint& endpoint, const pomrel::LinkId& link);

} // namespace monitor
