#include "simulation/SimDialogModels.h"

#include "document/CKelvaro32Doc.h"
#include "document/CAutomatePt.h"

#include <memory>

namespace simdlg {

using fieldtext::FieldCheck;

SimDlgModel::Enabling SimDlgModel::Enables() const
{
    const bool on = enabled != 0;
    return {on, on, on && simulationType != 0, on, on};
}

FieldCheck SimDlgModel::Exchange(std::string_view highText, std::string_view intervalText,
                                 std::string_view lowText, std::string_view stepText)
{
    if (auto e = fieldtext::TakeNumber(highText, kIdHigh, highLimit))
        return e;
    if (auto e = fieldtext::TakeInteger(intervalText, kIdInterval, interval))
        return e;
    if (auto e = fieldtext::TakeNumber(lowText, kIdLow, lowLimit))
        return e;
    if (auto e = fieldtext::TakeNumber(stepText, kIdStep, step))
        return e;
    return std::nullopt;
}

FieldCheck CoilSimDlgModel::Exchange(std::string_view intervalText)
{
    return fieldtext::TakeInteger(intervalText, kIdInterval, interval);
}

SimDlgModel SimDialogFor(const CKelvaro32Doc& doc, int pointIndex)
{
    SimDlgModel m;
    if (const CAutomatePt* p = doc.FindSimulatedPoint(pointIndex)) {
        m.enabled = 1;
        m.simulationType = p->simulationType;
        m.interval = p->interval;
        m.step = p->step;
        m.lowLimit = p->lowLimit;
        m.highLimit = p->highLimit;
    }
    return m;
}

CoilSimDlgModel CoilSimDialogFor(const CKelvaro32Doc& doc, int pointIndex)
{
    CoilSimDlgModel m;
    if (const CAutomatePt* p = doc.FindSimulatedPoint(pointIndex)) {
        m.enabled = 1;
        m.simulationType = p->simulationType;
        m.interval = p->interval;
    }
    return m;
}

HandOffEnd ApplySimDialog(CKelvaro32Doc& doc, int pointIndex, int valueType, const SimDlgModel& dlg)
{
    if (doc.FindSimulatedPoint(pointIndex))
        doc.RemoveSimulatedPoint(pointIndex);
    if (!dlg.enabled)
        return HandOffEnd::kCancel;
    auto p = std::make_unique<CAutomatePt>();
    p->pointIndex = pointIndex;
    p->valueType = valueType;
    p->simulationType = dlg.simulationType;
    p->interval = dlg.interval;
    p->step = dlg.step;
    p->lowLimit = dlg.lowLimit;
    p->highLimit = dlg.highLimit;
    p->tickCounter = 0;
    doc.AddSimulatedPoint(std::move(p));
    return HandOffEnd::kUpdate;
}

HandOffEnd ApplyCoilSimDialog(CKelvaro32Doc& doc, int pointIndex, const CoilSimDlgModel& dlg)
{
    if (doc.FindSimulatedPoint(pointIndex))
        doc.RemoveSimulatedPoint(pointIndex);
    if (dlg.enabled) {
        auto p = std::make_unique<CAutomatePt>();
        p->pointIndex = pointIndex;
        p->valueType = kValueBit;
        p->simulationType = dlg.simulationType;
        p->interval = dlg.interval;
        p->step = 1.0f;
        p->lowLimit = 0.0f;
        p->highLimit = 100.0f;
        doc.AddSimulatedPoint(std::move(p));
    }
    return HandOffEnd::kUpdate;
}

} // namespace simdlg
