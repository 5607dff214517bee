// Stored Windows-1252 text (AnsiText) as a QString, for the dialogs, the view and printing.
#pragma once

#include <QString>

#include <string_view>

/// The text of stored bytes; every byte is one character.
QString QStringFromAnsi(std::string_view bytes);
