// Shared by the connection dialogs: how a refused field is reported.
#pragma once

#include <QString>

class QWidget;

/// Shows `text` in a message box, then puts the focus back on `field` with its text selected.
void ShowFieldError(QWidget* dialog, QWidget* field, const QString& text);
/// Object name of the control with resource id `id` ("control1037"), so tests find it.
QString ControlName(int id);
