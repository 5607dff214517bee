#include "document/AliasTable.h"

#include <algorithm>

void AliasTable::Append(int pointType, int address, const std::string& text)
{
    first_.emplace(Key(pointType, address), entries_.size());
    entries_.push_back({pointType, address, text});
}

void AliasTable::SetAlias(int pointType, int address, const std::string& text)
{
    auto it = first_.find(Key(pointType, address));
    if (it != first_.end())
        entries_[it->second].text = text;
    else
        Append(pointType, address, text);
}

std::string AliasTable::GetAlias(int pointType, int address) const
{
    auto it = first_.find(Key(pointType, address));
    return it == first_.end() ? std::string() : entries_[it->second].text;
}

void AliasTable::AppendAlias(int pointType, int address, const std::string& text)
{
    Append(pointType, address, text);
}

void AliasTable::ClearAliases()
{
    entries_.clear();
    first_.clear();
}

int AliasTable::LongestAliasLength() const
{
    std::size_t longest = 0;
    for (const auto& e : entries_)
        longest = std::max(longest, e.text.size());
    return static_cast<int>(longest);
}
