#include "app/AliasTable.h"

#include <algorithm>

void AliasTable::SetAlias(int pointType, int address, const std::string& text)
{
    for (auto& e : entries_) {
        if (e.pointType == pointType && e.address == address) {
            e.text = text;
            return;
        }
    }
    entries_.push_back({pointType, address, text});
}

std::string AliasTable::GetAlias(int pointType, int address) const
{
    for (const auto& e : entries_)
        if (e.pointType == pointType && e.address == address)
            return e.text;
    return {};
}

void AliasTable::AppendAlias(int pointType, int address, const std::string& text)
{
    entries_.push_back({pointType, address, text});
}

int AliasTable::LongestAliasLength() const
{
    std::size_t longest = 0;
    for (const auto& e : entries_)
        longest = std::max(longest, e.text.size());
    return static_cast<int>(longest);
}
