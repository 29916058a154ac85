#include "serial/device.h"

#include "platform/profile.h"
#include "platform/root.h"
#include "serial/comms.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct BaudCode {
    int baud;
    speed_t code;
};

// The rates termios can name; anything else is refused at open rather than
// silently run at a different speed.
constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(int baud, speed_t *code)
{
    for (const BaudCode &b : kBauds) {
        if (b.baud == baud) {
            *code = b.code;
            return true;
        }
    }
    return false;
}

bool SizeFlag(int byteSize, tcflag_t *flag)
{
    switch (byteSize) {
    case 5: *flag = CS5; return true;
    case 6: *flag = CS6; return true;
    case 7: *flag = CS7; return true;
    case 8: *flag = CS8; return true;
    default: return false;
    }
}

bool ParityFlags(int parity, tcflag_t *flags)
{
    switch (parity) {
    case kParityNone: *flags = 0; return true;
    case kParityOdd: *flags = PARENB | PARODD; return true;
    case kParityEven: *flags = PARENB; return true;
    case kParityMark: *flags = PARENB | PARODD | CMSPAR; return true;
    case kParitySpace: *flags = PARENB | CMSPAR; return true;
    default: return false;
    }
}

// A UART sends one and a half stop bits for "two" with five data bits, so
// 1.5 is only possible there.
bool StopFlag(int stopBits, int byteSize, tcflag_t *flag)
{
    if (stopBits == kStopOne)
        *flag = 0;
    else if (stopBits == kStopTwo || (stopBits == kStopOneAndHalf && byteSize == 5))
        *flag = CSTOPB;
    else
        return false;
    return true;
}

// Takes the device for this process alone: the flock keeps out every other
// open (root included), TIOCEXCL keeps out opens of other programs that do
// not lock.
int TakeExclusive(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? -2 : -1;
    if (ioctl(fd, TIOCEXCL) != 0)
        return -1;
    return 0;
}

}  // namespace

bool CommDevicePath(int port, char *buffer, unsigned size)
{
    if (port < 1 || port > kCommPorts || !buffer || size == 0)
        return false;
    char key[16];
    std::snprintf(key, sizeof key, "COM%d", port);
    std::string file = PathsFile();
    char value[256];
    GetPrivateProfileString("Serial", key, "NONE", value, sizeof value, file.c_str());
    if (value[0] == 0 || std::strcmp(value, "NONE") == 0) {
        std::snprintf(value, sizeof value, "/dev/ttyS%d", port - 1);
        WritePrivateProfileString("Serial", key, value, file.c_str());
    }
    size_t length = std::strlen(value);
    if (length + 1 >= sizeof value || length + 1 > size)
        return false;  // cut short: not a path we can open
    std::memcpy(buffer, value, length + 1);
    return true;
}

bool DeviceAddressOf(int port, DeviceAddress *address)
{
    *address = DeviceAddress{};
    if (!CommDevicePath(port, address->Path, sizeof address->Path))
        return false;
    if (strncasecmp(address->Path, "tcp:", 4) == 0)
        return ParseTcpAddress(address->Path, address);
    return true;
}

int DeviceOpenPath(const char *path, int *fd)
{
    int d = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (d < 0)
        return errno == EBUSY ? -2 : -1;
    int result = TakeExclusive(d);
    if (result != 0) {
        close(d);
        return result;
    }
    *fd = d;
    return 0;
}

bool DeviceLineSettings(termios *tio, int baud, int byteSize, int stopBits, int parity)
{
    speed_t speed;
    tcflag_t size, parityFlags, stop;
    if (!SpeedCode(baud, &speed) || !SizeFlag(byteSize, &size) || !ParityFlags(parity, &parityFlags) ||
        !StopFlag(stopBits, byteSize, &stop))
        return false;
    cfmakeraw(tio);
    // XOFF/XON sent by the kernel would be data to a binary protocol
    tio->c_iflag &= ~(IXOFF | IXANY);
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio->c_cflag |= CLOCAL | CREAD | size | parityFlags | stop;
    if (parityFlags != 0)
        tio->c_iflag |= INPCK;  // check parity; a bad byte is read as 0
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    return cfsetispeed(tio, speed) == 0 && cfsetospeed(tio, speed) == 0;
}

bool DeviceConfigure(int fd, int baud, int byteSize, int stopBits, int parity)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0 || !DeviceLineSettings(&tio, baud, byteSize, stopBits, parity))
        return false;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    tcflush(fd, TCIFLUSH);  // what arrived before we owned the line is stale
    return true;
}

void DeviceClose(int fd)
{
    if (fd < 0)
        return;
    ioctl(fd, TIOCNXCL);
    close(fd);  // the flock goes with the last descriptor
}

uint32_t DeviceLineErrors(int fd, LineCounters *seen)
{
    serial_icounter_struct now{};
    if (ioctl(fd, TIOCGICOUNT, &now) != 0)
        return 0;  // not a UART that counts (a pseudo-terminal, a USB adapter)
    uint32_t errors = 0;
    if (seen->Known) {
        if (now.frame != seen->Frame) errors |= CE_FRAME;
        if (now.overrun != seen->Overrun) errors |= CE_OVERRUN;
        if (now.parity != seen->Parity) errors |= CE_RXPARITY;
        if (now.brk != seen->Break) errors |= CE_BREAK;
        if (now.buf_overrun != seen->BufOverrun) errors |= CE_RXOVER;
    }
    *seen = LineCounters{true, now.frame, now.overrun, now.parity, now.brk, now.buf_overrun};
    return errors;
}

int DeadDescriptor()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    close(ends[1]);
    return ends[0];  // a read end alone: end of file to readers, EBADF to writers
}
