#include "document/FontConversion.h"

#include "document/AnsiQString.h"
#include "document/AnsiText.h"


#include <QFontDatabase>
#include <QFontInfo>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

namespace {

// pitchAndFamily: low two bits pitch, bits 4..7 family.
constexpr std::uint8_t kFixedPitch = 0x01;
constexpr std::uint8_t kVariablePitch = 0x02;
constexpr std::uint8_t kFamilyMask = 0xF0;
constexpr std::uint8_t kRoman = 0x10, kSwiss = 0x20, kModern = 0x30, kScript = 0x40, kDecorative = 0x50;

// The stored record is a screen font at 96 logical dpi.
constexpr double kLogicalDpi = 96.0;

// A record read from a damaged file may ask for any height; Qt would try to rasterise it.
constexpr int kMaxPixelSize = 512;
constexpr int kDefaultPixelSize = 13;

QString FaceName(const LogFont& logFont) {
    const auto length = ::strnlen(logFont.faceName, sizeof logFont.faceName);
    // Windows-1252, as every stored text: the byte 0x80 is '€', 0x8C 'Œ'.
    return QStringFromAnsi(std::string_view(logFont.faceName, length));
}

int PixelSizeOf(std::int32_t height) {
    const std::int64_t magnitude = std::llabs(static_cast<std::int64_t>(height));
    if (magnitude == 0) return kDefaultPixelSize;
    // A positive height asks for the cell height; Qt only knows the character height, the
    // nearest request there is.
    return static_cast<int>(std::clamp<std::int64_t>(magnitude, 1, kMaxPixelSize));
}

QFont::StyleHint StyleHintOf(std::uint8_t pitchAndFamily) {
    if ((pitchAndFamily & 0x03) == kFixedPitch) return QFont::TypeWriter;
    switch (pitchAndFamily & kFamilyMask) {
    case kRoman: return QFont::Serif;
    case kSwiss: return QFont::SansSerif;
    case kModern: return QFont::TypeWriter;
    case kScript: return QFont::Cursive;
    case kDecorative: return QFont::Decorative;
    default: return QFont::AnyStyle;
    }
}

std::uint8_t FamilyBitsOf(const QFont& font, bool fixedPitch) {
    if (fixedPitch) return kModern;
    switch (font.styleHint()) {
    case QFont::Serif: return kRoman;
    case QFont::SansSerif: return kSwiss;
    case QFont::TypeWriter: return kModern;
    case QFont::Cursive: return kScript;
    case QFont::Decorative: return kDecorative;
    default: return 0;
    }
}

bool FamilyAvailable(const QString& family) {
    const QStringList substitutes = QFont::substitutes(family);
    // Each look-up asks fontconfig to resolve the alias anew, and every data window asks for
    // the same face: a family once found is remembered (with the substitutes it was found by).
    thread_local QSet<QString> found;
    const QString key = family + QChar(0) + substitutes.join(QChar(0));
    if (found.contains(key)) return true;
    const bool available = QFontDatabase::hasFamily(family) ||
                           std::any_of(substitutes.begin(), substitutes.end(),
                                       [](const QString& s) { return QFontDatabase::hasFamily(s); });
    if (available) found.insert(key);
    return available;
}

}  // namespace

QFont FontFromLogFont(const LogFont& logFont) {
    QFont font;
    const QString face = FaceName(logFont);
    const bool fixed = (logFont.pitchAndFamily & 0x03) == kFixedPitch;
    // family() keeps the stored face, so the record survives a round trip even where the face
    // is missing; drawing then uses the fallback.
    QStringList families{face.isEmpty() ? QStringLiteral("Courier") : face};
    if (!FamilyAvailable(families.front()))
        families << QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    font.setFamilies(families);
    font.setStyleHint(StyleHintOf(logFont.pitchAndFamily));
    font.setFixedPitch(fixed);
    font.setPixelSize(PixelSizeOf(logFont.height));
    font.setWeight(static_cast<QFont::Weight>(logFont.weight <= 0 ? 400 : std::min(logFont.weight, 1000)));
    font.setItalic(logFont.italic != 0);
    font.setUnderline(logFont.underline != 0);
    font.setStrikeOut(logFont.strikeOut != 0);
    // Character grids are laid out per cell: whole-pixel advances keep text and grid together.
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

LogFont LogFontFromQFont(const QFont& font) {
    LogFont logFont;
    int pixels = font.pixelSize();
    if (pixels <= 0) pixels = static_cast<int>(std::lround(font.pointSizeF() * kLogicalDpi / 72.0));
    logFont.height = -std::clamp(pixels, 1, kMaxPixelSize);
    logFont.width = 0;
    logFont.weight = std::clamp(static_cast<int>(font.weight()), 1, 1000);
    logFont.italic = font.italic() ? 1 : 0;
    logFont.underline = font.underline() ? 1 : 0;
    logFont.strikeOut = font.strikeOut() ? 1 : 0;
    const bool fixed = font.fixedPitch() || QFontInfo(font).fixedPitch();
    logFont.pitchAndFamily =
        static_cast<std::uint8_t>((fixed ? kFixedPitch : kVariablePitch) | FamilyBitsOf(font, fixed));
    std::memset(logFont.faceName, 0, sizeof logFont.faceName);
    const QString family = font.family();
    std::string face = ansi::FromUtf16Lossy(
        std::u16string_view(reinterpret_cast<const char16_t*>(family.utf16()), static_cast<std::size_t>(family.size())));
    face.resize(std::min(face.size(), sizeof logFont.faceName - 1));
    std::memcpy(logFont.faceName, face.data(), face.size());
    return logFont;
}

QFont DialogFontFromLogFont(const LogFont& logFont) {
    const QFont drawn = FontFromLogFont(logFont);
    const QString family = QFontInfo(drawn).family();
    QFont seed(family);
    seed.setPointSizeF(PixelSizeOf(logFont.height) * 72.0 / kLogicalDpi);
    seed.setWeight(drawn.weight());
    seed.setItalic(drawn.italic());
    seed.setUnderline(drawn.underline());
    seed.setStrikeOut(drawn.strikeOut());
    // The dialog selects its style entry by name; without one it looks for "Normal" or
    // "Regular", which a family such as DejaVu Sans Mono ("Book", "Oblique", ...) does not have,
    // and falls on whatever entry comes first. Name the family's style nearest to the record.
    QString best;
    int bestDistance = 0;
    for (const QString& style : QFontDatabase::styles(family)) {
        // The database reports "Oblique" faces as upright: the name says it too.
        const bool slanted = QFontDatabase::italic(family, style) || style.contains("Italic", Qt::CaseInsensitive) ||
                             style.contains("Oblique", Qt::CaseInsensitive);
        static const char* const kStretched[] = {"Condensed", "Expanded", "Narrow", "Wide"};
        const bool stretched = std::any_of(std::begin(kStretched), std::end(kStretched),
                                           [&](const char* w) { return style.contains(w, Qt::CaseInsensitive); });
        const int distance = std::abs(QFontDatabase::weight(family, style) - static_cast<int>(drawn.weight())) +
                             (slanted != drawn.italic() ? 10000 : 0) + (stretched ? 1000 : 0);
        if (best.isEmpty() || distance < bestDistance) {
            best = style;
            bestDistance = distance;
        }
    }
    if (!best.isEmpty())
        seed.setStyleName(best);
    return seed;
}

LogFont MergeChosenFont(const LogFont& stored, const QFont& shown, const QFont& chosen) {
    const LogFont picked = LogFontFromQFont(chosen);
    LogFont merged = stored;
    if (chosen.family() != shown.family()) {
        std::memcpy(merged.faceName, picked.faceName, sizeof merged.faceName);
        merged.pitchAndFamily = picked.pitchAndFamily;
    }
    if (chosen.pointSizeF() != shown.pointSizeF() || chosen.pixelSize() != shown.pixelSize()) {
        merged.height = picked.height;
        merged.width = picked.width;
    }
    if (chosen.weight() != shown.weight())
        merged.weight = picked.weight;
    if (chosen.italic() != shown.italic())
        merged.italic = picked.italic;
    if (chosen.underline() != shown.underline())
        merged.underline = picked.underline;
    if (chosen.strikeOut() != shown.strikeOut())
        merged.strikeOut = picked.strikeOut;
    return merged;
}
