#include "simulation/AutoSimulation.h"

#include "simulation/CCoilSimDlg.h"
#include "simulation/CSimDlg.h"
#include "simulation/SimDialogModels.h"

namespace simdlg {

using writedlg::AfterSimulation;

writedlg::AutoSimulation RegisterSimulation(CKelvaro32Doc& doc, int pointIndex, int valueType)
{
    return [&doc, pointIndex, valueType](QWidget* parent) {
        CSimDlg dlg(SimDialogFor(doc, pointIndex), parent);
        if (dlg.exec() != QDialog::Accepted)
            return AfterSimulation::kCancel;
        return ApplySimDialog(doc, pointIndex, valueType, dlg.model) == HandOffEnd::kUpdate
            ? AfterSimulation::kUpdate : AfterSimulation::kCancel;
    };
}

writedlg::AutoSimulation CoilSimulation(CKelvaro32Doc& doc, int pointIndex)
{
    return [&doc, pointIndex](QWidget* parent) {
        CCoilSimDlg dlg(CoilSimDialogFor(doc, pointIndex), parent);
        if (dlg.exec() != QDialog::Accepted)
            return AfterSimulation::kCancel;
        ApplyCoilSimDialog(doc, pointIndex, dlg.model);
        return AfterSimulation::kUpdate;
    };
}

} // namespace simdlg
