// Writes the demo set-up of this folder: demo.tst and its three documents. The files in the
// repository are this program's output; a test checks that they still are.
//
//   kelvaro64-make-demo OUTPUT_FOLDER
#include "app/TestConfig.h"
#include "document/FileAccess.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kDecimalFormat = 0;
constexpr int kFloatFormat = 2;   // low word first

std::unique_ptr<CKelvaro32Doc> Block(int pointType, int start, int length)
{
    auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{});
    doc->pointType = static_cast<std::uint8_t>(pointType);
    doc->deviceId = 1;
    doc->startAddress = static_cast<std::uint16_t>(start);
    doc->length = static_cast<std::uint16_t>(length);
    return doc;
}

void PutFloat(CKelvaro32Doc& doc, int index, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    doc.SetWord(index, static_cast<std::uint16_t>(bits));
    doc.SetWord(index + 1, static_cast<std::uint16_t>(bits >> 16));
}

void Simulate(CKelvaro32Doc& doc, int index, int valueType, int simulationType, int interval, float step, float low,
              float high)
{
    auto p = std::make_unique<CAutomatePt>();
    p->pointIndex = index;
    p->valueType = valueType;
    p->simulationType = simulationType;
    p->interval = interval;
    p->step = step;
    p->lowLimit = low;
    p->highLimit = high;
    doc.AddSimulatedPoint(std::move(p));
}

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    if (WriteFileAtomically(path, bytes))
        return true;
    std::fprintf(stderr, "kelvaro64-make-demo: cannot write %s\n", path.c_str());
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelvaro64-make-demo OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];

    // Holding registers 1-20 shown as floats: four constants and a ramp at 11-12.
    auto holding = Block(3, 1, 20);
    PutFloat(*holding, 0, 3.14159f);
    PutFloat(*holding, 2, 2.71828f);
    PutFloat(*holding, 4, -40.5f);
    PutFloat(*holding, 6, 1013.25f);
    Simulate(*holding, 10, kValueFloatLowFirst, kSimIncrement, 1, 0.5f, 0.0f, 100.0f);

    // Coils 1-16: a fixed pattern, coils 1 and 2 toggling every second, 3 every two seconds.
    auto coils = Block(1, 1, 16);
    const int pattern[16] = {1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i)
        coils->SetWord(i, static_cast<std::uint16_t>(pattern[i]));
    Simulate(*coils, 0, kValueBit, kSimToggle, 1, 1.0f, 0.0f, 100.0f);
    Simulate(*coils, 1, kValueBit, kSimToggle, 1, 1.0f, 0.0f, 100.0f);
    Simulate(*coils, 2, kValueBit, kSimToggle, 2, 1.0f, 0.0f, 100.0f);

    // Input registers 1-10: 100, 200, ... 1000, the last one random between 0 and 1000.
    auto inputs = Block(4, 1, 10);
    for (int i = 0; i < 10; ++i)
        inputs->SetWord(i, static_cast<std::uint16_t>(100 * (i + 1)));
    Simulate(*inputs, 9, kValueWord, kSimRandom, 2, 1.0f, 0.0f, 1000.0f);

    // Names relative to the set-up: it is found beside demo.tst wherever the folder lies.
    const std::vector<std::string> names = {"demo-holding-registers.kvd", "demo-coils.kvd", "demo-input-registers.kvd"};
    bool ok = Write(folder + "/" + names[0], SerializeDocument(*holding, kFloatFormat));
    ok = Write(folder + "/" + names[1], SerializeDocument(*coils, kDecimalFormat)) && ok;
    ok = Write(folder + "/" + names[2], SerializeDocument(*inputs, kDecimalFormat)) && ok;

    std::vector<TestConfigPort> ports(32);   // every port at its defaults, closed
    const std::vector<AliasEntry> aliases = {
        {3, 1, "Pi"}, {3, 3, "e"}, {3, 5, "Temperature"}, {3, 7, "Pressure"}, {3, 11, "Ramp"},
        {1, 1, "Blinker"}, {4, 10, "Noise"},
    };
    ok = Write(folder + "/demo.tst", SerializeTestConfig(names, ports, true, aliases)) && ok;
    return ok ? 0 : 1;
}
