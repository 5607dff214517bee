// Test configurations (*.tst): every open document, the open connections, ports and aliases.
#pragma once

#include <string>

class CMainFrame;

/// Closes every document, then restores the file's documents, connections and aliases.
/// Reports "File Open Error" for a file it cannot open; false when nothing was restored.
bool RestoreTestConfig(CMainFrame& frame, const std::string& path);
