#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vela::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("vela-test-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    ADD_FAILURE() << "could not create a temporary directory";
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Restore write permission first, in case a test made a folder read-only.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string toolPath(const char* environmentVariable) {
    const char* value = std::getenv(environmentVariable);
    if (value == nullptr || *value == '\0') {
        ADD_FAILURE() << environmentVariable << " is not set (run the tests through ctest)";
        return "/bin/false";
    }
    return value;
}

fs::path sourceDir() {
    const char* value = std::getenv("VELA_SOURCE_DIR");
    return value ? fs::path(value) : fs::current_path();
}

namespace {

// Starts `argv` with its standard streams on the given files (stdin from `inPath`).
pid_t spawn(const std::vector<std::string>& argv, const std::optional<fs::path>& workingDirectory,
            const std::string& inPath, const std::string& outPath, const std::string& errPath) {
    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are made (the tests run threads).
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const char* directory = workingDirectory ? workingDirectory->c_str() : nullptr;
    const pid_t pid = fork();
    if (pid == 0) {
        if (directory != nullptr && chdir(directory) != 0) _exit(126);
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::optional<fs::path>& workingDirectory) {
    pid_ = spawn(argv, workingDirectory, "/dev/null", (capture_.path() / "stdout").string(),
                 (capture_.path() / "stderr").string());
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exitCode_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    if (exitCode_) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            return exitCode_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !exitCode_) ::kill(pid_, sig);
}

std::string ChildProcess::output() const { return readFile(capture_.path() / "stdout"); }
std::string ChildProcess::errors() const { return readFile(capture_.path() / "stderr"); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return output().find(text) != std::string::npos;
}

RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                     const std::optional<fs::path>& workingDirectory,
                     const std::optional<std::string>& standardInput) {
    RunResult result;
    TempDir capture;
    const std::string outPath = (capture.path() / "stdout").string();
    const std::string errPath = (capture.path() / "stderr").string();
    const std::string inPath = (capture.path() / "stdin").string();
    writeFile(inPath, standardInput.value_or(""));
    const pid_t pid = spawn(argv, workingDirectory, inPath, outPath, errPath);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (true) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << argv[0] << " did not end within " << limit.count() << " ms";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

}  // namespace vela::test
