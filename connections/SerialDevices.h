// The serial devices present on this machine, offered in the Setup Connection dialog.
#pragma once

#include <string>
#include <vector>

/// /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* and /dev/serial/by-id/* (COM1..COM32 on Windows),
/// in natural order (ttyS2 before ttyS10). `devRoot` lets a test point it at a folder of its own.
std::vector<std::string> ListSerialDevices(const std::string& devRoot = "/dev");
