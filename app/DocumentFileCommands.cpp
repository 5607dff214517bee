// Placeholder until document files land: Open, Save and the recent-file list.
#include "app/CMainFrame.h"
#include "app/DocumentCommands.h"
#include "app/SubsystemCommands.h"

bool SaveDocument(CKelvaro32Doc&, QWidget*, bool) { return false; }
CKelvaro32Doc* OpenDocumentFile(const std::string&, QWidget*, bool) { return nullptr; }
void RegisterDocumentFileCommands(CMainFrame&) {}
