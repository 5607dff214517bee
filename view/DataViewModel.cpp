#include "view/DataViewModel.h"

#include "document/CKelvaro32Doc.h"
#include "view/Workspace.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {
constexpr long long kEnronMaxPoints = 500;
} // namespace

DataViewModel::~DataViewModel()
{
    if (blockHandle_ != pomrel::kNoHandle)
        workspace_.RemoveDataBlock(blockHandle_);
}

void DataViewModel::RegisterBlock()
{
    if (blockHandle_ != pomrel::kNoHandle)
        workspace_.RemoveDataBlock(blockHandle_);
    blockHandle_ = pomrel::kNoHandle;
    blockHandle_ = workspace_.DefineDataBlock(doc_);
}

bool DataViewModel::EnronAppliesNow() const
{
    return regval::EnronApplies(doc_, workspace_.EnronMode());
}

std::string DataViewModel::DeviceIdText() const
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%3d", int(doc_.deviceId));
    return buf;
}

std::string DataViewModel::AddressText() const
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%4u", doc_.StartAddress());
    std::string text = buf;
    for (std::size_t k = 0; k < 3 && k < text.size(); ++k)
        if (text[k] == ' ')
            text[k] = '0';
    return text;
}

std::string DataViewModel::LengthText() const
{
    return std::to_string(doc_.length);
}

std::optional<long long> DataViewModel::ParseLeadingInt(std::string_view text)
{
    const std::string_view s = text.substr(0, 39);
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i])))
        return std::nullopt;
    long long v = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
        v = std::min(v * 10 + (s[i] - '0'), 1LL << 40);
    return negative ? -v : v;
}

DataViewModel::Edit DataViewModel::ClampForEnron()
{
    if (!EnronAppliesNow())
        return Edit::kApplied;
    displayFormat_ = regval::EnronFormat(doc_.startAddress);
    if (doc_.length > kEnronMaxPoints) {
        doc_.length = kEnronMaxPoints;
        return Edit::kAppliedLengthCut;
    }
    return Edit::kApplied;
}

DataViewModel::Edit DataViewModel::EditDeviceId(std::string_view text)
{
    const auto n = ParseLeadingInt(text);
    if (!n || *n < 1 || *n > 255)
        return Edit::kRefused;
    doc_.deviceId = static_cast<std::uint8_t>(*n);
    return Edit::kApplied;
}

DataViewModel::Edit DataViewModel::EditAddress(std::string_view text)
{
    const auto n = ParseLeadingInt(text);
    if (!n || *n < 1 || *n + doc_.length - 1 > 65536)
        return Edit::kRefused;
    doc_.startAddress = static_cast<std::uint16_t>(*n == 65536 ? 0 : *n);
    return ClampForEnron();
}

DataViewModel::Edit DataViewModel::EditLength(std::string_view text)
{
    const auto n = ParseLeadingInt(text);
    if (!n || *n < 1 || *n > 1000 || doc_.StartAddress() + *n - 1 > 65536)
        return Edit::kRefused;
    if (EnronAppliesNow() && *n > kEnronMaxPoints) {
        doc_.length = kEnronMaxPoints;
        return Edit::kAppliedLengthCut;
    }
    doc_.length = static_cast<std::uint16_t>(*n);
    return Edit::kApplied;
}

DataViewModel::Edit DataViewModel::SelectPointType(int index)
{
    if (index < 0 || index > 3)
        return Edit::kRefused;
    doc_.pointType = static_cast<std::uint8_t>(index + 1);
    return ClampForEnron();
}
