// The settings record as the device sees it, read back through termios2. Kernel headers only:
// <asm/termbits.h> cannot share a file with glibc's <termios.h>.
#include "engine/ProtocolEngine.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace pomrel {
namespace {

TEST(SerialSettings, NonStandardRatesAndStopBitsReachTheDevice)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "reading back needs a second open of an exclusive port";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string path = ::ptsname(master);

    struct Case {
        std::uint32_t baud;
        std::uint8_t stopBits;
        bool twoStopBits;
    };
    const std::array<Case, 5> cases = {{{14400, 0, false}, {56000, 2, true}, {128000, 1, true}, {256000, 0, false}, {110, 2, true}}};
    ProtocolEngine engine;
    engine.SetPortPath(1, path);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        PortSettings settings;
        settings.baudRate = c.baud;
        settings.parity = 0;
        settings.stopBits = c.stopBits;
        const Handle h = engine.OpenConnection(nullptr, 1, 1, 1, settings);
        ASSERT_NE(h, kNoHandle) << engine.LastOpenError();
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        struct termios2 tio {};
        ASSERT_EQ(::ioctl(fd, TCGETS2, &tio), 0);
        EXPECT_EQ(tio.c_ospeed, c.baud);
        EXPECT_EQ(tio.c_ispeed, c.baud);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStopBits);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw";
        ::close(fd);
        engine.CloseConnection(h);
    }
    ::close(master);
}

} // namespace
} // namespace pomrel
