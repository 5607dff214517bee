// The texts of a point item: its label (alias or reference) and its value text in the view's
// display format. How the values sit in the registers is document/RegisterValues'.
#pragma once

#include "document/RegisterValues.h"

#include <cstdint>
#include <string>

class AliasTable;
class CKelvaro32Doc;

namespace valuefmt {

// ---- Texts ------------------------------------------------------------------------------------

/// Alias width for column layout: the longest alias, or 5 when there is none.
int AliasWidth(const AliasTable& aliases);

/// Appends the label of (pointType, address 1..65536) to `out`: the alias literally when there is
/// one, else "40001:" style.
void AppendLabel(std::string& out, int pointType, unsigned address, const AliasTable& aliases);
std::string Label(int pointType, unsigned address, const AliasTable& aliases);

/// Appends the value text of point `index` to `out`. `format` is the view's format; the ENRON
/// rule may change it to EnronLong/EnronFloat. Points whose registers would lie past word 999
/// (an ENRON block longer than 500) get an empty text.
void AppendValueText(std::string& out, const CKelvaro32Doc& doc, int index, int& format, bool enronMode);
std::string ValueText(const CKelvaro32Doc& doc, int index, int& format, bool enronMode);

/// Label followed by value text, into `out` (cleared first; keeps its capacity).
void FormatItem(std::string& out, const CKelvaro32Doc& doc, int index, int& format, bool enronMode,
                const AliasTable& aliases);

/// The float rule: "  ?????" outside +-999999999.99, else "  %5.4f" (NaN printed as it comes).
void AppendFloatText(std::string& out, double value);

} // namespace valuefmt
