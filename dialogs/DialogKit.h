// What every dialog of the program shares: control names that tests find, line edits, how a
// refused field is reported, and the OK / Cancel row.
#pragma once

#include "dialogs/FieldText.h"

#include <QString>

class QBoxLayout;
class QDialog;
class QLineEdit;
class QPushButton;
class QWidget;

namespace dialogkit {

/// Object name of the control with resource id `id` ("control1013"), so tests find it.
QString ControlName(int id);
/// A line edit named after its control id.
QLineEdit* MakeEdit(int id, const QString& text, QWidget* parent);
/// Shows `text` in a message box, then puts the focus back on `field` with its text selected.
void ShowFieldError(QWidget* dialog, QWidget* field, const QString& text);
/// The same for a field check's error: the failing control is found by its id.
void ShowFieldError(QDialog* dialog, const fieldtext::FieldError& error);
/// The text of the line edit named after `id` in `dialog` (empty when there is none).
QString EditText(const QDialog* dialog, int id);
/// True when `check` refused nothing; otherwise shows its error (ShowFieldError) and returns false.
bool AcceptOrReport(QDialog* dialog, const fieldtext::FieldCheck& check);
/// "OK" (id 1, default) and "Cancel" (id 2, rejects) at the end of `layout`. Returns OK, which
/// the caller connects to its own check, since each dialog validates differently.
QPushButton* AddOkCancelButtons(QDialog* dialog, QBoxLayout* layout);
/// The same row with OK running the dialog's accept(), where a dialog checks its fields.
void AddOkCancelBox(QDialog* dialog, QBoxLayout* layout);

} // namespace dialogkit
