#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vela::test {

// A fresh directory under the system's temporary directory, removed with its content
// when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

// Path of a built program handed to the tests through the environment (VELACTL,
// VELA_SIM, VELA_TEST_SERVER, VELA_BIN); fails the test when it is not set.
std::string toolPath(const char* environmentVariable);

// The source tree (VELA_SOURCE_DIR).
std::filesystem::path sourceDir();

// A child process with its standard output and error captured into files. It is
// killed (SIGKILL) and reaped when the object goes out of scope, so no test leaves a
// process behind.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv,
                 const std::optional<std::filesystem::path>& workingDirectory = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits at most `limit` for the process to end; its exit code, or nullopt when it
    // is still running (or was ended by a signal: then -signal).
    std::optional<int> wait(std::chrono::milliseconds limit);
    void signal(int sig);
    std::string output() const;  // what it wrote to stdout so far
    std::string errors() const;  // what it wrote to stderr so far
    // Waits at most `limit` until stdout holds `text`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) const;

private:
    TempDir capture_;
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
};

struct RunResult {
    int exitCode = -1;  // -1 when it had to be killed at the limit
    std::string out;
    std::string err;
};

// Runs a program to its end (killed at `limit`) and returns its exit code and output.
RunResult runProgram(const std::vector<std::string>& argv,
                     std::chrono::milliseconds limit = std::chrono::seconds(60),
                     const std::optional<std::filesystem::path>& workingDirectory = std::nullopt,
                     const std::optional<std::string>& standardInput = std::nullopt);

}  // namespace vela::test
