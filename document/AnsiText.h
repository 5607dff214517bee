// Text as the files and the alias table hold it: bytes of the Windows-1252 code page (the ANSI
// code page of the original program's users). The one conversion between those bytes and
// Unicode, used by the dialogs, the view, printing and the archive reader.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ansi {

/// The Unicode character of one byte. Every byte has one: the five bytes Windows-1252 leaves
/// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the control characters of the same value,
/// as Windows maps them, so that any stored text survives a round trip.
char16_t ToUnicode(unsigned char byte);
/// The byte of `c`, or none when the code page has no byte for it.
std::optional<unsigned char> FromUnicode(char32_t c);

/// Stored bytes as UTF-16 and as UTF-8.
std::u16string ToUtf16(std::string_view bytes);
std::string ToUtf8(std::string_view bytes);
/// True when the bytes read the same as Latin-1 (no byte in 0x80..0x9F).
bool SameAsLatin1(std::string_view bytes);

/// UTF-8 text as stored bytes. A character without a byte refuses the whole text (it is never
/// stored as '?' or as UTF-8); `refused` then names it (U+FFFD for a malformed sequence).
std::optional<std::string> FromUtf8(std::string_view utf8, char32_t* refused = nullptr);
/// UTF-16 text from a file as stored bytes: a character without a byte becomes '?', as the
/// original's own conversion does (a file cannot be asked again).
std::string FromUtf16Lossy(std::u16string_view text);

/// "U+03A9 'Ω'" for a message about `c`.
std::string Describe(char32_t c);

} // namespace ansi
