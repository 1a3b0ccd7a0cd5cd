#pragma once

#include "common/result.h"
#include "common/unique_fd.h"
#include "link/port_check.h"
#include "log_sink.h"

#include <netinet/in.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace velatestserver {

using vela::UniqueFd;

struct ServerOptions {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0;                                 // 0: the system chooses
    std::chrono::milliseconds firstByteTimeout{3000};  // from the accept to the first byte
    std::chrono::milliseconds readTimeout{5000};       // from the accept to the line feed
    std::chrono::milliseconds connectTimeout{3000};    // for a whole call-back
    std::size_t maxCallbacks = 128;                    // call-backs in progress at once
    std::size_t maxWaiting = 64;                       // call-backs queued behind those
    std::size_t maxClients = 8192;           // connections held at once (reading or closing)
    std::size_t maxClientsPerAddress = 4;    // connections held at once per source address
    std::size_t maxCallbacksPerAddress = 2;  // call-backs queued or running per address
    bool allowAnyCallback = false;           // unsafe: lets clients aim call-backs at third parties
};

// The port-check server: reads one test message per client, checks it, and calls the
// claimed address back with 00 0F and fifteen X's. One thread and one epoll loop for
// every connection; every wait is bounded by a deadline, every table by a limit, and a
// client refused for a limit is told so in one line before the close.
class TestServer {
public:
    TestServer(ServerOptions options, LogSink& log);

    // Binds and listens; the chosen port is then in boundPort().
    vela::Status Open();
    uint16_t boundPort() const { return boundPort_; }
    // Serves until `stopFd` becomes readable (the signal handler writes to it).
    vela::Status Run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;
    using Token = uint64_t;  // kind in the top byte, a serial below: never reused

    struct Client {
        UniqueFd fd;
        std::string peer;          // "A.B.C.D:PORT"
        uint32_t peerAddress = 0;  // host order
        std::string received;
        Clock::time_point acceptedAt;
        Clock::time_point deadline;
    };
    // A refused client: the reason is sent and our side shut down; what the client
    // still sends is read and dropped so that the close does not reset the line away.
    struct Closing {
        UniqueFd fd;
        Clock::time_point deadline;
    };
    struct Request {
        std::string peer;
        uint32_t peerAddress = 0;
        std::string claim;  // "A.B.C.D:PORT"
        std::string tag;
        sockaddr_in target{};
    };
    struct Callback {
        Request request;
        UniqueFd fd;
        bool connected = false;
        std::size_t sent = 0;
        Clock::time_point deadline;
    };
    struct AddressUse {
        std::size_t clients = 0;
        std::size_t callbacks = 0;  // queued or running
        std::size_t running = 0;    // of them running
    };
    // Log lines of one source address in the current window, and those dropped.
    struct LogBudget {
        Clock::time_point windowStart;
        std::size_t lines = 0;
        std::size_t dropped = 0;
    };

    Token NewToken(uint64_t kind) { return (kind << 56) | ++serial_; }
    bool Watch(int fd, uint32_t events, Token token);
    void SetDeadline(Token token, Clock::time_point& slot, Clock::time_point when);
    void ClearDeadline(Token token, Clock::time_point when);

    void AcceptClients();
    void PauseAccepting(int error);
    void MakeRoomForClient();
    void ReadClient(Token token);
    void FinishClient(Token token);
    void HandleLine(Client& client, std::string_view line, Token token);
    void Refuse(UniqueFd fd, const std::string& peer, const std::string& claim,
                const std::string& tag, const std::string& reason, bool mayLinger = true);
    void DrainClosing(Token token);
    void Enqueue(Request request);
    bool DisplaceFor(uint32_t address);
    void StartWaitingCallbacks();
    void ProgressCallback(Token token);
    void FinishCallback(Token token, const std::string& result);
    void ExpireDeadlines();
    int NextWaitMs() const;
    void Log(const std::string& peer, const std::string& claim, const std::string& tag,
             const std::string& result);
    void Note(const std::string& text);
    void ReleaseClient(uint32_t address);
    void ReleaseCallback(uint32_t address, bool ran = false);
    void WatchLog();

    ServerOptions options_;
    LogSink& log_;
    UniqueFd listener_;
    UniqueFd epoll_;
    uint16_t boundPort_ = 0;
    uint64_t serial_ = 0;

    // Ordered by token, so the first entry is the oldest: the one to drop when full.
    std::map<Token, Client> clients_;
    std::map<Token, Closing> closing_;
    std::map<Token, Callback> callbacks_;
    // Waiting call-backs per source address, served round-robin across the addresses
    // (one running per address at a time), so many addresses cannot starve a new one.
    std::map<uint32_t, std::deque<Request>> waiting_;
    std::deque<uint32_t> rotation_;  // addresses with waiting call-backs, next first
    std::size_t waitingCount_ = 0;
    std::unordered_map<std::string, LogBudget> logBudgets_;
    std::unordered_map<uint32_t, AddressUse> addresses_;
    std::set<std::pair<Clock::time_point, Token>> deadlines_;

    bool accepting_ = true;
    Clock::time_point acceptPausedUntil_;
    std::size_t acceptPauses_ = 0;  // since accepting last worked
    Clock::time_point callbacksPausedUntil_;
    bool logWatched_ = false;
};

}  // namespace velatestserver
