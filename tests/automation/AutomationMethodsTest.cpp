// The nine automation methods over real documents: references, lookup, floats, failures.
#include "automation/Automation.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace {

class Methods : public ::testing::Test {
protected:
    CKelvaro32Doc& Doc(int deviceId, int pointType, unsigned start, int length) {
        DocumentContext context;
        context.openDocuments = &open;
        context.iniPath = "/nonexistent/Kelvaro32.ini";
        docs.push_back(std::make_unique<CKelvaro32Doc>(context));
        CKelvaro32Doc& d = *docs.back();
        d.deviceId = static_cast<std::uint8_t>(deviceId);
        d.pointType = static_cast<std::uint8_t>(pointType);
        d.startAddress = static_cast<std::uint16_t>(start);   // 65536 is held as 0
        d.length = static_cast<std::uint16_t>(length);
        for (int i = 0; i < kRegisterWords; ++i)
            d.SetWord(i, static_cast<std::uint16_t>(0xA000 + i));   // recognisable, never 0
        return d;
    }
    std::vector<std::uint16_t> Words(const CKelvaro32Doc& d) {
        std::vector<std::uint16_t> w;
        for (int i = 0; i < kRegisterWords; ++i) w.push_back(d.Word(i));
        return w;
    }

    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    pomrel::ProtocolEngine engine;
    DocumentAutomation api{open, engine};
};

TEST_F(Methods, ReferenceTableAndLookup) {
    Doc(1, 3, 1, 10);        // holding registers 1..10
    Doc(1, 1, 1, 20);        // coils 1..20
    Doc(1, 2, 5, 10);        // inputs 5..14
    Doc(1, 4, 100, 5);       // input registers 100..104
    Doc(1, 3, 0, 1);         // holding register 65536
    Doc(1, 1, 9990, 10);     // coils 9990..9999
    Doc(1, 2, 9990, 10);     // inputs 9990..9999
    Doc(1, 4, 9990, 10);     // input registers 9990..9999
    struct Case { int device; std::int32_t reference; int status; std::uint16_t value; };
    const Case cases[] = {
        {1, 40001, 0, 0xA000},      // first holding register, point index 0
        {1, 40010, 0, 0xA009},
        {1, 40011, -1, 0},          // beyond a block of length 10
        {1, 40000, -1, 0},          // address 0 is no point
        {1, 1, 0, 0xA000},          // coil 1
        {1, 9999, 0, 0xA009},       // last coil reference
        {1, 10005, 0, 0xA000},      // input 5
        {1, 10004, -1, 0},
        {1, 19999, 0, 0xA009},      // last input reference
        {1, 25000, -1, 0},          // 20000..29999 fails
        {1, 20000, -1, 0},
        {1, 29999, -1, 0},
        {1, 30102, 0, 0xA002},      // input register 102
        {1, 39999, 0, 0xA009},      // last input register reference
        {1, 105536, 0, 0xA000},     // the block held at 0
        {1, 0, -1, 0},              // references below 1 find nothing
        {1, -5, -1, 0},
        {1, 2147483647, -1, 0},
        {2, 40001, -1, 0},          // other device
        {257, 40001, -1, 0},        // the whole 16-bit id counts
        {-1, 40001, -1, 0},
    };
    for (const Case& c : cases) {
        std::uint16_t value = 0x5555;
        EXPECT_EQ(api.ReadPoint(static_cast<std::int16_t>(c.device), c.reference, value), c.status)
            << c.device << " " << c.reference;
        EXPECT_EQ(value, c.value) << c.device << " " << c.reference;
    }
}

TEST_F(Methods, ExFormsTakeLowEightBitsAndSixteenBitAddresses) {
    Doc(1, 3, 1, 10);
    Doc(1, 3, 0, 1);   // 65536: beyond any 16-bit address
    Doc(2, 4, 65535, 1);
    struct Case { int device; int type; int address; int status; std::uint16_t value; };
    const Case cases[] = {
        {1, 3, 1, 0, 0xA000},
        {257, 3, 1, 0, 0xA000},        // device 257 finds device 1
        {1, 0x103, 2, 0, 0xA001},      // point type 0x103 is 3
        {1, 5, 1, -1, 0},              // point type 5
        {1, 0, 1, -1, 0},
        {1, 0x100, 1, -1, 0},
        {1, 3, 0, -1, 0},              // address 0 reaches nothing, not the block at 65536
        {2, 4, 65535, 0, 0xA000},      // address as unsigned 16 bits
        {1, 3, 11, -1, 0},
    };
    for (const Case& c : cases) {
        std::uint16_t value = 0x5555;
        EXPECT_EQ(api.ReadPointEx(static_cast<std::int16_t>(c.device), static_cast<std::int16_t>(c.type),
                                  static_cast<std::uint16_t>(c.address), value),
                  c.status)
            << c.device << "/" << c.type << "/" << c.address;
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(Methods, WriteStoresIntoEveryMatchingDocumentOnly) {
    CKelvaro32Doc& a = Doc(1, 3, 1, 10);     // 40001..40010
    CKelvaro32Doc& b = Doc(1, 3, 3, 10);     // 40003..40012
    CKelvaro32Doc& c = Doc(2, 3, 1, 10);     // other device
    CKelvaro32Doc& d = Doc(1, 4, 1, 10);     // other point type
    const auto cBefore = Words(c);
    const auto dBefore = Words(d);
    EXPECT_EQ(api.WritePoint(1, 40005, 77), 0);
    EXPECT_EQ(a.Word(4), 77);
    EXPECT_EQ(b.Word(2), 77);
    EXPECT_EQ(api.WritePoint(1, 40012, 78), 0);   // only b holds it
    EXPECT_EQ(b.Word(9), 78);
    EXPECT_EQ(api.WritePoint(1, 40013, 79), -1);
    EXPECT_EQ(api.WritePoint(1, 25000, 79), -1);
    EXPECT_EQ(api.WritePointEx(257, 3, 1, 80), 0);
    EXPECT_EQ(a.Word(0), 80);
    EXPECT_EQ(Words(c), cBefore);
    EXPECT_EQ(Words(d), dBefore);
    // A read takes the first document in creation order.
    a.SetWord(4, 1);
    b.SetWord(2, 2);
    std::uint16_t value = 0;
    EXPECT_EQ(api.ReadPoint(1, 40005, value), 0);
    EXPECT_EQ(value, 1);
    // Writes are no modification.
    EXPECT_FALSE(a.IsModified());
    EXPECT_FALSE(b.IsModified());
}

TEST_F(Methods, CoilsAndInputsTakeTheWholeWord) {
    CKelvaro32Doc& coils = Doc(1, 1, 1, 10);
    CKelvaro32Doc& inputs = Doc(1, 2, 1, 10);
    EXPECT_EQ(api.WritePoint(1, 3, 0x1234), 0);
    EXPECT_EQ(api.WritePoint(1, 10003, 5), 0);
    EXPECT_EQ(coils.Word(2), 0x1234);
    EXPECT_EQ(inputs.Word(2), 5);
}

TEST_F(Methods, FloatWordOrders) {
    CKelvaro32Doc& d = Doc(1, 3, 1, 10);
    d.SetWord(0, 0x0000);
    d.SetWord(1, 0x3F80);
    d.SetWord(2, 0x3F80);
    d.SetWord(3, 0x0000);
    float value = 0;
    EXPECT_EQ(api.ReadFloat(1, 40001, value, false), 0);
    EXPECT_EQ(value, 1.0f);
    EXPECT_EQ(api.ReadFloat(1, 40003, value, true), 0);
    EXPECT_EQ(value, 1.0f);
    EXPECT_EQ(api.ReadFloatEx(1, 3, 1, value, false), 0);
    EXPECT_EQ(value, 1.0f);

    const std::uint32_t bits = std::bit_cast<std::uint32_t>(-2.5f);   // 0xC0200000
    EXPECT_EQ(api.WriteFloat(1, 40005, -2.5f, false), 0);
    EXPECT_EQ(d.Word(4), bits & 0xFFFF);
    EXPECT_EQ(d.Word(5), bits >> 16);
    EXPECT_EQ(api.WriteFloatEx(257, 0x103, 7, -2.5f, true), 0);
    EXPECT_EQ(d.Word(6), bits >> 16);
    EXPECT_EQ(d.Word(7), bits & 0xFFFF);
    EXPECT_EQ(api.ReadFloat(1, 40007, value, true), 0);
    EXPECT_EQ(value, -2.5f);
}

TEST_F(Methods, FloatFailuresWriteNothing) {
    CKelvaro32Doc& hr = Doc(1, 3, 1, 10);
    CKelvaro32Doc& top = Doc(1, 3, 65535, 2);      // 65535 and 65536
    CKelvaro32Doc& coils = Doc(1, 1, 9999, 1);
    const auto hrBefore = Words(hr);
    const auto topBefore = Words(top);
    const auto coilsBefore = Words(coils);
    float value = 0;
    for (std::int32_t reference : {40010, 40011, 25000, 19999, 9999, 39999, 0}) {
        EXPECT_EQ(api.ReadFloat(1, reference, value, false), -1) << reference;
        EXPECT_EQ(api.WriteFloat(1, reference, 3.0f, false), -1) << reference;
    }
    // Ex: 65535 is followed by 0, which no block holds; the reference form reaches 65536.
    EXPECT_EQ(api.ReadFloatEx(1, 3, 65535, value, false), -1);
    EXPECT_EQ(api.WriteFloatEx(1, 3, 65535, 3.0f, false), -1);
    EXPECT_EQ(api.WriteFloatEx(1, 5, 1, 3.0f, false), -1);
    EXPECT_EQ(Words(hr), hrBefore);
    EXPECT_EQ(Words(top), topBefore);
    EXPECT_EQ(Words(coils), coilsBefore);
    EXPECT_EQ(api.WriteFloat(1, 105535, 3.0f, false), 0);
    EXPECT_EQ(api.ReadFloat(1, 105535, value, false), 0);
    EXPECT_EQ(value, 3.0f);
}

TEST_F(Methods, FloatHalvesInTwoDocuments) {
    CKelvaro32Doc& low = Doc(1, 3, 1, 10);      // 40001..40010
    CKelvaro32Doc& high = Doc(1, 3, 11, 10);    // 40011..40020
    CKelvaro32Doc& both = Doc(1, 3, 10, 2);     // 40010..40011
    EXPECT_EQ(api.WriteFloat(1, 40010, 1.0f, false), 0);
    EXPECT_EQ(low.Word(9), 0x0000);
    EXPECT_EQ(high.Word(0), 0x3F80);
    EXPECT_EQ(both.Word(0), 0x0000);
    EXPECT_EQ(both.Word(1), 0x3F80);
    float value = 0;
    EXPECT_EQ(api.ReadFloat(1, 40010, value, false), 0);
    EXPECT_EQ(value, 1.0f);
}

}  // namespace
