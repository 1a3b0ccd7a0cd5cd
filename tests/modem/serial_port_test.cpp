#include "modem/serial_port.h"
#include "scripted_modem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vela {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A bare pseudo-terminal pair; the test plays the modem on the master side by hand.
struct PtyPair {
    PtyPair() {
        char buffer[256] = {};
        EXPECT_EQ(openpty(&master, &slave, buffer, nullptr, nullptr), 0);
        name = buffer;
    }
    ~PtyPair() {
        close(slave);
        close(master);
    }
    void send(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(size_t count) const {
        std::string out;
        const auto limit = Clock::now() + 2s;
        while (out.size() < count && Clock::now() < limit) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buffer[4096];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) out.append(buffer, static_cast<size_t>(n));
            }
        }
        return out;
    }
    int master = -1;
    int slave = -1;
    std::string name;
};

TEST(SerialPort, DeviceNames) {
    EXPECT_EQ(SerialPort::DeviceName("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialPort::DeviceName("COM9"), "/dev/ttyS8");
    EXPECT_EQ(SerialPort::DeviceName("COM10"), "/dev/ttyS9");
    EXPECT_EQ(SerialPort::DeviceName("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialPort::DeviceName("/dev/serial/by-id/usb-Modem_1-if00"),
              "/dev/serial/by-id/usb-Modem_1-if00");
    EXPECT_EQ(SerialPort::DeviceName("com4"), "/dev/ttyS3");
    EXPECT_EQ(SerialPort::DeviceName("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialPort::DeviceName("ttyACM12"), "/dev/ttyACM12");
    EXPECT_EQ(SerialPort::DeviceName("serial/by-id/usb-Modem_1-if00"),
              "/dev/serial/by-id/usb-Modem_1-if00");
    // Every other bare name is refused: "sda" must never reach a disk.
    for (const char* refused : {"sda", "null", "tty", "ttyUSB", "COM0", "COMx", "mem"}) {
        EXPECT_EQ(SerialPort::DeviceName(refused), "") << refused;
    }
}

TEST(SerialPort, FailedOpeningNamesTheDeviceAndLeavesThePortClosed) {
    SerialPort port;
    const Status status = port.Open("/nonexistent/modem");
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message().find("/nonexistent/modem"), std::string::npos) << status.message();
    EXPECT_FALSE(port.IsOpen());
    char byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), 0u);
    EXPECT_FALSE(port.Write("A", 1));
}

TEST(SerialPort, LineSettingsAndExclusiveAccess) {
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.name).ok());
    ASSERT_TRUE(port.IsOpen());
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & (PARENB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    int exclusive = 0;
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST(SerialPort, ReadTakesWhatIsQueuedUpToTheCapacityWithoutWaiting) {
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.name).ok());
    char buffer[1024];
    const auto before = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    EXPECT_LT(Clock::now() - before, 500ms);

    pty.send("hello");
    ASSERT_TRUE(port.WaitForInput(2000ms));
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    pty.send(std::string(2000, 'x'));
    std::string all;
    while (all.size() < 2000 && port.WaitForInput(2000ms)) {
        const size_t n = port.Read(buffer, sizeof buffer);
        EXPECT_LE(n, sizeof buffer);
        all.append(buffer, n);
    }
    EXPECT_EQ(all, std::string(2000, 'x'));
}

TEST(SerialPort, BytesAreWrittenUnchanged) {
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.name).ok());
    const std::string bytes = std::string("AT\r\n\x1A\r\n\x00\xff", 8);
    EXPECT_TRUE(port.Write(bytes.data(), bytes.size()));
    EXPECT_EQ(pty.receive(bytes.size()), bytes);
}

TEST(SerialPort, WaitForInputBlocksUntilDataOrTheLimit) {
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.name).ok());
    auto before = Clock::now();
    EXPECT_FALSE(port.WaitForInput(150ms));
    EXPECT_GE(Clock::now() - before, 150ms);

    std::thread writer([&] {
        std::this_thread::sleep_for(100ms);
        pty.send("OK\r\n");
    });
    before = Clock::now();
    EXPECT_TRUE(port.WaitForInput(5000ms));
    EXPECT_LT(Clock::now() - before, 4000ms);
    writer.join();
}

TEST(SerialPort, OpeningAgainClosesFirstAndPauses) {
    PtyPair pty;
    SerialPort port;
    port.setReopenPause(300ms);
    auto before = Clock::now();
    ASSERT_TRUE(port.Open(pty.name).ok());
    const auto firstOpening = Clock::now() - before;
    before = Clock::now();
    ASSERT_TRUE(port.Open(pty.name).ok());
    EXPECT_GE(Clock::now() - before, 300ms);
    EXPECT_LT(firstOpening, 300ms);
    // What was queued before the opening is flushed.
    pty.send("stale");
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(port.Open(pty.name).ok());
    char buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
}

// A hung-up line (the modem unplugged; here the master side closed) reports input to
// every poll while reads return nothing. A wait may let the caller read once, then
// it must wait out its limit: returning at once would make a waiting dialogue spin.
TEST(SerialPort, AHungUpLineIsWaitedOutNotReportedAsInput) {
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.name).ok());
    close(pty.master);
    pty.master = -1;
    char buffer[64];
    int immediate = 0;
    for (int i = 0; i < 3; ++i) {
        const auto before = Clock::now();
        const bool input = port.WaitForInput(200ms);
        if (Clock::now() - before < 150ms) ++immediate;
        if (input) {
            EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
        }
    }
    EXPECT_LE(immediate, 1);
}

}  // namespace
}  // namespace vela
