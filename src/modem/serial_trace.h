#pragma once

#include "common/file_access.h"
#include "common/result.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace vela {

enum class TraceDirection { Written, Read };

// A record of the bytes that pass a serial port, for diagnosing a modem: one line per
// write or read, "HH:MM:SS.mmm > BYTES" for bytes written and "< BYTES" for bytes read
// (UTC, milliseconds), the bytes escaped so the trace is safe to show on a terminal. The
// file is owner-only: the wake-up SMS carries passwords.
class SerialTrace {
public:
    static Result<std::unique_ptr<SerialTrace>> Create(const std::filesystem::path& path);
    explicit SerialTrace(FileHandle file) : file_(std::move(file)) {}

    void Record(TraceDirection direction, const void* data, std::size_t count);
    // The first write that failed, if any (the trace never stops the dialogue).
    const Status& status() const { return status_; }

    // One line of the trace, without its line end.
    static std::string FormatLine(std::chrono::system_clock::time_point when,
                                  TraceDirection direction, std::string_view bytes);

private:
    FileHandle file_;
    Status status_ = Status::Ok();
};

}  // namespace vela
