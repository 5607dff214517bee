// Auto simulation: once a second every simulated point of every document may change.
// Plain code; runs on the user-interface thread, next to the engine's own threads.
#pragma once

#include <cstdint>
#include <functional>

class CKelvaro32Doc;
class OpenDocuments;
struct CAutomatePt;

/// Whether something else owns a word (unit, point type 1-4, address as the documents count
/// them): a simulated point with such a word is not stepped.
using DrivenElsewhere = std::function<bool(int unit, int type, std::uint32_t address)>;

/// One tick of the main timer over every document, in creation order.
void RunSimulation(OpenDocuments& documents, const DrivenElsewhere& driven = {});

/// One tick of one document: prune, then count ticks and step the points that are due and not
/// driven elsewhere.
void SimulateDocument(CKelvaro32Doc& doc, const DrivenElsewhere& driven = {});

/// Drops every point that no longer fits in the document's block (or has an unknown type).
void PruneSimulatedPoints(CKelvaro32Doc& doc);

/// Register index of the last word the point uses.
std::int64_t LastRegisterIndex(const CAutomatePt& point);

/// Gives the point its next value in the document's memory, under doc.valueLock.
void StepSimulatedPoint(CKelvaro32Doc& doc, const CAutomatePt& point);

/// The point's value at register `reg` as a float. Caller holds doc.valueLock.
float ReadSimValue(int valueType, const CKelvaro32Doc& doc, int reg);
/// Stores `x` at register `reg` the way `valueType` lays it out. Caller holds doc.valueLock.
void WriteSimValue(int valueType, CKelvaro32Doc& doc, int reg, float x);

/// The classic linear congruential generator: state 1 at start, never reseeded.
class ClassicRandom {
public:
    /// A number from 0 to 32767.
    int Next()
    {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

private:
    std::uint32_t state_ = 1;
};

/// The one generator of the process that Random points draw from.
ClassicRandom& SimulationRandom();
