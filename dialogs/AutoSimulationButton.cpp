#include "dialogs/AutoSimulationButton.h"

#include "simulation/CCoilSimDlg.h"
#include "simulation/CSimDlg.h"
#include "simulation/SimDialogModels.h"

namespace writedlg {

AfterSimulation RunRegisterSimulation(QWidget* parent, CKelvaro32Doc* doc, int pointIndex, int valueType)
{
    if (!doc)
        return AfterSimulation::kCancel;
    CSimDlg dlg(simdlg::SimDialogFor(*doc, pointIndex), parent);
    if (dlg.exec() != QDialog::Accepted)
        return AfterSimulation::kCancel;
    return simdlg::ApplySimDialog(*doc, pointIndex, valueType, dlg.model) == simdlg::HandOffEnd::kUpdate
        ? AfterSimulation::kUpdate : AfterSimulation::kCancel;
}

AfterSimulation RunCoilSimulation(QWidget* parent, CKelvaro32Doc* doc, int pointIndex)
{
    if (!doc)
        return AfterSimulation::kCancel;
    CCoilSimDlg dlg(simdlg::CoilSimDialogFor(*doc, pointIndex), parent);
    if (dlg.exec() != QDialog::Accepted)
        return AfterSimulation::kCancel;
    simdlg::ApplyCoilSimDialog(*doc, pointIndex, dlg.model);
    return AfterSimulation::kUpdate;
}

} // namespace writedlg
