// Shared by the connection dialogs: how a refused field is reported.
#pragma once

#include <QString>

class QBoxLayout;
class QDialog;
class QWidget;

/// Shows `text` in a message box, then puts the focus back on `field` with its text selected.
void ShowFieldError(QWidget* dialog, QWidget* field, const QString& text);
/// Object name of the control with resource id `id` ("control1037"), so tests find it.
QString ControlName(int id);
/// "OK" (id 1, runs the dialog's accept(), where its fields are checked) and "Cancel" (id 2)
/// at the end of `layout`.
void AddOkCancelBox(QDialog* dialog, QBoxLayout* layout);
