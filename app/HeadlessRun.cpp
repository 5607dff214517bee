#include "app/HeadlessRun.h"

#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/DocumentCommands.h"
#include "app/HeadlessOptions.h"
#include "app/TestConfig.h"

#include <cstdio>

bool StartHeadless(CKelvaro32App& app, const HeadlessOptions& options)
{
    if (options.tcpPort)
        app.servicePort = static_cast<std::uint16_t>(*options.tcpPort);
    for (const auto& file : options.files) {
        const bool isTestConfig = file.size() >= 4 && (file.substr(file.size() - 4) == ".tst" || file.substr(file.size() - 4) == ".TST");
        if (isTestConfig) {
            if (!RestoreTestConfig(*app.mainFrame, file))
                std::fprintf(stderr, "kelvaro64-headless: cannot restore %s\n", file.c_str());
        } else if (!OpenDocumentFile(file, nullptr, true)) {
            std::fprintf(stderr, "kelvaro64-headless: cannot open %s\n", file.c_str());
        }
    }
    std::fflush(stdout);
    return true;
}
