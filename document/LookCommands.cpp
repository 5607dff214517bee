// Placeholder: Fonts, Background, ForeGround.
#include "app/SubsystemCommands.h"
void RegisterLookCommands(CMainFrame&) {}
