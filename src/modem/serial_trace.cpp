#include "modem/serial_trace.h"

#include "common/terminal_text.h"

#include <cstdio>
#include <ctime>

namespace vela {

Result<std::unique_ptr<SerialTrace>> SerialTrace::Create(const std::filesystem::path& path) {
    Result<FileHandle> file = CreatePrivateFile(path);
    if (!file) return Result<std::unique_ptr<SerialTrace>>::Fail(file.message());
    return std::make_unique<SerialTrace>(std::move(file).value());
}

std::string SerialTrace::FormatLine(std::chrono::system_clock::time_point when,
                                    TraceDirection direction, std::string_view bytes) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(sinceEpoch.count() / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(sinceEpoch.count() % 1000));
    return std::string(stamp) + (direction == TraceDirection::Written ? " > " : " < ") +
           EscapeForTerminal(bytes, kWholeText);
}

void SerialTrace::Record(TraceDirection direction, const void* data, std::size_t count) {
    if (!status_) return;
    const std::string line = FormatLine(std::chrono::system_clock::now(), direction,
                                        std::string_view(static_cast<const char*>(data), count)) +
                             "\n";
    status_ = file_.writeAll(line);
}

}  // namespace vela
