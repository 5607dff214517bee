// The settings file (kv64comm2.cfg) decoded over the built-in defaults, as Load does with
// however many bytes the file gave. Encoding the result must give the 746-byte record with every
// field the input held whole taken from the input, and every other field still at its default.
#include "document/AliasTable.h"
#include "app/SettingsStore.h"
#include "connections/PortTable.h"
#include "document/LogFont.h"
#include "fuzz/files/FuzzCheck.h"

#include <cstring>
#include <vector>

namespace {

struct State {
    std::uint16_t servicePort = 502;
    PortTable ports;
    DisplayDefaults look;
    AliasTable aliases;
    RememberedState Remembered() { return {&servicePort, &ports, &look, &aliases}; }
};

constexpr std::size_t kPortsAt = 2;
constexpr std::size_t kPortEntrySize = 21;
constexpr std::size_t kFontAt = kPortsAt + kPortEntrySize * 32;
constexpr std::size_t kFaceAt = kFontAt + 28;
constexpr std::size_t kColoursAt = kFontAt + 60;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::vector<std::uint8_t> defaults = [] {
        State s;
        return EncodeSettingsFile(s.Remembered());
    }();
    FUZZ_CHECK(defaults.size() == kSettingsFileSize);

    State state;
    DecodeSettingsFile(data, size, state.Remembered());
    const auto encoded = EncodeSettingsFile(state.Remembered());
    FUZZ_CHECK(encoded.size() == kSettingsFileSize);

    // What each byte must be: the input's where its whole field was there, else the default.
    std::vector<std::uint8_t> expected = defaults;
    auto take = [&](std::size_t at, std::size_t n) {
        if (at + n <= size)
            std::memcpy(&expected[at], data + at, n);
    };
    take(0, 2);
    for (std::size_t port = 0; port < 32; ++port) {
        take(kPortsAt + kPortEntrySize * port, 1);
        take(kPortsAt + kPortEntrySize * port + 1, 20);
    }
    take(kFontAt, 60);
    if (kFontAt + 60 <= size) {
        // The face name ends at its first zero (the 32nd byte at the latest); the rest is zeroed.
        std::size_t end = 0;
        while (end < 31 && expected[kFaceAt + end] != 0)
            ++end;
        std::memset(&expected[kFaceAt + end], 0, 32 - end);
    }
    for (std::size_t i = 0; i < 3; ++i)
        take(kColoursAt + 4 * i, 4);
    FUZZ_CHECK(encoded == expected);

    // Decoding the record just written changes nothing.
    State again;
    DecodeSettingsFile(encoded.data(), encoded.size(), again.Remembered());
    FUZZ_CHECK(EncodeSettingsFile(again.Remembered()) == encoded);
    FUZZ_CHECK(again.look.font == state.look.font);
    return 0;
}
