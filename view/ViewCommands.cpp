// Placeholder: display formats and printing.
#include "app/SubsystemCommands.h"
void RegisterViewCommands(CMainFrame&) {}
