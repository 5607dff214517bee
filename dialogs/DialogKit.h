// What every dialog of the program shares: control names that tests find, line edits, how a
// refused field is reported, the OK / Cancel row, and a width that shows the whole title.
#pragma once

#include "dialogs/FieldText.h"

#include <QString>

class QBoxLayout;
class QDialog;
class QFont;
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

/// The font a window manager's title bar is taken to use: the application's font, bold, a
/// tenth larger (title bars seldom use a smaller one).
QFont TitleFont();
/// The least width of a window titled `title`: the title in TitleFont and room for the frame's
/// icon and its three buttons.
int TitleWidth(const QString& title);
/// From now on every dialog of the application is at least TitleWidth of its title wide, set
/// when it is shown and when its title changes, so a window manager never cuts the title
/// ("Select… e Port"). Once per application; later calls do nothing.
void FitDialogsToTitles();

} // namespace dialogkit
