// Kelvaro32.ini: the reader only takes a path, so the input goes through a scratch file. The
// block a new document gets from it must always be one the engine and the view can serve.
#include "document/IniDefaults.h"
#include "fuzz/files/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static kvfuzz::ScratchFile scratch("kelvaro-fuzz-ini");
    const std::string& path = scratch.Write(data, size);

    const BlockDefaults block = ReadBlockDefaults(path);
    FUZZ_CHECK(block.pointType >= 1 && block.pointType <= 4);
    FUZZ_CHECK(block.deviceId != 0);
    FUZZ_CHECK(block.length >= 1 && block.length <= 1000);
    const unsigned start = block.startAddress == 0 ? 65536u : block.startAddress;
    FUZZ_CHECK(start + block.length - 1u <= 65536u);
    // The file's start is kept whatever the length: only a block's length is cut to fit.
    FUZZ_CHECK(block.startAddress == static_cast<std::uint16_t>(ReadProfileInt(path, "Default", "Address", 1)));
    // A block already in range passes the sanitizer unchanged.
    const BlockDefaults same = SanitizeBlock(block);
    FUZZ_CHECK(same.pointType == block.pointType && same.deviceId == block.deviceId &&
               same.startAddress == block.startAddress && same.length == block.length);

    // Values are found by section and key in any case; a key the file cannot name gives the fallback.
    FUZZ_CHECK(ReadProfileInt(path, "Default", "Length", 1000) == ReadProfileInt(path, "DEFAULT", "length", 1000));
    FUZZ_CHECK(ReadProfileInt(path, "Default", std::string("\0", 1) + "x", -7) == static_cast<std::uint32_t>(-7) ||
               std::string(reinterpret_cast<const char*>(data), size).find('\0') != std::string::npos);
    return 0;
}
