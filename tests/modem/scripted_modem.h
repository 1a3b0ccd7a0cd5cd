#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vela::test {

// One piece of a modem reply, written after `delay`.
struct ReplyPiece {
    std::string bytes;
    std::chrono::milliseconds delay{0};
};

// A modem on the master side of a real pseudo-terminal pair, run by a thread. Each
// command (everything up to "\r\n") goes to the responder, whose pieces are written
// back in order. The thread stops when the object goes away.
class ScriptedModem {
public:
    using Responder = std::function<std::vector<ReplyPiece>(const std::string& command)>;

    explicit ScriptedModem(Responder responder);
    ~ScriptedModem();
    ScriptedModem(const ScriptedModem&) = delete;
    ScriptedModem& operator=(const ScriptedModem&) = delete;

    // The slave side, for SerialPort::Open.
    const std::string& path() const { return path_; }
    // Every byte received so far, and the commands cut from it.
    std::string received() const;
    std::vector<std::string> commands() const;
    // Gaps between the last byte of a reply and the first byte of the next command.
    std::vector<std::chrono::nanoseconds> turnarounds() const;

    // A well-behaved modem: "OK" to each command, READY for the SIM, the prompt after
    // AT+CMGS, "+CMGS" and OK after the message. `overrides` replaces the reply to the
    // commands starting with a key ("PDU" stands for the message).
    static Responder Standard(std::map<std::string, std::vector<ReplyPiece>> overrides = {});

private:
    void run();

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    Responder responder_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string received_;
    std::vector<std::string> commands_;
    std::vector<std::chrono::nanoseconds> turnarounds_;
    std::thread thread_;
};

}  // namespace vela::test
