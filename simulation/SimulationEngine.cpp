#include "simulation/SimulationEngine.h"

#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "document/CAutomatePt.h"
#include "document/RegisterValues.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <mutex>

namespace {

using regval::LayoutOfValueType;
using regval::ValueKind;

bool KnownValueType(int t)
{
    return LayoutOfValueType(t) != nullptr;
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

void RunSimulation(OpenDocuments& documents, const DrivenElsewhere& driven)
{
    for (CKelvaro32Doc* doc : documents)
        SimulateDocument(*doc, driven);
}

std::int64_t LastRegisterIndex(const CAutomatePt& point)
{
    const regval::ValueLayout* layout = LayoutOfValueType(point.valueType);
    return std::int64_t{point.pointIndex} + (layout ? layout->registers - 1 : 0);
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
        const bool enron = LayoutOfValueType(p->valueType)->enron;
        const std::int64_t span = std::min<std::int64_t>(enron ? 2 * length : length, kRegisterWords);
        return LastRegisterIndex(*p) >= span;
    };
    // Removing every outside point at once leaves the same list as rescanning from the start
    // after each removal, without the quadratic cost on a long list from a file.
    std::erase_if(doc.simulatedPoints, outside);
}

float ReadSimValue(int valueType, const CKelvaro32Doc& doc, int reg)
{
    const regval::ValueLayout* layout = LayoutOfValueType(valueType);
    const ValueKind kind = layout ? layout->kind : ValueKind::Word;
    switch (kind) {
    case ValueKind::Float32:
        return std::bit_cast<float>(regval::PeekU32(doc, reg, layout->lowWordFirst));
    case ValueKind::Float64:
        return static_cast<float>(std::bit_cast<double>(regval::PeekU64(doc, reg, layout->lowWordFirst)));
    case ValueKind::Long32:
        return static_cast<float>(static_cast<std::int32_t>(regval::PeekU32(doc, reg, layout->lowWordFirst)));
    case ValueKind::Bit:
    case ValueKind::Word:
        break;
    }
    return reg >= 0 && reg < kRegisterWords ? static_cast<float>(doc.Word(reg)) : 0.0f;
}

void WriteSimValue(int valueType, CKelvaro32Doc& doc, int reg, float x)
{
    const regval::ValueLayout* layout = LayoutOfValueType(valueType);
    const ValueKind kind = layout ? layout->kind : ValueKind::Word;
    switch (kind) {
    case ValueKind::Float32:
        regval::PokeU32(doc, reg, std::bit_cast<std::uint32_t>(x), layout->lowWordFirst);
        return;
    case ValueKind::Float64:
        regval::PokeU64(doc, reg, std::bit_cast<std::uint64_t>(static_cast<double>(x)), layout->lowWordFirst);
        return;
    case ValueKind::Long32:
        regval::PokeU32(doc, reg, static_cast<std::uint32_t>(TruncateToInt(x)), layout->lowWordFirst);
        return;
    case ValueKind::Bit:
    case ValueKind::Word:
        break;
    }
    if (reg < 0 || reg >= kRegisterWords)
        return;
    const auto i = static_cast<std::uint32_t>(TruncateToInt(x));
    doc.SetWord(reg, static_cast<std::uint16_t>(kind == ValueKind::Bit ? (i & 1u) : (i & 0xFFFFu)));
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

void SimulateDocument(CKelvaro32Doc& doc, const DrivenElsewhere& driven)
{
    PruneSimulatedPoints(doc);
    const auto drivenElsewhere = [&](const CAutomatePt& p) {
        if (!driven)
            return false;
        const std::int64_t first = doc.StartAddress() + p.pointIndex;
        for (std::int64_t a = first; a <= first + (LastRegisterIndex(p) - p.pointIndex); ++a)
            if (a >= 0 && a <= UINT32_MAX && driven(doc.deviceId, doc.pointType, static_cast<std::uint32_t>(a)))
                return true;
        return false;
    };
    for (const auto& p : doc.simulatedPoints) {
        if (p->tickCounter < INT32_MAX)
            ++p->tickCounter;
        if (p->tickCounter >= p->interval) {
            p->tickCounter = 0;
            if (!drivenElsewhere(*p))
                StepSimulatedPoint(doc, *p);
        }
    }
}
