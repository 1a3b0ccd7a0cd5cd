// POSIX backend of SerialPort: termios on a file descriptor.
#include "modem/serial_port.h"

#include "modem/serial_trace.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

namespace vela {

struct SerialPort::Backend {
    int fd = -1;
    // A hung-up line (the device unplugged, a pseudo-terminal's master closed) reports
    // input ready to every poll while reads return nothing. Set when a wait has let the
    // caller read once after the hang-up; cleared by a read that returns bytes.
    bool hangUpSeen = false;
};

namespace {

speed_t speedConstant(int speed) {
    switch (speed) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B115200;
    }
}

// The program holding `device` open, as /proc shows it ("ModemManager (pid 812)"); empty
// when no process visible to this user holds it.
std::string holderOf(const std::string& device) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path target = fs::canonical(device, ec);
    if (ec) return {};
    const std::string self = std::to_string(::getpid());
    // Processes come and go while /proc is read: every step takes its error as a value.
    for (fs::directory_iterator process("/proc", ec), end; !ec && process != end;
         process.increment(ec)) {
        const std::string pid = process->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (pid == self) continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end;
             fd.increment(fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd->path(), linkError) != target) continue;
            std::ifstream comm(process->path() / "comm");
            std::string name;
            std::getline(comm, name);
            return (name.empty() ? std::string("a program") : name) + " (pid " + pid + ")";
        }
    }
    return {};
}

std::string openFailure(const std::string& device, int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return device + ": no such device (is the modem plugged in and switched on?)";
        case EACCES:
        case EPERM:
            return device +
                   ": permission denied; the user is not in the 'dialout' group (add it with "
                   "'sudo usermod -aG dialout USER' and log in again)";
        case EBUSY: {
            const std::string holder = holderOf(device);
            return device + ": busy, held by " +
                   (holder.empty() ? std::string("another program (often ModemManager or brltty)")
                                   : holder);
        }
        default:
            return device + ": " + std::strerror(error);
    }
}

std::string notASerialPort(const std::string& device) {
    return device + ": not a serial port";
}

// A bare name that may stand for a device under /dev: ttyUSB0, ttyACM0, ttyS1, ttyAMA0.
bool isTerminalName(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "tty") != 0) return false;
    std::size_t at = 3;
    while (at < name.size() && std::isalpha(static_cast<unsigned char>(name[at])) != 0) ++at;
    return at < name.size() && at > 3 &&
           name.find_first_not_of("0123456789", at) == std::string::npos;
}

// Line settings of the modem link. Failures are ignored: a pseudo-terminal refuses
// some of them, and a real port that refuses shows up as a silent modem.
void configureLine(int fd, int speed) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
        tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        const speed_t constant = speedConstant(speed);
        cfsetispeed(&tio, constant);
        cfsetospeed(&tio, constant);
        (void)tcsetattr(fd, TCSANOW, &tio);
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &lines);
    (void)tcflush(fd, TCIOFLUSH);
}

}  // namespace

SerialPort::SerialPort() : backend_(std::make_unique<Backend>()) {}

SerialPort::~SerialPort() {
    Close();
}

std::string SerialPort::DeviceName(const std::string& name) {
    constexpr std::string_view kById = "serial/by-id/";
    if (name.compare(0, kById.size(), kById) == 0) return "/dev/" + name;
    if (name.find('/') != std::string::npos) return name;
    if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0)) {
        const std::string digits = name.substr(3);
        if (digits.size() < 6 && digits.find_first_not_of("0123456789") == std::string::npos &&
            std::stoi(digits) >= 1) {
            return "/dev/ttyS" + std::to_string(std::stoi(digits) - 1);
        }
    }
    // Only names of serial lines map into /dev: "sda" must never reach a disk.
    if (isTerminalName(name)) return "/dev/" + name;
    return {};
}

Status SerialPort::Open(const std::string& name, int speed) {
    if (IsOpen()) {
        Close();
        std::this_thread::sleep_for(reopenPause_);
    }
    const std::string device = DeviceName(name);
    if (device.empty()) {
        return Status::Fail("'" + name +
                            "' is not a serial port name: give COMn, a name such as ttyUSB0 or "
                            "serial/by-id/..., or a full path");
    }
    // Refused before opening: an ordinary file, a FIFO or a disk is no modem.
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) return Status::Fail(openFailure(device, errno));
    if (!S_ISCHR(info.st_mode)) return Status::Fail(notASerialPort(device));
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Status::Fail(openFailure(device, errno));
    // The name may have been swapped since the test above; judge what was opened.
    termios settings{};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || ::tcgetattr(fd, &settings) != 0) {
        ::close(fd);
        return Status::Fail(notASerialPort(device));
    }
    // Exclusive from here on: a second opening fails with EBUSY (except for root).
    (void)::ioctl(fd, TIOCEXCL);
    backend_->fd = fd;
    backend_->hangUpSeen = false;
    configureLine(fd, speed < 0 ? kDefaultSpeed : speed);
    return Status::Ok();
}

void SerialPort::Close() {
    if (backend_->fd < 0) return;
    (void)::ioctl(backend_->fd, TIOCNXCL);
    ::close(backend_->fd);
    backend_->fd = -1;
    backend_->hangUpSeen = false;
}

bool SerialPort::IsOpen() const {
    return backend_->fd >= 0;
}

bool SerialPort::Write(const void* data, std::size_t count) {
    if (!IsOpen()) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    // The descriptor is non-blocking: wait for room when the output queue is full, but
    // never longer than the 2 ms per byte a real line needs, plus a second.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000) +
                       std::chrono::milliseconds(2 * static_cast<long long>(count));
    while (done < count) {
        const ssize_t n = ::write(backend_->fd, bytes + done, count - done);
        if (n > 0) {
            if (trace_ != nullptr)
                trace_->Record(TraceDirection::Written, bytes + done, static_cast<std::size_t>(n));
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{backend_->fd, POLLOUT, 0};
        (void)::poll(&p, 1, static_cast<int>(left.count()));
    }
    return true;
}

std::size_t SerialPort::Read(void* buffer, std::size_t capacity) {
    if (!IsOpen() || capacity == 0) return 0;
    for (;;) {
        const ssize_t n = ::read(backend_->fd, buffer, capacity);
        if (n > 0) {
            backend_->hangUpSeen = false;
            if (trace_ != nullptr)
                trace_->Record(TraceDirection::Read, buffer, static_cast<std::size_t>(n));
            return static_cast<std::size_t>(n);
        }
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

bool SerialPort::WaitForInput(std::chrono::milliseconds limit) {
    if (!IsOpen()) return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // Round up so that a wait never ends just before the limit and forces a spin.
        const auto ms = left.count() < 0 ? 0 : left.count() + 1;
        pollfd p{backend_->fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(ms));
        if (r > 0) {
            const bool gone = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            // After a hang-up the line may still hold bytes: let the caller read once.
            if ((p.revents & POLLIN) != 0 && !(gone && backend_->hangUpSeen)) {
                backend_->hangUpSeen = gone;
                return true;
            }
            // Hang-up or error (the other side went away) and nothing left to read:
            // nothing will come; wait out the limit rather than return at once and make
            // the caller spin.
            if (ms > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            }
            return false;
        }
        if (r < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace vela
