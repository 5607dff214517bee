// Placeholder: Show Data / Show Traffic.
#include "app/SubsystemCommands.h"
void RegisterTrafficCommands(CMainFrame&) {}
