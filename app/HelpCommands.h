#pragma once

#include <QString>

class CMainFrame;
class QWidget;

/// The HTML manual beside the executable.
QString ManualPath();
void ShowAboutBox(QWidget* parent);
void RegisterHelpCommands(CMainFrame& frame);
