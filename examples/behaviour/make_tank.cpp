// Writes the tank set-up of this folder: tank.tst and its three documents (tank.tst.json, the
// behaviour, is written by hand). The files in the repository are this program's output; the
// behaviour end-to-end test checks that they still are.
//
//   kelvaro64-make-tank OUTPUT_FOLDER
#include "app/TestConfig.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"
#include "document/FileAccess.h"

#include <cstdio>
#include <string>

namespace {

constexpr int kDecimalFormat = 0;

std::unique_ptr<CKelvaro32Doc> Block(int pointType, int start, int length)
{
    auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{});
    doc->pointType = static_cast<std::uint8_t>(pointType);
    doc->deviceId = 1;
    doc->startAddress = static_cast<std::uint16_t>(start);
    doc->length = static_cast<std::uint16_t>(length);
    return doc;
}

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    if (WriteFileAtomically(path, bytes))
        return true;
    std::fprintf(stderr, "kelvaro64-make-tank: cannot write %s\n", path.c_str());
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelvaro64-make-tank OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    // Device 1: holding registers 1-120 (the level, the filler's command and state words),
    // coils 1-16 (the pump, the filler's full flag), input registers 1-40 (the energy counter).
    const std::vector<std::string> names = {"tank-holding-registers.kvd", "tank-coils.kvd", "tank-input-registers.kvd"};
    bool ok = Write(folder + "/" + names[0], SerializeDocument(*Block(3, 1, 120), kDecimalFormat));
    ok = Write(folder + "/" + names[1], SerializeDocument(*Block(1, 1, 16), kDecimalFormat)) && ok;
    ok = Write(folder + "/" + names[2], SerializeDocument(*Block(4, 1, 40), kDecimalFormat)) && ok;

    std::vector<TestConfigPort> ports(32);   // every port at its defaults, closed
    const std::vector<AliasEntry> aliases = {
        {3, 1, "Fill level"}, {3, 11, "Tank level"}, {3, 100, "Fill command"}, {3, 101, "Fill state"},
        {1, 1, "Full"},   {1, 5, "Pump run"}, {4, 20, "Energy"},
    };
    ok = Write(folder + "/tank.tst", SerializeTestConfig(names, ports, true, aliases)) && ok;
    return ok ? 0 : 1;
}
