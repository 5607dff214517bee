#include "dialogs/WriteDialogModels.h"

#include <cmath>
#include <cstdio>

namespace writedlg {

using fieldtext::FieldCheck;
using fieldtext::TakeAlias;
using fieldtext::TakeInteger;
using fieldtext::TakeNumber;

FieldCheck WrRegModel::Exchange(std::string_view addressText, std::string_view valueText, std::string_view aliasText)
{
    if (auto e = TakeInteger(addressText, kIdAddress, address, 1, 65536))
        return e;
    if (auto e = TakeInteger(valueText, kIdValue, value))
        return e;
    if (auto e = TakeAlias(aliasText, kIdAlias, alias))
        return e;
    return std::nullopt;
}

std::string HexRegModel::ValueText() const
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(value) & 0xFFFFu);
    return buf;
}

bool HexRegModel::TakeValueText(std::string_view text)
{
    text = text.substr(0, 19);
    std::uint32_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return false;
        v = v * 16 + static_cast<std::uint32_t>(digit);
        if (v > 0xFFFF)
            return false;
    }
    value = static_cast<std::int32_t>(v);
    return true;
}

FieldCheck HexRegModel::Exchange(std::string_view addressText, std::string_view aliasText)
{
    if (auto e = TakeInteger(addressText, kIdAddress, address, 1, 65536))
        return e;
    if (auto e = TakeAlias(aliasText, kIdAlias, alias))
        return e;
    return std::nullopt;
}

bool WrBinaryModel::BoxChecked(int id) const
{
    const int bit = 15 - (id - kIdFirstBit);
    return bit >= 0 && bit <= 15 && ((value >> bit) & 1u) != 0;
}

FieldCheck WrBinaryModel::Exchange(const std::array<bool, 16>& boxes, std::string_view addressText,
                                   std::string_view aliasText)
{
    std::uint16_t v = 0;
    for (int k = 0; k < 16; ++k)
        if (boxes[static_cast<std::size_t>(k)])
            v = static_cast<std::uint16_t>(v | (1u << (15 - k)));
    value = v;
    if (auto e = TakeInteger(addressText, kIdBinaryAddress, address, 1, 65536))
        return e;
    if (auto e = TakeAlias(aliasText, kIdBinaryAlias, alias))
        return e;
    return std::nullopt;
}

FieldCheck WrCoilModel::Exchange(std::string_view addressText, std::string_view aliasText)
{
    if (auto e = TakeInteger(addressText, kIdAddress, address, 1, 65536))
        return e;
    if (auto e = TakeAlias(aliasText, kIdCoilAlias, alias))
        return e;
    return std::nullopt;
}

FieldCheck WrFltModel::Exchange(std::string_view addressText, std::string_view valueText, std::string_view aliasText)
{
    if (auto e = TakeInteger(addressText, kIdAddress, address, 0, 65535))
        return e;
    const bool kept = !std::isfinite(value) && valueText == ValueText();
    if (!kept)
        if (auto e = TakeNumber(valueText, kIdValue, value))
            return e;
    valueKept = kept;
    if (auto e = TakeAlias(aliasText, kIdAlias, alias))
        return e;
    return std::nullopt;
}

} // namespace writedlg
