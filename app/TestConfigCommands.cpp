// Placeholder until test configurations land.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/SubsystemCommands.h"
#include "app/TestConfig.h"

#include <QMessageBox>
#include <fstream>

void RegisterTestConfigCommands(CMainFrame&) {}

bool RestoreTestConfig(CMainFrame& frame, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!frame.App().Options().headless)
            QMessageBox::warning(&frame, "Kelvaro64", "File Open Error");
        return false;
    }
    return true;
}
