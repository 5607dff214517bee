// The port table, the Setup Connection values and the typed-number rules, without a screen.
#include "connections/ComSettings.h"
#include "connections/PortTable.h"
#include "connections/SerialDevices.h"

#include "ScratchDir.h"
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

TEST(PortSettingsRecord, HandMadeBytesMapToFieldsAndBack)
{
    const std::array<std::uint8_t, 20> bytes = {0x00, 0x4B, 0x00, 0x00,   // 19200
                                                7, 2, 1, 0xAA,             // data bits, even, 1.5 stop, reserved
                                                1, 0, 0, 0,                // wait for CTS
                                                0, 0, 0, 0,                // no DTR wait
                                                50, 100, 0xBB, 0xCC};      // delays, reserved
    const pomrel::PortSettings s = PortSettingsFromBytes(bytes.data());
    EXPECT_EQ(s.baudRate, 19200u);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.parity, 2);
    EXPECT_EQ(s.stopBits, 1);
    EXPECT_EQ(s.waitCts, 1u);
    EXPECT_EQ(s.waitDtr, 0u);
    EXPECT_EQ(s.rtsOnDelayMs, 50);
    EXPECT_EQ(s.rtsOffDelayMs, 100);
    EXPECT_EQ(PortSettingsToBytes(s), bytes);
}

TEST(PortTable, PortsAreOneToThirtyTwoTakenAsEightBits)
{
    PortTable table;
    pomrel::PortSettings one;
    one.baudRate = 110;
    table.SetPortSettings(1, 0x81, one);
    struct Case { int port; bool ok; };
    for (const Case c : {Case{0, false}, Case{1, true}, Case{32, true}, Case{33, false}, Case{-1, false},
                         Case{256, false}, Case{257, true}}) {
        std::uint8_t protocol = 0x55;
        pomrel::PortSettings s;
        s.baudRate = 4;
        EXPECT_EQ(table.GetPortSettings(c.port, protocol, s), c.ok) << c.port;
        if (!c.ok) {
            EXPECT_EQ(protocol, 0x55) << "nothing copied for " << c.port;
            EXPECT_EQ(s.baudRate, 4u);
        }
    }
    std::uint8_t protocol = 0;
    pomrel::PortSettings s;
    ASSERT_TRUE(table.GetPortSettings(257, protocol, s));
    EXPECT_EQ(protocol, 0x81);   // 257 is port 1 as 8 bits
    table.SetPortSettings(33, 0, one);   // ignored, no write past the table
    table.SetPortSettings(-5, 0, one);
}

TEST(PortTable, DevicePathsDefaultAndMapping)
{
    PortTable table;
    EXPECT_EQ(table.PortPath(1), "/dev/ttyS0");
    EXPECT_EQ(table.PortPath(32), "/dev/ttyS31");
    table.SetPortPath(3, "/dev/ttyUSB0");
    table.SetPortPath(4, "/dev/ttyS3");      // its default: not a mapping
    table.SetPortPath(5, "/tmp/a\nb");       // the ports file could not hold it
    table.SetPortPath(33, "/dev/ttyUSB1");
    EXPECT_EQ(table.PortPath(3), "/dev/ttyUSB0");
    EXPECT_EQ(table.MappedPaths(), (std::map<int, std::string>{{3, "/dev/ttyUSB0"}}));
    table.SetPortPath(3, "");
    EXPECT_TRUE(table.MappedPaths().empty());
}

TEST(PortTable, PortsFileLines)
{
    struct Case { std::string text; std::map<int, std::string> paths; };
    const Case cases[] = {
        {"3=/dev/ttyUSB0\n", {{3, "/dev/ttyUSB0"}}},
        {"# comment\n\n 5 = /tmp/my pty \r\n32=/dev/ttyACM0", {{5, "/tmp/my pty"}, {32, "/dev/ttyACM0"}}},
        {"0=/a\n33=/b\nx=/c\n4=\n=/d\n7/dev/ttyS9\n-1=/e\n2 2=/f\n99999999999=/g\n", {}},
        {"2=/dev/ttyS1\n", {}},
        {"6=/a\n6=/b\n", {{6, "/b"}}},
        {std::string("8=/x\0y\n9=/z\n", 12), {{9, "/z"}}},   // a zero byte cannot name a device
    };
    for (const auto& c : cases) {
        PortTable table;
        table.ReadPortPaths(c.text);
        EXPECT_EQ(table.MappedPaths(), c.paths) << c.text;
        PortTable again;
        again.ReadPortPaths(table.PortPathsText());
        EXPECT_EQ(again.MappedPaths(), c.paths) << "written form of " << c.text;
    }
}

TEST(ComSettings, FreshPortAndEnronLock)
{
    PortTable table;
    const ComSettings fresh = ComSettingsFor(table, 5, false, 0);
    EXPECT_EQ(fresh.port, 5);
    EXPECT_EQ(fresh.baudRate, 9600u);
    EXPECT_EQ(fresh.dataBits, 8);
    EXPECT_EQ(fresh.stopBits, 0);
    EXPECT_EQ(fresh.parity, 1);
    EXPECT_TRUE(fresh.rtu);
    EXPECT_FALSE(fresh.enron);
    EXPECT_FALSE(fresh.enronLocked);
    EXPECT_FALSE(fresh.waitCts || fresh.waitDtr);
    EXPECT_EQ(fresh.rtsOnDelay + fresh.rtsOffDelay, 0);
    EXPECT_EQ(fresh.devicePath, "/dev/ttyS4");

    struct Case { bool anyOpen; int enronMode; std::uint8_t protocol; bool enron; bool locked; };
    for (const Case c : {Case{false, 1, 0x01, false, false}, Case{false, 0, 0x81, true, false},
                         Case{true, 1, 0x01, true, true}, Case{true, 0, 0x81, false, true}}) {
        table.SetPortSettings(5, c.protocol, {});
        const ComSettings v = ComSettingsFor(table, 5, c.anyOpen, c.enronMode);
        EXPECT_EQ(v.enron, c.enron) << c.anyOpen << c.enronMode << int(c.protocol);
        EXPECT_EQ(v.enronLocked, c.locked);
    }
}

TEST(ComSettings, StoreKeepsReservedBytesAndFormsTheProtocolByte)
{
    PortTable table;
    pomrel::PortSettings held;
    held.reserved7 = 0xAA;
    held.reserved18[0] = 0xBB;
    held.reserved18[1] = 0xCC;
    table.SetPortSettings(2, 5, held);   // mode 5 is neither RTU nor ASCII

    ComSettings v = ComSettingsFor(table, 2, false, 0);
    EXPECT_FALSE(v.rtu);
    v.enron = true;
    v.baudRate = 19200;
    v.parity = 2;
    v.waitDtr = true;
    v.rtsOffDelay = 100;
    v.devicePath = "/dev/ttyUSB3";
    StoreComSettings(table, v);

    std::uint8_t protocol = 0;
    pomrel::PortSettings s;
    ASSERT_TRUE(table.GetPortSettings(2, protocol, s));
    EXPECT_EQ(protocol, 0x80);   // ASCII (mode 0) plus ENRON
    EXPECT_EQ(s.baudRate, 19200u);
    EXPECT_EQ(s.parity, 2);
    EXPECT_EQ(s.waitDtr, 1u);
    EXPECT_EQ(s.rtsOffDelayMs, 100);
    EXPECT_EQ(s.reserved7, 0xAA);
    EXPECT_EQ(s.reserved18[0], 0xBB);
    EXPECT_EQ(s.reserved18[1], 0xCC);
    EXPECT_EQ(table.PortPath(2), "/dev/ttyUSB3");
}

TEST(ComSettings, ComboTextsGiveTheirValuesOrKeepTheHeldOne)
{
    EXPECT_EQ(BaudRateChoices().size(), 15u);
    EXPECT_EQ(ChoiceIndex(BaudRateChoices(), 9600), 6);
    EXPECT_EQ(ChoiceIndex(BaudRateChoices(), 12345), -1);
    EXPECT_EQ(ChoiceIndex(ParityChoices(), 0), 2);   // "NONE" is last
    EXPECT_EQ(ChoiceValue(BaudRateChoices(), "256000", 1), 256000u);
    EXPECT_EQ(ChoiceValue(BaudRateChoices(), " 19200 ", 1), 19200u);
    EXPECT_EQ(ChoiceValue(BaudRateChoices(), "250000", 12345), 12345u);
    EXPECT_EQ(ChoiceValue(BaudRateChoices(), "", 12345), 12345u);
    EXPECT_EQ(ChoiceValue(ParityChoices(), "even", 1), 2u);
    EXPECT_EQ(ChoiceValue(StopBitsChoices(), "1.5", 0), 1u);
}

TEST(FieldChecks, DelaysAndServicePort)
{
    struct Case { const char* text; bool ok; std::int64_t value; const char* message; };
    const Case delays[] = {
        {"0", true, 0, ""},
        {"100", true, 100, ""},
        {" 7 ", true, 7, ""},
        {"+8", true, 8, ""},
        {"101", false, 0, "Enter an integer between 0 and 100."},
        {"-1", false, 0, "Enter an integer between 0 and 100."},
        {"99999999999999999999999", false, 0, "Enter an integer between 0 and 100."},
        {"", false, 0, "Enter an integer."},
        {"abc", false, 0, "Enter an integer."},
        {"1e2", false, 0, "Enter an integer."},
        {"5 5", false, 0, "Enter an integer."},
        {"-", false, 0, "Enter an integer."},
    };
    for (const auto& c : delays) {
        const FieldCheck r = CheckIntegerField(c.text, 0, 100);
        EXPECT_EQ(r.ok, c.ok) << c.text;
        EXPECT_EQ(r.message, c.message) << c.text;
        if (c.ok) {
            EXPECT_EQ(r.value, c.value) << c.text;
        }
    }

    EXPECT_EQ(ServicePortText(40000), "-25536");
    EXPECT_EQ(ServicePortText(502), "502");
    const Case ports[] = {
        {"-25536", true, 40000, ""},
        {"40000", true, 40000, ""},
        {"0", true, 0, ""},
        {"65535", true, 65535, ""},
        {"-1", true, 65535, ""},
        {"65536", false, 0, "Enter an integer between -32768 and 65535."},
        {"-32769", false, 0, "Enter an integer between -32768 and 65535."},
        {"x", false, 0, "Enter an integer."},
    };
    for (const auto& c : ports) {
        const FieldCheck r = CheckServicePortField(c.text);
        EXPECT_EQ(r.ok, c.ok) << c.text;
        EXPECT_EQ(r.message, c.message) << c.text;
        if (c.ok) {
            EXPECT_EQ(r.value, c.value) << c.text;
        }
    }
}

TEST(SerialDevices, ListsSerialNamesInNaturalOrder)
{
    ScratchDir dev;
    const std::string root = dev.Path();
    std::filesystem::create_directories(root + "/serial/by-id");
    for (const char* name : {"ttyS10", "ttyS2", "ttyUSB0", "ttyACM1", "tty0", "ttySX", "console", "serial/by-id/usb-FTDI-if00"})
        std::ofstream(root + "/" + name).put('x');
    EXPECT_EQ(ListSerialDevices(root),
              (std::vector<std::string>{root + "/ttyACM1", root + "/ttyS2", root + "/ttyS10", root + "/ttyUSB0",
                                        root + "/serial/by-id/usb-FTDI-if00"}));
    EXPECT_TRUE(ListSerialDevices(root + "/missing").empty());
}

} // namespace
