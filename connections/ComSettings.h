// What the Setup Connection and Select Service Port dialogs edit, and their rules, without a
// screen: the lists behind the combo boxes, filling from the port table, storing on OK, and
// the checks of the typed numbers.
#pragma once

#include "connections/PortTable.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

/// One entry of a combo box: the text shown and the value stored.
struct ChoiceEntry {
    const char* text;
    std::uint32_t value;
};

/// Entries in the order the dialog lists them.
std::span<const ChoiceEntry> BaudRateChoices();
std::span<const ChoiceEntry> DataBitsChoices();
std::span<const ChoiceEntry> StopBitsChoices();
std::span<const ChoiceEntry> ParityChoices();

/// Index of the entry holding `value`, or -1 (the box then shows no selection).
int ChoiceIndex(std::span<const ChoiceEntry> choices, std::uint32_t value);
/// The value of the entry whose text is `text` (case and surrounding blanks aside), else
/// `held`: a box with no entry selected keeps what the port already had.
std::uint32_t ChoiceValue(std::span<const ChoiceEntry> choices, const std::string& text, std::uint32_t held);

/// The dialog's own copy of one port's values.
struct ComSettings {
    int port = 1;
    std::uint32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    std::uint8_t stopBits = 0;
    std::uint8_t parity = 1;
    bool rtu = true;
    bool enron = false;
    bool enronLocked = false;   // a serial port is open: every port must share its ENRON choice
    bool waitCts = false;
    bool waitDtr = false;
    std::int32_t rtsOnDelay = 0;
    std::int32_t rtsOffDelay = 0;
    std::string devicePath;
};

/// Fills the copy for `port`. While a serial port is open the ENRON box shows `enronMode`
/// and cannot be changed; otherwise it shows the port's own bit 7.
ComSettings ComSettingsFor(const PortTable& table, int port, bool anySerialOpen, std::int32_t enronMode);
/// Stores the copy back: the record's reserved bytes keep their stored values; the protocol
/// byte becomes RTU 1 / ASCII 0, plus 128 for ENRON. The device path is mapped as well.
void StoreComSettings(PortTable& table, const ComSettings& values);

/// A decimal integer as a dialog field holds it: blanks around it and a sign allowed.
/// Values beyond 64 bits come back clamped, so range checks still refuse them.
std::optional<std::int64_t> ParseFieldInteger(const std::string& text);

/// Outcome of checking one typed number: the value, or the message to show.
struct FieldCheck {
    bool ok = false;
    std::int64_t value = 0;
    std::string message;
};
/// "Enter an integer." when not an integer, "Enter an integer between lo and hi." when outside.
FieldCheck CheckIntegerField(const std::string& text, std::int64_t lo, std::int64_t hi);

/// The service port as the Select Service Port dialog shows it: a signed 16-bit number.
std::string ServicePortText(std::uint16_t port);
/// Either the signed or the unsigned reading of the 16 bits is accepted (-25536 and 40000 are
/// the same port); anything else gets the field's message.
FieldCheck CheckServicePortField(const std::string& text);
