// Win32 backend of SerialPort: the communications functions on an overlapped handle.
// Built only for Windows; scripts/win32-check proves that it compiles.
#include "modem/serial_port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

namespace vela {

struct SerialPort::Backend {
    HANDLE handle = INVALID_HANDLE_VALUE;
    // One record for reads and writes, without an event: a pending operation is
    // awaited on the handle itself.
    OVERLAPPED overlapped{};
};

namespace {

constexpr DWORD kQueueSize = 128;

std::string lastErrorText(const std::string& device) {
    const DWORD error = GetLastError();
    std::string text = "Could not open " + device + " (error " + std::to_string(error) + ")";
    if (error == ERROR_ACCESS_DENIED) text += ": another program holds the port";
    if (error == ERROR_FILE_NOT_FOUND) text += ": no such port";
    return text;
}

}  // namespace

SerialPort::SerialPort() : backend_(std::make_unique<Backend>()) {}

SerialPort::~SerialPort() {
    Close();
}

std::string SerialPort::DeviceName(const std::string& name) {
    // COM10 and above exist only in the device namespace; COM1 to COM9 open as they are.
    if (name.size() > 4) return "\\\\.\\" + name;
    return name;
}

Status SerialPort::Open(const std::string& name, int speed) {
    if (IsOpen()) {
        Close();
        Sleep(static_cast<DWORD>(reopenPause_.count()));
    }
    const std::string device = DeviceName(name);
    HANDLE handle =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Status::Fail(lastErrorText(device));
    backend_->handle = handle;
    backend_->overlapped = OVERLAPPED{};

    SetupComm(handle, kQueueSize, kQueueSize);
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 2;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(handle, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(handle, &dcb);
    dcb.BaudRate = static_cast<DWORD>(speed < 0 ? kDefaultSpeed : speed);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fParity = FALSE;
    SetCommState(handle, &dcb);
    return Status::Ok();
}

void SerialPort::Close() {
    if (backend_->handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(backend_->handle);
    backend_->handle = INVALID_HANDLE_VALUE;
}

bool SerialPort::IsOpen() const {
    return backend_->handle != INVALID_HANDLE_VALUE;
}

bool SerialPort::Write(const void* data, std::size_t count) {
    if (!IsOpen()) return false;
    DWORD written = 0;
    if (WriteFile(backend_->handle, data, static_cast<DWORD>(count), &written,
                  &backend_->overlapped)) {
        return true;
    }
    if (GetLastError() == ERROR_IO_PENDING &&
        GetOverlappedResult(backend_->handle, &backend_->overlapped, &written, TRUE)) {
        return true;
    }
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(backend_->handle, &errors, &status);
    return false;
}

std::size_t SerialPort::Read(void* buffer, std::size_t capacity) {
    if (!IsOpen() || capacity == 0) return 0;
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(backend_->handle, &errors, &status);
    const DWORD wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(capacity));
    if (wanted == 0) return 0;
    DWORD got = 0;
    if (ReadFile(backend_->handle, buffer, wanted, &got, &backend_->overlapped)) return got;
    if (GetLastError() == ERROR_IO_PENDING) {
        // The bytes are queued already, so the pending read completes at once.
        if (GetOverlappedResult(backend_->handle, &backend_->overlapped, &got, TRUE)) return got;
    }
    OutputDebugStringA("SerialPort: read failed\n");
    ClearCommError(backend_->handle, &errors, &status);
    return 0;
}

bool SerialPort::WaitForInput(std::chrono::milliseconds limit) {
    if (!IsOpen()) return false;
    // Wait for a receive event on a private overlapped record with its own event, so
    // the waiting thread sleeps instead of polling.
    SetCommMask(backend_->handle, EV_RXCHAR);
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(backend_->handle, &errors, &status);
    if (status.cbInQue > 0) return true;
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (wait.hEvent == nullptr) return false;
    DWORD mask = 0;
    bool arrived = false;
    if (WaitCommEvent(backend_->handle, &mask, &wait)) {
        arrived = (mask & EV_RXCHAR) != 0;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        const auto ms = static_cast<DWORD>(std::max<long long>(0, limit.count()));
        if (WaitForSingleObject(wait.hEvent, ms) == WAIT_OBJECT_0) {
            DWORD done = 0;
            arrived = GetOverlappedResult(backend_->handle, &wait, &done, FALSE) &&
                      (mask & EV_RXCHAR) != 0;
        } else {
            // Cancel the pending wait by resetting the mask, then collect it.
            SetCommMask(backend_->handle, 0);
            DWORD done = 0;
            GetOverlappedResult(backend_->handle, &wait, &done, TRUE);
        }
    }
    CloseHandle(wait.hEvent);
    return arrived;
}

}  // namespace vela
