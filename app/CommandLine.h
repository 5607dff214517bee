// What the desktop program's command line asks for.
#pragma once

#include <string>
#include <vector>

struct StartRequest {
    bool automation = false;      // "/Embedding", "-Automation", … in any case: start hidden
    std::string testConfigPath;   // the whole remaining text, unchanged; empty for none
};

/// `args` without the program name. The arguments are joined by single blanks; a switch word
/// "Embedding" or "Automation" after '/' or '-' (any case) wins over everything else.
StartRequest ParseCommandLine(const std::vector<std::string>& args);
