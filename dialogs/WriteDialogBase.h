// What the five write dialogs share: "&Update" (id 1, default) and "Cancel" (id 2), an optional
// "Auto Simulation" button (id 1000), and filling the controls when the dialog opens.
#pragma once

#include <QDialog>

#include <functional>

class QGridLayout;
class QLineEdit;
class QPushButton;

namespace writedlg {

/// How the write dialog goes on after the simulation dialog.
enum class AfterSimulation { kUpdate, kCancel };
/// What the Auto Simulation button runs, modal on the write dialog.
using AutoSimulation = std::function<AfterSimulation(QWidget* writeDialog)>;

class WriteDialogBase : public QDialog {
    Q_OBJECT
public:
    WriteDialogBase(int templateId, const QString& caption, bool autoSimulation, QWidget* parent);

    /// Update as if its button had been pressed: takes and checks the members, ends with Update
    /// when all pass, else reports the failing field and stays open.
    void OnUpdate();
    /// Handed by whoever opens the dialog; without it the button does nothing.
    void SetAutoSimulation(AutoSimulation run) { autoSimulation_ = std::move(run); }

protected:
    /// Shows the members in the controls (once, when the dialog opens).
    virtual void LoadControls() = 0;
    /// Takes the members back from the controls; shows the first failure and returns false.
    virtual bool SaveControls() = 0;
    /// The Auto Simulation hand-off: runs what was handed, then ends as it says.
    void OnAutoSimulation();

    void showEvent(QShowEvent* event) override;

    /// Fields go here (row by row); the buttons sit below it.
    QGridLayout* Fields() const { return fields_; }
    /// The Address / Value / Alias rows of the register dialogs; returns the value edit.
    QLineEdit* AddRegisterFields(const QString& valueLabel);
    /// Ends the dialog the way the simulation dialog left it: Update, or else Cancel.
    void FinishAfterSimulation(AfterSimulation after);

private:
    QGridLayout* fields_;
    AutoSimulation autoSimulation_;
    bool loaded_ = false;
};

} // namespace writedlg
