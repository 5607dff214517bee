// termios2 comes from the kernel headers, which cannot share a translation unit with glibc's
// <termios.h>: this file includes only the former.
#include "engine/SerialPort.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pomrel {

namespace {

bool Apply(int fd, const PortSettings& s, bool keepEightBitsNoParity)
{
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    // Raw: no line editing, echo, signals or character translation; a read returns what is there.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CBAUD | CRTSCTS | (CBAUD << IBSHIFT));
    tio.c_cflag |= CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    const bool sevenBits = s.dataBits == 7 && !keepEightBitsNoParity;
    tio.c_cflag |= sevenBits ? CS7 : CS8;
    if (!keepEightBitsNoParity && (s.parity == 1 || s.parity == 2)) {
        tio.c_cflag |= PARENB | (s.parity == 1 ? PARODD : 0);
        tio.c_iflag |= INPCK;
    }
    // One and a half stop bits exist only for 5-bit characters; two is the nearest for 7 and 8.
    if (s.stopBits == 1 || s.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    const unsigned baud = s.baudRate == 0 ? 9600u : s.baudRate;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ::ioctl(fd, TCSETS2, &tio) == 0;
}

} // namespace

int OpenSerialPort(const std::string& path, const PortSettings& settings, std::string& error, std::string& warning)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    // Another program (or a second open of ours) must not share the line.
    if (::ioctl(fd, TIOCEXCL) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!Apply(fd, settings, false)) {
        const int first = errno;
        if (first == EINVAL && Apply(fd, settings, true)) {
            warning = "parity and character size not supported by the device; using 8 bits, no parity";
        } else {
            error = std::strerror(first);
            ::close(fd);
            return -1;
        }
    }
    // Bytes left from an earlier session would be taken for the start of a request.
    ::ioctl(fd, TCFLSH, TCIOFLUSH);
    return fd;
}

bool SetRts(int fd, bool on)
{
    int bits = TIOCM_RTS;
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool ReadModemLines(int fd, bool& cts, bool& dsr)
{
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0)
        return false;
    cts = (bits & TIOCM_CTS) != 0;
    dsr = (bits & TIOCM_DSR) != 0;
    return true;
}

} // namespace pomrel
