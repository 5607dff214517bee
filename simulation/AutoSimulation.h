// What the Auto Simulation button of a write dialog runs: the simulation dialog for the edited
// point. The point editor hands these to the write dialogs, which know nothing of simulation.
#pragma once

#include "dialogs/WriteDialogBase.h"

class CKelvaro32Doc;

namespace simdlg {

/// CSimDlg for a register point; a new simulated point gets `valueType`.
writedlg::AutoSimulation RegisterSimulation(CKelvaro32Doc& doc, int pointIndex, int valueType);
/// CCoilSimDlg for a coil or input.
writedlg::AutoSimulation CoilSimulation(CKelvaro32Doc& doc, int pointIndex);

} // namespace simdlg
