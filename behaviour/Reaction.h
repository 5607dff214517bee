// Values of points as reactions and scripts see them: a point's words read and written whole
// (under the document's value lock when there are several), in a width as generators name them,
// and the points of the open data windows as a map the behaviour thread can search.
//
// Rules: a coil or input is one bit whatever the width (written: 1 for anything not 0); a
// register point takes the width's words, low word first unless swapped. Integers written are
// rounded and kept in the width's range, except that add wraps around as a register counts.
#pragma once

#include "behaviour/BehaviourScenario.h"
#include "behaviour/GeneratorRunner.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace pomrel { struct WriteRecord; }

namespace behaviour {

/// Words a point takes: 1 for a bit point, else the width's.
int PointWords(int type, Encoding e);
/// The number `count` words hold in width `e` (first word first, as registers lie).
long double DecodeWords(const std::uint16_t* words, int count, Encoding e, bool swapped);
/// The words `value` becomes in width `e` (rounded, kept in range).
Words EncodeValue(long double value, Encoding e, bool swapped);

long double ReadPoint(const PointTarget& p, int type, Encoding e, bool swapped);
void WritePoint(const PointTarget& p, int type, Encoding e, bool swapped, long double value);
/// target += value; integers wrap in their width.
void AddToPoint(const PointTarget& p, int type, Encoding e, bool swapped, long double value);

/// The value a master's write gave the point (unit/type/address of the record): from the record
/// when it holds every word, else read back from `p`. Nothing when the write does not cover it.
std::optional<long double> WrittenValue(const pomrel::WriteRecord& w, const PointRef& point, const PointTarget& p,
                                        Encoding e, bool swapped);

/// The open data windows' blocks, taken on the thread that owns them and searched elsewhere.
class PointMap {
public:
    void Assign(std::vector<PointBlock> blocks) { blocks_ = std::move(blocks); }
    std::optional<PointTarget> Find(int unit, int type, std::uint32_t address, int words) const;
    void Forget(const void* owner);

private:
    std::vector<PointBlock> blocks_;
};

} // namespace behaviour
