#pragma once

#include <QString>

class CMainFrame;
class QWidget;

/// The first page of the HTML manual: the installed share folder (bin/../share/kelvaro64/manual),
/// a manual/ folder beside the executable, or docs/manual/ of the sources in a build tree.
QString ManualPath(const QString& executableFolder);
/// The same for the running program.
QString ManualPath();
void ShowAboutBox(QWidget* parent);
/// About, Help Topics, and the keys F1 (Help Topics) and Shift+F1 (context help: click a
/// control to read what it does).
void RegisterHelpCommands(CMainFrame& frame);
