// The Auto Simulation button of the register and coil write dialogs: runs the simulation dialog
// for the edited point and says how the write dialog ends.
#pragma once

#include <optional>

class CKelvaro32Doc;
class QWidget;

namespace writedlg {

/// How the write dialog goes on after the simulation dialog.
enum class AfterSimulation { kUpdate, kCancel };

/// CSimDlg for a register point, with the value type the new simulated point gets.
AfterSimulation RunRegisterSimulation(QWidget* parent, CKelvaro32Doc* doc, int pointIndex, int valueType);
/// CCoilSimDlg for a coil or input.
AfterSimulation RunCoilSimulation(QWidget* parent, CKelvaro32Doc* doc, int pointIndex);

} // namespace writedlg
