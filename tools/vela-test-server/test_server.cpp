#include "test_server.h"

#include "storage/program_settings.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace velatestserver {
namespace {

std::string endpointText(uint32_t address, uint16_t port) {
    return vela::formatIpv4(address) + ":" + std::to_string(port);
}

std::string systemReason(int error) {
    return std::strerror(error);
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

TestServer::TestServer(ServerOptions options, std::FILE* log)
    : options_(std::move(options)), log_(log) {}

vela::Status TestServer::Open() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.bindAddress.c_str(), &address.sin_addr) != 1) {
        return vela::Status::Fail("not an IPv4 address: " + options_.bindAddress);
    }
    listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_.valid()) return vela::Status::Fail("socket: " + systemReason(errno));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return vela::Status::Fail("cannot bind " + options_.bindAddress + ":" +
                                  std::to_string(options_.port) + ": " + systemReason(errno));
    }
    if (::listen(listener_.get(), SOMAXCONN) != 0) {
        return vela::Status::Fail("listen: " + systemReason(errno));
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return vela::Status::Fail("getsockname: " + systemReason(errno));
    }
    boundPort_ = ntohs(address.sin_port);
    return vela::Status::Ok();
}

vela::Status TestServer::Run(int stopFd) {
    std::vector<pollfd> fds;
    while (true) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        // A full house leaves newcomers in the backlog until a client is done.
        const bool acceptMore = clients_.size() < options_.maxClients;
        fds.push_back({acceptMore ? listener_.get() : -1, POLLIN, 0});
        const std::size_t firstClient = fds.size();
        for (const Client& client : clients_) fds.push_back({client.fd.get(), POLLIN, 0});
        const std::size_t firstCallback = fds.size();
        for (const Callback& callback : callbacks_) {
            fds.push_back({callback.fd.get(), POLLOUT, 0});
        }

        auto next = Clock::time_point::max();
        for (const Client& client : clients_) next = std::min(next, client.deadline);
        for (const Callback& callback : callbacks_) next = std::min(next, callback.deadline);
        int timeoutMs = -1;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000));
        }

        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            return vela::Status::Fail("poll: " + systemReason(errno));
        }
        if (fds[0].revents != 0) break;

        for (std::size_t i = 0; i < clients_.size(); ++i) {
            if (fds[firstClient + i].revents != 0) ReadClient(clients_[i]);
        }
        for (std::size_t i = 0; i < callbacks_.size(); ++i) {
            if (fds[firstCallback + i].revents != 0) ProgressCallback(callbacks_[i]);
        }
        if (fds[1].revents != 0) AcceptClients();
        ExpireDeadlines();
        std::erase_if(clients_, [](const Client& c) { return c.done; });
        std::erase_if(callbacks_, [](const Callback& c) { return c.done; });
        StartWaitingCallbacks();
        std::erase_if(callbacks_, [](const Callback& c) { return c.done; });
    }

    // Every request still open gets its line, so the log shows nothing vanished.
    for (const Client& client : clients_) {
        Log(client.peer, "-", "", "abandoned: server stopping");
    }
    for (const Callback& callback : callbacks_) {
        Log(callback.request.peer, callback.request.claim, callback.request.tag,
            "abandoned: server stopping");
    }
    for (const Request& request : waiting_) {
        Log(request.peer, request.claim, request.tag, "abandoned: server stopping");
    }
    clients_.clear();
    callbacks_.clear();
    waiting_.clear();
    return vela::Status::Ok();
}

void TestServer::AcceptClients() {
    while (clients_.size() < options_.maxClients) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) return;  // nothing more waiting (or the caller gave up already)
        Client client;
        client.fd = std::move(fd);
        client.peerAddress = ntohl(peer.sin_addr.s_addr);
        client.peer = endpointText(client.peerAddress, ntohs(peer.sin_port));
        client.deadline = Clock::now() + options_.readTimeout;
        clients_.push_back(std::move(client));
    }
}

void TestServer::ReadClient(Client& client) {
    if (client.done) return;
    // One byte more than a line may hold, to tell an over-long line from a full one.
    char buffer[vela::kMaxTestMessageLength + 1];
    const std::size_t room = sizeof buffer - client.received.size();
    const ssize_t n = ::recv(client.fd.get(), buffer, room, 0);
    if (n < 0) {
        if (wouldBlock(errno)) return;
        Log(client.peer, "-", "", "malformed: receive failed: " + systemReason(errno));
        client.done = true;
        return;
    }
    if (n == 0) {
        Log(client.peer, "-", "",
            client.received.empty() ? "malformed: closed without sending anything"
                                    : "malformed: closed before the line feed");
        client.done = true;
        return;
    }
    client.received.append(buffer, static_cast<std::size_t>(n));
    const std::size_t lineFeed = client.received.find('\n');
    if (lineFeed != std::string::npos) {
        if (lineFeed + 1 != client.received.size()) {
            Log(client.peer, "-", "", "malformed: data after the line feed");
        } else {
            HandleLine(client, client.received);
        }
        client.done = true;
    } else if (client.received.size() > vela::kMaxTestMessageLength) {
        Log(client.peer, "-", "",
            "malformed: line longer than " + std::to_string(vela::kMaxTestMessageLength) +
                " bytes");
        client.done = true;
    }
}

void TestServer::HandleLine(Client& client, std::string_view line) {
    const auto message = vela::parseTestMessage(line);
    if (!message) {
        Log(client.peer, "-", "", "malformed: " + message.message());
        return;
    }
    Request request;
    request.peer = client.peer;
    request.claim = endpointText(message->address, message->port);
    request.tag = message->tag;
    request.target.sin_family = AF_INET;
    request.target.sin_addr.s_addr = htonl(message->address);
    request.target.sin_port = htons(message->port);

    // Calling only the sender itself keeps the server from being aimed at third parties.
    if (!options_.allowAnyCallback && message->address != client.peerAddress) {
        Log(request.peer, request.claim, request.tag,
            "refused: the claimed address is not the sender's address");
        return;
    }
    if (waiting_.size() >= options_.maxWaiting) {
        Log(request.peer, request.claim, request.tag, "refused: too many call-backs waiting");
        return;
    }
    waiting_.push_back(std::move(request));
}

void TestServer::StartWaitingCallbacks() {
    while (!waiting_.empty() && callbacks_.size() < options_.maxCallbacks) {
        Request request = std::move(waiting_.front());
        waiting_.pop_front();
        StartCallback(std::move(request));
    }
}

void TestServer::StartCallback(Request request) {
    Callback callback;
    callback.request = std::move(request);
    callback.deadline = Clock::now() + options_.connectTimeout;
    callback.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!callback.fd.valid()) {
        Log(callback.request.peer, callback.request.claim, callback.request.tag,
            "call-back failed: socket: " + systemReason(errno));
        return;
    }
    const auto* target = reinterpret_cast<const sockaddr*>(&callback.request.target);
    if (::connect(callback.fd.get(), target, sizeof callback.request.target) == 0) {
        callback.connected = true;
    } else if (errno != EINPROGRESS) {
        Log(callback.request.peer, callback.request.claim, callback.request.tag,
            "call-back failed: " + systemReason(errno));
        return;
    }
    callbacks_.push_back(std::move(callback));
    // Progress at once when connected already; otherwise poll reports writability.
    if (callbacks_.back().connected) ProgressCallback(callbacks_.back());
}

void TestServer::ProgressCallback(Callback& callback) {
    if (callback.done) return;
    const Request& request = callback.request;
    if (!callback.connected) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(callback.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error == EINPROGRESS || error == EALREADY) return;
        if (error != 0) {
            Log(request.peer, request.claim, request.tag,
                "call-back failed: " + systemReason(error));
            callback.done = true;
            return;
        }
        callback.connected = true;
    }
    const std::string_view bytes = vela::kTestServerCallback;
    while (callback.sent < bytes.size()) {
        const ssize_t n = ::send(callback.fd.get(), bytes.data() + callback.sent,
                                 bytes.size() - callback.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (wouldBlock(errno)) return;
            Log(request.peer, request.claim, request.tag,
                "call-back failed: send: " + systemReason(errno));
            callback.done = true;
            return;
        }
        callback.sent += static_cast<std::size_t>(n);
    }
    // Everything is in the send buffer; an orderly close delivers it.
    ::shutdown(callback.fd.get(), SHUT_WR);
    Log(request.peer, request.claim, request.tag,
        "called back: sent " + std::to_string(bytes.size()) + " bytes");
    callback.done = true;
}

void TestServer::ExpireDeadlines() {
    const auto now = Clock::now();
    for (Client& client : clients_) {
        if (!client.done && now >= client.deadline) {
            Log(client.peer, "-", "",
                "malformed: no complete line within " +
                    std::to_string(options_.readTimeout.count()) + " ms");
            client.done = true;
        }
    }
    for (Callback& callback : callbacks_) {
        if (!callback.done && now >= callback.deadline) {
            Log(callback.request.peer, callback.request.claim, callback.request.tag,
                "call-back failed: not done within " +
                    std::to_string(options_.connectTimeout.count()) + " ms");
            callback.done = true;
        }
    }
}

void TestServer::Log(const std::string& peer, const std::string& claim, const std::string& tag,
                     const std::string& result) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    // The tag was checked to be printable ASCII (it may hold blanks, hence the quotes);
    // the other fields are our own text.
    std::fprintf(log_, "%s peer=%s claim=%s tag=\"%s\" result=%s\n", stamp, peer.c_str(),
                 claim.c_str(), tag.c_str(), result.c_str());
    std::fflush(log_);
}

}  // namespace velatestserver
