// Shared by the write and simulation dialogs: control names and how a refused field is reported.
#pragma once

#include "dialogs/FieldText.h"

#include <QString>

class QBoxLayout;
class QDialog;
class QLineEdit;
class QPushButton;
class QWidget;

namespace writedlg {

/// Object name of the control with resource id `id` ("control1013"), so tests find it.
QString ControlName(int id);
/// A line edit named after its control id.
QLineEdit* MakeEdit(int id, const QString& text, QWidget* parent);
/// Shows the error's message in a message box, then puts the focus on the failing control.
void ShowFieldError(QDialog* dialog, const fieldtext::FieldError& error);
/// The text of the line edit named after `id` in `dialog` (empty when there is none).
QString EditText(const QDialog* dialog, int id);
/// True when `check` refused nothing; otherwise shows its error (ShowFieldError) and returns false.
bool AcceptOrReport(QDialog* dialog, const fieldtext::FieldCheck& check);
/// "OK" (id 1, default) and "Cancel" (id 2, rejects) at the end of `layout`. Returns OK, which
/// the caller connects to its own check, since each dialog validates differently.
QPushButton* AddOkCancelButtons(QDialog* dialog, QBoxLayout* layout);

} // namespace writedlg
