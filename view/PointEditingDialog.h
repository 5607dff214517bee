// Runs the write dialog of a double-clicked point and stores what it returns.
#pragma once

class AliasTable;
class CKelvaro32Doc;
class CKelvaro32View;
class QWidget;

/// Runs the write dialog for point `pointIndex` (modal on `parent`) and, on Update, stores the
/// value and the alias when the dialog's address is inside the block. Returns whether it stored.
bool RunPointEditor(QWidget* parent, CKelvaro32Doc& doc, AliasTable& aliases, int displayFormat,
                    bool enronApplies, int pointIndex);

/// The view's double-click: nothing in traffic mode; otherwise hit-test the position and edit
/// the point under it. The view is repainted with erase in every case.
void OnViewDoubleClick(CKelvaro32View& view, int x, int y);
