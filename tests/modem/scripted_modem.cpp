#include "scripted_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace vela::test {

using Clock = std::chrono::steady_clock;

ScriptedModem::ScriptedModem(Responder responder) : responder_(std::move(responder)) {
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    if (openpty(&master_, &slave_, name, &raw, nullptr) == 0) {
        path_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    thread_ = std::thread([this] { run(); });
}

ScriptedModem::~ScriptedModem() {
    stop_ = true;
    thread_.join();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

std::string ScriptedModem::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedModem::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<std::chrono::nanoseconds> ScriptedModem::turnarounds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return turnarounds_;
}

void ScriptedModem::run() {
    if (master_ < 0) return;
    std::string pending;
    bool replied = false;
    Clock::time_point lastReply{};
    char buffer[4096];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
        const ssize_t n = read(master_, buffer, sizeof buffer);
        const Clock::time_point arrived = Clock::now();
        if (n <= 0) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (replied) turnarounds_.push_back(arrived - lastReply);
            replied = false;
            received_.append(buffer, static_cast<size_t>(n));
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
            const std::string command = pending.substr(0, end + 2);
            pending.erase(0, end + 2);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(command);
            }
            for (const ReplyPiece& piece : responder_(command)) {
                const auto until = Clock::now() + piece.delay;
                while (!stop_ && Clock::now() < until) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                size_t done = 0;
                while (done < piece.bytes.size() && !stop_) {
                    const ssize_t w =
                        write(master_, piece.bytes.data() + done, piece.bytes.size() - done);
                    if (w > 0)
                        done += static_cast<size_t>(w);
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                lastReply = Clock::now();
                replied = true;
            }
        }
    }
}

ScriptedModem::Responder ScriptedModem::Standard(
    std::map<std::string, std::vector<ReplyPiece>> overrides) {
    return [overrides](const std::string& command) -> std::vector<ReplyPiece> {
        const bool isMessage = command.find('\x1A') != std::string::npos;
        for (const auto& [key, reply] : overrides) {
            if (key == "PDU" ? isMessage : command.rfind(key, 0) == 0) return reply;
        }
        if (isMessage) return {{"\r\n+CMGS: 7\r\n\r\nOK\r\n"}};
        if (command.rfind("AT+CPIN?", 0) == 0) return {{"\r\n+CPIN: READY\r\n\r\nOK\r\n"}};
        if (command.rfind("AT+CMGS=", 0) == 0) return {{"\r\n> "}};
        return {{"\r\nOK\r\n"}};
    };
}

}  // namespace vela::test
