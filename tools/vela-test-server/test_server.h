#pragma once

#include "common/result.h"
#include "link/port_check.h"
#include "unique_fd.h"

#include <netinet/in.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace velatestserver {

struct ServerOptions {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0;  // 0: the system chooses
    std::chrono::milliseconds readTimeout{10000};
    std::chrono::milliseconds connectTimeout{10000};
    std::size_t maxCallbacks = 16;  // call-backs in progress at once
    std::size_t maxWaiting = 64;    // call-backs queued behind those
    std::size_t maxClients = 64;    // clients being read at once
    bool allowAnyCallback = false;  // unsafe: lets clients aim call-backs at third parties
};

// The port-check server: reads one test message per client, checks it, and calls the
// claimed address back with 00 0F and fifteen X's. One thread, one poll loop; every
// wait is bounded by a deadline.
class TestServer {
public:
    TestServer(ServerOptions options, std::FILE* log);

    // Binds and listens; the chosen port is then in boundPort().
    vela::Status Open();
    uint16_t boundPort() const { return boundPort_; }
    // Serves until `stopFd` becomes readable (the signal handler writes to it).
    vela::Status Run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;

    struct Client {
        UniqueFd fd;
        std::string peer;          // "A.B.C.D:PORT"
        uint32_t peerAddress = 0;  // host order
        std::string received;
        Clock::time_point deadline;
        bool done = false;
    };
    struct Request {
        std::string peer;
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
        bool done = false;
    };

    void AcceptClients();
    void ReadClient(Client& client);
    void HandleLine(Client& client, std::string_view line);
    void StartWaitingCallbacks();
    void StartCallback(Request request);
    void ProgressCallback(Callback& callback);
    void ExpireDeadlines();
    void Log(const std::string& peer, const std::string& claim, const std::string& tag,
             const std::string& result);

    ServerOptions options_;
    std::FILE* log_;
    UniqueFd listener_;
    uint16_t boundPort_ = 0;
    std::vector<Client> clients_;
    std::vector<Callback> callbacks_;
    std::deque<Request> waiting_;
};

}  // namespace velatestserver
