// Alias names of points, one table for the whole process, keyed by point type and address.
#pragma once

#include <cstdint>
#include <string>
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
    void ClearAliases() { entries_.clear(); }
    /// Greatest byte length of all texts; 0 for an empty table.
    int LongestAliasLength() const;
    const std::vector<AliasEntry>& Entries() const { return entries_; }

private:
    std::vector<AliasEntry> entries_;
};
