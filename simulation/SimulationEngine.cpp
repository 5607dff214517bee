#include "simulation/SimulationEngine.h"

#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "simulation/CAutomatePt.h"
#include "view/ValueFormat.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <mutex>

namespace {

bool KnownValueType(int t)
{
    return t >= kValueBit && t <= kValueEnronLong && t != 8;
}

// Which types keep the low half (or lowest quarter) in the first register.
bool LowFirst(int valueType)
{
    switch (valueType) {
    case kValueFloatLowFirst: case kValueEnronFloat:
    case kValueLongLowFirst: case kValueEnronLong:
    case kValueDoubleLowFirst:
        return true;
    default:
        return false;
    }
}

// x cut toward zero; out of range and NaN give INT32_MIN, as the x87/SSE conversion does.
std::int32_t TruncateToInt(float x)
{
    if (!(x >= -2147483648.0f && x < 2147483648.0f))
        return INT32_MIN;
    return static_cast<std::int32_t>(x);
}

} // namespace

ClassicRandom& SimulationRandom()
{
    static ClassicRandom random;
    return random;
}

void RunSimulation(OpenDocuments& documents)
{
    for (CKelvaro32Doc* doc : documents)
        SimulateDocument(*doc);
}

std::int64_t LastRegisterIndex(const CAutomatePt& point)
{
    std::int64_t last = point.pointIndex;
    switch (point.valueType) {
    case kValueFloatLowFirst: case kValueFloatHighFirst:
    case kValueLongLowFirst: case kValueLongHighFirst:
    case kValueEnronFloat: case kValueEnronLong:
        return last + 1;
    case kValueDoubleLowFirst: case kValueDoubleHighFirst:
        return last + 3;
    default:
        return last;
    }
}

void PruneSimulatedPoints(CKelvaro32Doc& doc)
{
    const std::int64_t length = doc.length;
    auto outside = [&](const std::unique_ptr<CAutomatePt>& p) {
        if (!p || p->pointIndex < 0 || !KnownValueType(p->valueType))
            return true;
        // An ENRON block's length counts two-register points, and its simulated points carry
        // register indices: compare those against the block's register span, or every point in
        // the upper half of the block would be dropped.
        const bool enron = p->valueType == kValueEnronFloat || p->valueType == kValueEnronLong;
        const std::int64_t span = std::min<std::int64_t>(enron ? 2 * length : length, kRegisterWords);
        return LastRegisterIndex(*p) >= span;
    };
    // Removing every outside point at once leaves the same list as rescanning from the start
    // after each removal, without the quadratic cost on a long list from a file.
    std::erase_if(doc.simulatedPoints, outside);
}

float ReadSimValue(int valueType, const CKelvaro32Doc& doc, int reg)
{
    switch (valueType) {
    case kValueFloatLowFirst: case kValueFloatHighFirst: case kValueEnronFloat:
        return std::bit_cast<float>(valuefmt::PeekU32(doc, reg, LowFirst(valueType)));
    case kValueDoubleLowFirst: case kValueDoubleHighFirst:
        return static_cast<float>(std::bit_cast<double>(valuefmt::PeekU64(doc, reg, LowFirst(valueType))));
    case kValueLongLowFirst: case kValueLongHighFirst: case kValueEnronLong:
        return static_cast<float>(static_cast<std::int32_t>(valuefmt::PeekU32(doc, reg, LowFirst(valueType))));
    default:
        return reg >= 0 && reg < kRegisterWords ? static_cast<float>(doc.Word(reg)) : 0.0f;
    }
}

void WriteSimValue(int valueType, CKelvaro32Doc& doc, int reg, float x)
{
    switch (valueType) {
    case kValueFloatLowFirst: case kValueFloatHighFirst: case kValueEnronFloat:
        valuefmt::PokeU32(doc, reg, std::bit_cast<std::uint32_t>(x), LowFirst(valueType));
        return;
    case kValueDoubleLowFirst: case kValueDoubleHighFirst:
        valuefmt::PokeU64(doc, reg, std::bit_cast<std::uint64_t>(static_cast<double>(x)), LowFirst(valueType));
        return;
    case kValueLongLowFirst: case kValueLongHighFirst: case kValueEnronLong:
        valuefmt::PokeU32(doc, reg, static_cast<std::uint32_t>(TruncateToInt(x)), LowFirst(valueType));
        return;
    default:
        break;
    }
    if (reg < 0 || reg >= kRegisterWords)
        return;
    const auto i = static_cast<std::uint32_t>(TruncateToInt(x));
    doc.SetWord(reg, static_cast<std::uint16_t>(valueType == kValueBit ? (i & 1u) : (i & 0xFFFFu)));
}

void StepSimulatedPoint(CKelvaro32Doc& doc, const CAutomatePt& point)
{
    // Read, change and write under the block's lock so that a master never reads half a value.
    std::lock_guard lock(doc.valueLock);
    float x = ReadSimValue(point.valueType, doc, point.pointIndex);
    switch (point.simulationType) {
    case kSimRandom: {
        const float r = static_cast<float>(SimulationRandom().Next());
        x = (point.highLimit - point.lowLimit) * (r / 32767.0f) + point.lowLimit;
        break;
    }
    case kSimIncrement:
        x = x + point.step;
        break;
    case kSimDecrement:
        x = x - point.step;
        break;
    default:
        break;
    }
    if (x > point.highLimit)
        x = point.lowLimit;
    if (x < point.lowLimit)
        x = point.highLimit;
    WriteSimValue(point.valueType, doc, point.pointIndex, x);
}

void SimulateDocument(CKelvaro32Doc& doc)
{
    PruneSimulatedPoints(doc);
    for (const auto& p : doc.simulatedPoints) {
        if (p->tickCounter < INT32_MAX)
            ++p->tickCounter;
        if (p->tickCounter >= p->interval) {
            p->tickCounter = 0;
            StepSimulatedPoint(doc, *p);
        }
    }
}
