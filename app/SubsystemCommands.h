// Each subsystem registers the menu commands it carries out; the main frame calls these once.
#pragma once

class CMainFrame;

void RegisterDocumentCommands(CMainFrame& frame);     // app/DocumentCommands.cpp: New, Open, Close, Save…
void RegisterDocumentFileCommands(CMainFrame& frame); // app/DocumentFileCommands.cpp: Open, recent files
void RegisterTestConfigCommands(CMainFrame& frame);   // app/TestConfigCommands.cpp
void RegisterConnectionCommands(CMainFrame& frame);   // connections/ConnectionCommands.cpp
void RegisterViewCommands(CMainFrame& frame);         // view/ViewCommands.cpp: formats, print
void RegisterTrafficCommands(CMainFrame& frame);      // view/TrafficCommands.cpp: Show Data / Show Traffic
void RegisterCsvCommands(CMainFrame& frame);          // view/CsvImportCommand.cpp
void RegisterToolsCommands(CMainFrame& frame);        // app/ToolsCommands.cpp: the Tools menu
void RegisterLookCommands(CMainFrame& frame);         // document/LookCommands.cpp: fonts and colours
