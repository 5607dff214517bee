// Alias names of points, one table for the whole process, keyed by point type and address.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct AliasEntry {
    std::int32_t pointType;
    std::int32_t address;
    std::string text;
};

class AliasTable {
public:
    /// Replaces the text of the first entry with both keys, or appends a new entry.
    void SetAlias(int pointType, int address, const std::string& text);
    /// The text of the first entry with both keys, or the empty text.
    std::string GetAlias(int pointType, int address) const;
    /// Appends without looking for an existing key (test configuration restore).
    void AppendAlias(int pointType, int address, const std::string& text);
    void ClearAliases();
    /// Greatest byte length of all texts; 0 for an empty table.
    int LongestAliasLength() const;
    const std::vector<AliasEntry>& Entries() const { return entries_; }

private:
    static std::uint64_t Key(int pointType, int address)
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(pointType)) << 32) | static_cast<std::uint32_t>(address);
    }
    void Append(int pointType, int address, const std::string& text);

    std::vector<AliasEntry> entries_;
    // Position of the first entry of each key: a file of many aliases loads in linear time.
    std::unordered_map<std::uint64_t, std::size_t> first_;
};
