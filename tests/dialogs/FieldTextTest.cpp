// Reading integers and numbers from dialog fields, and the models' Update exchange.
#include "dialogs/FieldText.h"
#include "dialogs/WriteDialogModels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace fieldtext;
using namespace writedlg;

TEST(FieldText, Integers)
{
    struct Case { std::string text; std::optional<std::int32_t> value; };
    const Case cases[] = {
        {"12", 12}, {"  -7\t", -7}, {"+5", 5}, {"007", 7},
        {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
        {"", std::nullopt}, {"   ", std::nullopt}, {"-", std::nullopt}, {"1.5", std::nullopt},
        {"12a", std::nullopt}, {"0x10", std::nullopt}, {"1 2", std::nullopt},
        {"2147483648", std::nullopt}, {"-2147483649", std::nullopt},
        {std::string(70, '9'), std::nullopt},
        // Only the first 63 characters count.
        {std::string(61, ' ') + "42junk", 42},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(FieldText, Numbers)
{
    struct Case { std::string text; std::optional<float> value; };
    const Case cases[] = {
        {"1e3", 1000.0f}, {" -.5 ", -0.5f}, {"5.", 5.0f}, {"+2.25", 2.25f}, {"1E-2", 0.01f},
        {"0.1", 0.1f}, {"3.4e38", 3.4e38f}, {"1e-50", 0.0f}, {"0." + std::string(400, '0') + "1", 0.0f},
        {"", std::nullopt}, {".", std::nullopt}, {"abc", std::nullopt}, {"1e", std::nullopt},
        {"inf", std::nullopt}, {"nan", std::nullopt}, {"0x1p3", std::nullopt}, {"1,5", std::nullopt},
        {"1e39", std::nullopt}, {"1e400", std::nullopt}, {"-" + std::string(50, '9'), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseNumber(c.text), c.value) << '"' << c.text.substr(0, 20) << '"';
}

TEST(FieldText, NumberTextHasSixSignificantDigits)
{
    EXPECT_EQ(FormatNumber(32767.0f), "32767");
    EXPECT_EQ(FormatNumber(2.5f), "2.5");
    EXPECT_EQ(FormatNumber(0.1f), "0.1");
    EXPECT_EQ(FormatNumber(1234567.0f), "1.23457e+06");
}

// Address 0 and 65536 in each dialog: the range and the message with its bounds.
TEST(WriteDialogModels, AddressRanges)
{
    struct Case { const char* dialog; std::string address; std::optional<std::string> error; };
    const Case cases[] = {
        {"reg", "0", "Enter an integer between 1 and 65536."},
        {"reg", "65536", std::nullopt},
        {"hex", "0", "Enter an integer between 1 and 65536."},
        {"hex", "65537", "Enter an integer between 1 and 65536."},
        {"binary", "0", "Enter an integer between 1 and 65536."},
        {"binary", "1", std::nullopt},
        {"coil", "0", "Enter an integer between 1 and 65536."},
        {"coil", "65536", std::nullopt},
        {"float", "0", std::nullopt},
        {"float", "65536", "Enter an integer between 0 and 65535."},
        {"float", "-1", "Enter an integer between 0 and 65535."},
        {"reg", "ten", "Enter an integer."},
    };
    for (const Case& c : cases) {
        const std::string d = c.dialog;
        FieldCheck r;
        int addressId = kIdAddress;
        if (d == "reg")
            r = WrRegModel{}.Exchange(c.address, "1", "");
        else if (d == "hex")
            r = HexRegModel{}.Exchange(c.address, "");
        else if (d == "binary")
            r = WrBinaryModel{}.Exchange({}, c.address, ""), addressId = kIdBinaryAddress;
        else if (d == "coil")
            r = WrCoilModel{}.Exchange(c.address, "");
        else
            r = WrFltModel{}.Exchange(c.address, "1", "");
        ASSERT_EQ(r.has_value(), c.error.has_value()) << d << ' ' << c.address;
        if (r) {
            EXPECT_EQ(r->message, *c.error) << d << ' ' << c.address;
            EXPECT_EQ(r->controlId, addressId);
        }
    }
}

TEST(WriteDialogModels, FailingFieldKeepsEarlierMembersAndLaterOnesAlone)
{
    WrRegModel reg;
    reg.address = 1;
    reg.value = 9;
    reg.alias = "old";
    auto e = reg.Exchange("40", "4x", "new");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->controlId, kIdValue);
    EXPECT_EQ(e->message, "Enter an integer.");
    EXPECT_EQ(reg.address, 40);
    EXPECT_EQ(reg.value, 9);
    EXPECT_EQ(reg.alias, "old");
    EXPECT_FALSE(reg.Exchange("40", "-2147483648", "new"));
    EXPECT_EQ(reg.value, INT32_MIN);
    EXPECT_EQ(reg.alias, "new");

    WrFltModel flt;
    e = flt.Exchange("7", "one", "a");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->message, "Enter a number.");
    EXPECT_EQ(flt.address, 7);
}

TEST(WriteDialogModels, HexValueFieldCheck)
{
    struct Case { std::string text; bool accepted; int value; };
    const Case cases[] = {
        {"fFfF", true, 0xFFFF}, {"00ff", true, 0xFF}, {"", true, 0}, {"0000000000000000001", true, 1},
        {"10000", false, 0x1234}, {"12G4", false, 0x1234}, {" 12", false, 0x1234}, {"-1", false, 0x1234},
        {"0000000000000000000FFFF", true, 0}, // only the first 19 characters are looked at
    };
    for (const Case& c : cases) {
        HexRegModel m;
        m.value = 0x1234;
        EXPECT_EQ(m.TakeValueText(c.text), c.accepted) << c.text;
        EXPECT_EQ(m.value, c.value) << c.text;
    }
    HexRegModel m;
    m.value = 255;
    EXPECT_EQ(m.ValueText(), "00FF");
    m.value = 0x12345;
    EXPECT_EQ(m.ValueText(), "2345");
}

TEST(WriteDialogModels, BitBoxesAndCoilValue)
{
    WrBinaryModel bin;
    std::array<bool, 16> boxes{};
    boxes[0] = boxes[15] = true; // 1008 and 1023
    EXPECT_FALSE(bin.Exchange(boxes, "1", ""));
    EXPECT_EQ(bin.value, 0x8001);
    EXPECT_TRUE(bin.BoxChecked(1008));
    EXPECT_FALSE(bin.BoxChecked(1009));
    EXPECT_TRUE(bin.BoxChecked(1023));

    WrCoilModel coil;
    coil.value = 5;
    EXPECT_TRUE(coil.OnChecked());
    EXPECT_FALSE(coil.Exchange("10", ""));
    EXPECT_EQ(coil.value, 5);
    coil.ClickOff();
    EXPECT_EQ(coil.value, 0);
    coil.ClickOn();
    EXPECT_EQ(coil.value, 1);
}
