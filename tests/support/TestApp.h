// Options for an application started by a widget test: settings in the test's own folder and
// never written back, no automation server.
#pragma once

#include "app/CKelvaro32App.h"

#include <string>

inline AppOptions TestAppOptions(const std::string& folder)
{
    AppOptions o;
    o.settingsFolder = folder + "/Orvane";
    o.executablePath = folder + "/kelvaro64";
    o.saveSettings = false;
    o.automationPort = 0;
    return o;
}
