// Placeholder: Connect / Disconnect / Status menus.
#include "app/SubsystemCommands.h"
void RegisterConnectionCommands(CMainFrame&) {}
