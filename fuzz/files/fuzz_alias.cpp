// The alias file (kelvaro64.ali): decoded into an empty table as Load does, then written and read
// back. Keys stay unique (SetAlias replaces), and nothing comes from a count without its bytes.
#include "document/AliasTable.h"
#include "app/SettingsStore.h"
#include "fuzz/files/FuzzCheck.h"

#include <set>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> bytes(data, data + size);
    AliasTable table;
    DecodeAliasFile(bytes, table);

    const auto& entries = table.Entries();
    // An entry costs at least 9 bytes after the 8-byte head: two i32 and a one-byte length.
    FUZZ_CHECK(entries.empty() || size >= 8 + 9 * entries.size());
    std::set<std::pair<int, int>> keys;
    std::size_t longest = 0;
    for (const auto& e : entries) {
        FUZZ_CHECK(keys.insert({e.pointType, e.address}).second);
        FUZZ_CHECK(e.text.size() <= size);
        FUZZ_CHECK(table.GetAlias(e.pointType, e.address) == e.text);
        longest = std::max(longest, e.text.size());
    }
    FUZZ_CHECK(static_cast<std::size_t>(table.LongestAliasLength()) == longest);

    const auto written = EncodeAliasFile(table);
    AliasTable again;
    DecodeAliasFile(written, again);
    FUZZ_CHECK(again.Entries().size() == entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        FUZZ_CHECK(again.Entries()[i].pointType == entries[i].pointType &&
                   again.Entries()[i].address == entries[i].address && again.Entries()[i].text == entries[i].text);
    FUZZ_CHECK(EncodeAliasFile(again) == written);
    return 0;
}
