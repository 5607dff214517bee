// Placeholder: Read From CSV.
#include "app/SubsystemCommands.h"
void RegisterCsvCommands(CMainFrame&) {}
