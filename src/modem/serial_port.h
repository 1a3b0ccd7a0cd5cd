#pragma once

#include "common/result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vela {

class SerialTrace;

// The modem's serial port: 115200 baud (or the given speed), 8 data bits, no parity,
// two stop bits, raw, DTR and RTS on, no flow control, exclusive access, both queues
// flushed at opening. One backend per operating system behind this header.
class SerialPort {
public:
    static constexpr int kDefaultSpeed = 115200;

    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the port called `name` ("COMn" or a device path). An open port is closed
    // first, followed by a 500 ms pause. speed -1 means the default speed. Only a
    // character device that is a terminal is used. The reason of a failure names the
    // likely cause: no such device, the 'dialout' group, the program holding the port.
    Status Open(const std::string& name, int speed = -1);
    void Close();
    bool IsOpen() const;

    // Writes all bytes; false when the write failed.
    bool Write(const void* data, std::size_t count);
    // Whatever is queued, at most `capacity` bytes; never waits. 0 on nothing or failure.
    std::size_t Read(void* buffer, std::size_t capacity);
    // Blocks until input is queued or `limit` has passed; true when input is waiting.
    bool WaitForInput(std::chrono::milliseconds limit);

    // The platform's device name for a port name. On POSIX: "COMn" or "comn" maps to
    // /dev/ttyS(n-1), a bare line name (ttyUSB0, ttyACM0) and "serial/by-id/..." to their
    // place under /dev, any other name holding '/' is a path used as it stands; every other
    // name gives an empty text (refused).
    static std::string DeviceName(const std::string& name);

    // Every byte written and read from now on also goes to `trace` (nullptr: none).
    void setTrace(SerialTrace* trace) { trace_ = trace; }
    SerialTrace* trace() const { return trace_; }

    // The pause after closing a port that was open (500 ms; shortened only by tests).
    void setReopenPause(std::chrono::milliseconds pause) { reopenPause_ = pause; }

private:
    struct Backend;
    std::unique_ptr<Backend> backend_;
    std::chrono::milliseconds reopenPause_{500};
    SerialTrace* trace_ = nullptr;
};

}  // namespace vela
