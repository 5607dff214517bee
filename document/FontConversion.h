// The one place where the stored font record and Qt's font meet.
#pragma once

#include <QFont>

#include "document/LogFont.h"

/// The font a view draws with for a stored record. Height -n is an n-pixel character height,
/// weight maps one to one; a missing face falls back to the system fixed-pitch family.
QFont FontFromLogFont(const LogFont& logFont);

/// The stored record for a font, e.g. one chosen in the font dialog. Point sizes become pixel
/// heights at 96 dpi. FontFromLogFont(LogFontFromQFont(f)) draws like f, and
/// LogFontFromQFont(FontFromLogFont(r)) == r for every r this function made.
LogFont LogFontFromQFont(const QFont& font);

/// The font to seed QFontDialog with: the family that actually resolved (the dialog cannot
/// select a substituted name such as "Courier"), a point size, the dialog's unit, and the name
/// of the family's style nearest to the record's weight and slant.
QFont DialogFontFromLogFont(const LogFont& logFont);

/// The record after the font dialog: `shown` is what the dialog showed at first, `chosen` what
/// it ended with. Only what the user changed (family, size, weight, italic, underline, strike
/// out) is taken from `chosen`; everything else stays byte for byte as `stored` had it, so OK
/// without a change keeps the record (face "Courier" is not renamed to the face it resolved to).
LogFont MergeChosenFont(const LogFont& stored, const QFont& shown, const QFont& chosen);

#include <QColor>

/// 0x00BBGGRR <-> QColor (alpha dropped).
inline QColor QColorFromColour(Colour colour) {
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}
inline Colour ColourFromQColor(const QColor& color) {
    const QColor rgb = color.toRgb();
    return static_cast<Colour>(rgb.red()) | static_cast<Colour>(rgb.green()) << 8 |
           static_cast<Colour>(rgb.blue()) << 16;
}
