// Opening and configuring a serial device from the 20-byte settings record. Linux termios2
// (BOTHER) gives every rate of the record, the non-standard 14400, 56000, 128000 and 256000 too.
#pragma once

#include "engine/ProtocolEngine.h"

#include <string>

namespace pomrel {

/// Opens `path` non-blocking, exclusive, configured raw from `settings`, both queues flushed.
/// Returns the descriptor, or -1 with `error` set to the system's reason.
/// A device that refuses only the parity or character size (a pseudo-terminal does) is kept
/// open with 8 bits, no parity, and `warning` says so.
int OpenSerialPort(const std::string& path, const PortSettings& settings, std::string& error, std::string& warning);

/// Modem lines through the descriptor; false when the device has none (a pseudo-terminal).
bool SetRts(int fd, bool on);
/// Reads CTS and DSR; false when the device cannot tell.
bool ReadModemLines(int fd, bool& cts, bool& dsr);

} // namespace pomrel
