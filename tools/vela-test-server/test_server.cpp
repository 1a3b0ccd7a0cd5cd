#include "test_server.h"

#include "common/terminal_text.h"
#include "storage/program_settings.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace velatestserver {
namespace {

using std::chrono::milliseconds;

constexpr uint64_t kStopKind = 0;
constexpr uint64_t kListenerKind = 1;
constexpr uint64_t kLogKind = 2;
constexpr uint64_t kClientKind = 3;
constexpr uint64_t kClosingKind = 4;
constexpr uint64_t kCallbackKind = 5;
constexpr uint64_t kKindShift = 56;

// Clients accepted per turn of the loop, so a flood of connections cannot keep the
// loop from reading the lines of those already in.
constexpr int kAcceptsPerTurn = 64;
// How long accepting (or starting call-backs) rests after the descriptors ran out.
constexpr milliseconds kDescriptorPause{250};
// How long a refused client may take to read its line before the connection closes.
constexpr milliseconds kRefusalLinger{1000};
constexpr int kEventsPerWait = 256;
// Log lines per source address and window; the rest are counted and the count logged.
constexpr std::size_t kLogLinesPerWindow = 20;
constexpr std::chrono::seconds kLogWindow{10};
constexpr std::size_t kLogBudgetsKept = 4096;

std::string EndpointText(uint32_t address, uint16_t port) {
    return vela::formatIpv4(address) + ":" + std::to_string(port);
}

std::string SystemReason(int error) {
    return std::strerror(error);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

bool OutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// A log field as printable ASCII that cannot end its quotes early or start a new line.
std::string LogField(std::string_view text) {
    std::string escaped;
    for (char c : vela::EscapeForTerminal(text)) {
        if (c == '"') {
            escaped += "\\x22";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

TestServer::TestServer(ServerOptions options, LogSink& log)
    : options_(std::move(options)), log_(log) {}

vela::Status TestServer::Open() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.bindAddress.c_str(), &address.sin_addr) != 1) {
        return vela::Status::Fail("not an IPv4 address: " + options_.bindAddress);
    }
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.valid()) return vela::Status::Fail("epoll: " + SystemReason(errno));
    listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_.valid()) return vela::Status::Fail("socket: " + SystemReason(errno));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return vela::Status::Fail("cannot bind " + options_.bindAddress + ":" +
                                  std::to_string(options_.port) + ": " + SystemReason(errno));
    }
    if (::listen(listener_.get(), SOMAXCONN) != 0) {
        return vela::Status::Fail("listen: " + SystemReason(errno));
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return vela::Status::Fail("getsockname: " + SystemReason(errno));
    }
    boundPort_ = ntohs(address.sin_port);
    return vela::Status::Ok();
}

bool TestServer::Watch(int fd, uint32_t events, Token token) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0) return true;
    return errno == ENOENT && ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void TestServer::SetDeadline(Token token, Clock::time_point& slot, Clock::time_point when) {
    deadlines_.erase({slot, token});
    slot = when;
    deadlines_.insert({when, token});
}

void TestServer::ClearDeadline(Token token, Clock::time_point when) {
    deadlines_.erase({when, token});
}

vela::Status TestServer::Run(int stopFd) {
    if (!Watch(stopFd, EPOLLIN, kStopKind << kKindShift) ||
        !Watch(listener_.get(), EPOLLIN, kListenerKind << kKindShift)) {
        return vela::Status::Fail("epoll_ctl: " + SystemReason(errno));
    }
    epoll_event events[kEventsPerWait];
    bool stopping = false;
    while (!stopping) {
        WatchLog();
        const int count = ::epoll_wait(epoll_.get(), events, kEventsPerWait, NextWaitMs());
        if (count < 0) {
            if (errno == EINTR) continue;
            return vela::Status::Fail("epoll_wait: " + SystemReason(errno));
        }
        bool acceptWaiting = false;
        for (int i = 0; i < count; ++i) {
            const Token token = events[i].data.u64;
            switch (token >> kKindShift) {
                case kStopKind:
                    stopping = true;
                    break;
                case kListenerKind:
                    acceptWaiting = true;
                    break;
                case kLogKind:
                    log_.Flush();
                    break;
                case kClientKind:
                    ReadClient(token);
                    break;
                case kClosingKind:
                    DrainClosing(token);
                    break;
                case kCallbackKind:
                    ProgressCallback(token);
                    break;
                default:
                    break;
            }
        }
        if (stopping) break;
        // After the reads, so clients that were served have made room first.
        if (acceptWaiting && accepting_) AcceptClients();
        ExpireDeadlines();
        if (!accepting_ && Clock::now() >= acceptPausedUntil_) {
            accepting_ = Watch(listener_.get(), EPOLLIN, kListenerKind << kKindShift);
            if (!accepting_) acceptPausedUntil_ = Clock::now() + kDescriptorPause;
        }
        StartWaitingCallbacks();
    }

    // Every request still open gets its line, so the log shows nothing vanished.
    for (const auto& [token, client] : clients_) {
        Log(client.peer, "-", "", "abandoned: server stopping");
    }
    for (const auto& [token, callback] : callbacks_) {
        Log(callback.request.peer, callback.request.claim, callback.request.tag,
            "abandoned: server stopping");
    }
    for (const auto& [address, requests] : waiting_) {
        for (const Request& request : requests) {
            Log(request.peer, request.claim, request.tag, "abandoned: server stopping");
        }
    }
    for (const auto& [address, budget] : logBudgets_) {
        if (budget.dropped > 0) {
            Note(LogField(address) + ": " + std::to_string(budget.dropped) + " log lines dropped");
        }
    }
    logBudgets_.clear();
    rotation_.clear();
    waitingCount_ = 0;
    clients_.clear();
    closing_.clear();
    callbacks_.clear();
    waiting_.clear();
    addresses_.clear();
    deadlines_.clear();
    return vela::Status::Ok();
}

int TestServer::NextWaitMs() const {
    auto next = Clock::time_point::max();
    if (!deadlines_.empty()) next = deadlines_.begin()->first;
    if (!accepting_) next = std::min(next, acceptPausedUntil_);
    if (waitingCount_ > 0 && callbacks_.size() < options_.maxCallbacks) {
        next = std::min(next, callbacksPausedUntil_);
    }
    if (next == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 60000));
}

void TestServer::WatchLog() {
    const int fd = log_.pollFd();
    if (fd < 0 || log_.pending() == logWatched_) return;
    if (log_.pending()) {
        logWatched_ = Watch(fd, EPOLLOUT, kLogKind << kKindShift);
    } else {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
        logWatched_ = false;
    }
}

void TestServer::MakeRoomForClient() {
    if (clients_.size() + closing_.size() < options_.maxClients) return;
    if (!closing_.empty()) {
        auto oldest = closing_.begin();
        ClearDeadline(oldest->first, oldest->second.deadline);
        closing_.erase(oldest);
        return;
    }
    // Full of clients that have not sent their line yet: the oldest makes way, so
    // holding connections open cannot lock a real client out.
    const Token oldest = clients_.begin()->first;
    Client& client = clients_.begin()->second;
    UniqueFd fd = std::move(client.fd);
    const std::string peer = client.peer;
    FinishClient(oldest);
    Refuse(std::move(fd), peer, "-", "", "server busy, the oldest connection was dropped",
           /*mayLinger=*/false);
}

void TestServer::AcceptClients() {
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        MakeRoomForClient();
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            const int error = errno;
            if (WouldBlock(error)) return;
            if (OutOfDescriptors(error)) {
                PauseAccepting(error);
                return;
            }
            continue;  // the caller gave up already (ECONNABORTED) or a network error
        }
        if (acceptPauses_ > 0) {
            Note("accepting again after " + std::to_string(acceptPauses_) + " pauses");
            acceptPauses_ = 0;
        }
        const uint32_t address = ntohl(peer.sin_addr.s_addr);
        const std::string peerText = EndpointText(address, ntohs(peer.sin_port));
        const auto use = addresses_.find(address);
        if (use != addresses_.end() && use->second.clients >= options_.maxClientsPerAddress) {
            Refuse(std::move(fd), peerText, "-", "", "too many connections from this address");
            continue;
        }
        const Token token = NewToken(kClientKind);
        if (!Watch(fd.get(), EPOLLIN, token)) {
            Log(peerText, "-", "", "dropped: cannot watch the connection: " + SystemReason(errno));
            continue;
        }
        Client client;
        client.fd = std::move(fd);
        client.peer = peerText;
        client.peerAddress = address;
        client.acceptedAt = Clock::now();
        SetDeadline(token, client.deadline,
                    client.acceptedAt + std::min(options_.firstByteTimeout, options_.readTimeout));
        clients_.emplace(token, std::move(client));
        ++addresses_[address].clients;
    }
}

void TestServer::PauseAccepting(int error) {
    // Level-triggered: a listener left in the set would wake the loop at once, again
    // and again, while no descriptor is free. It rests instead.
    epoll_event none{};
    none.data.u64 = kListenerKind << kKindShift;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_.get(), &none);
    accepting_ = false;
    acceptPausedUntil_ = Clock::now() + kDescriptorPause;
    if (acceptPauses_++ == 0) {
        Note("cannot accept: " + SystemReason(error) + "; trying again every " +
             std::to_string(kDescriptorPause.count()) + " ms");
    }
}

void TestServer::ReadClient(Token token) {
    const auto found = clients_.find(token);
    if (found == clients_.end()) return;
    Client& client = found->second;
    // One byte more than a line may hold, to tell an over-long line from a full one.
    char buffer[vela::kMaxTestMessageLength + 1];
    const std::size_t room = sizeof buffer - client.received.size();
    const ssize_t n = ::recv(client.fd.get(), buffer, room, 0);
    if (n < 0) {
        if (WouldBlock(errno)) return;
        Log(client.peer, "-", "", "malformed: receive failed: " + SystemReason(errno));
        FinishClient(token);
        return;
    }
    if (n == 0) {
        Log(client.peer, "-", "",
            client.received.empty() ? "malformed: closed without sending anything"
                                    : "malformed: closed before the line feed");
        FinishClient(token);
        return;
    }
    if (client.received.empty()) {
        SetDeadline(token, client.deadline, client.acceptedAt + options_.readTimeout);
    }
    client.received.append(buffer, static_cast<std::size_t>(n));
    const std::size_t lineFeed = client.received.find('\n');
    if (lineFeed != std::string::npos) {
        if (lineFeed + 1 != client.received.size()) {
            Log(client.peer, "-", "", "malformed: data after the line feed");
            FinishClient(token);
        } else {
            HandleLine(client, client.received, token);
        }
    } else if (client.received.size() > vela::kMaxTestMessageLength) {
        Log(client.peer, "-", "",
            "malformed: line longer than " + std::to_string(vela::kMaxTestMessageLength) +
                " bytes");
        FinishClient(token);
    }
}

void TestServer::FinishClient(Token token) {
    const auto found = clients_.find(token);
    if (found == clients_.end()) return;
    ClearDeadline(token, found->second.deadline);
    ReleaseClient(found->second.peerAddress);
    clients_.erase(found);  // closing the descriptor takes it out of the epoll set
}

void TestServer::HandleLine(Client& client, std::string_view line, Token token) {
    const auto message = vela::parseTestMessage(line);
    if (!message) {
        Log(client.peer, "-", "", "malformed: " + message.message());
        FinishClient(token);
        return;
    }
    Request request;
    request.peer = client.peer;
    request.peerAddress = client.peerAddress;
    request.claim = EndpointText(message->address, message->port);
    request.tag = message->tag;
    request.target.sin_family = AF_INET;
    request.target.sin_addr.s_addr = htonl(message->address);
    request.target.sin_port = htons(message->port);

    std::string refusal;
    // Calling only the sender itself keeps the server from being aimed at third parties.
    if (!options_.allowAnyCallback && message->address != client.peerAddress) {
        refusal = "the claimed address is not the sender's address";
    } else if (addresses_[client.peerAddress].callbacks >= options_.maxCallbacksPerAddress) {
        refusal = "too many call-backs for this address";
    } else if (waitingCount_ >= options_.maxWaiting && !DisplaceFor(client.peerAddress)) {
        refusal = "too many call-backs waiting";
    }
    if (refusal.empty()) {
        ++addresses_[client.peerAddress].callbacks;
        Enqueue(std::move(request));
        FinishClient(token);  // the line was the whole exchange; nothing is sent back
        return;
    }
    UniqueFd fd = std::move(client.fd);
    FinishClient(token);
    Refuse(std::move(fd), request.peer, request.claim, request.tag, refusal);
}

void TestServer::Refuse(UniqueFd fd, const std::string& peer, const std::string& claim,
                        const std::string& tag, const std::string& reason, bool mayLinger) {
    Log(peer, claim, tag, "refused: " + reason);
    // A fresh connection's send buffer is empty, so the line goes out whole or not at all.
    const std::string line = "refused: " + reason + "\n";
    (void)::send(fd.get(), line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd.get(), SHUT_WR);
    // Closing with unread bytes would reset the connection and could destroy the line
    // before the client reads it, so the rest is read and dropped for a short while,
    // when there is room; otherwise the descriptor closes now.
    if (!mayLinger || clients_.size() + closing_.size() >= options_.maxClients) return;
    const Token token = NewToken(kClosingKind);
    if (!Watch(fd.get(), EPOLLIN, token)) return;
    Closing closing;
    closing.fd = std::move(fd);
    SetDeadline(token, closing.deadline, Clock::now() + kRefusalLinger);
    closing_.emplace(token, std::move(closing));
}

void TestServer::DrainClosing(Token token) {
    const auto found = closing_.find(token);
    if (found == closing_.end()) return;
    char buffer[512];
    const ssize_t n = ::recv(found->second.fd.get(), buffer, sizeof buffer, 0);
    if (n > 0 || (n < 0 && WouldBlock(errno))) return;
    ClearDeadline(token, found->second.deadline);
    closing_.erase(found);
}

void TestServer::Enqueue(Request request) {
    std::deque<Request>& queue = waiting_[request.peerAddress];
    if (queue.empty()) rotation_.push_back(request.peerAddress);
    queue.push_back(std::move(request));
    ++waitingCount_;
}

bool TestServer::DisplaceFor(uint32_t address) {
    // The address that holds the most waiting call-backs gives up its oldest, as long as
    // it holds more than the asking one: a new address always gets in.
    const auto mine = waiting_.find(address);
    const std::size_t held = mine == waiting_.end() ? 0 : mine->second.size();
    auto most = waiting_.end();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (most == waiting_.end() || it->second.size() > most->second.size()) most = it;
    }
    if (most == waiting_.end() || most->second.size() <= held) return false;
    const Request dropped = std::move(most->second.front());
    most->second.pop_front();
    --waitingCount_;
    if (most->second.empty()) {
        rotation_.erase(std::find(rotation_.begin(), rotation_.end(), most->first));
        waiting_.erase(most);
    }
    Log(dropped.peer, dropped.claim, dropped.tag,
        "call-back dropped: the queue is full and another address asked");
    ReleaseCallback(dropped.peerAddress);
    return true;
}

void TestServer::StartWaitingCallbacks() {
    while (waitingCount_ > 0 && callbacks_.size() < options_.maxCallbacks) {
        if (Clock::now() < callbacksPausedUntil_) return;
        // The next address in turn that has no call-back running.
        const auto next = std::find_if(rotation_.begin(), rotation_.end(), [&](uint32_t address) {
            const auto use = addresses_.find(address);
            return use == addresses_.end() || use->second.running == 0;
        });
        if (next == rotation_.end()) return;
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid() && OutOfDescriptors(errno)) {
            callbacksPausedUntil_ = Clock::now() + kDescriptorPause;  // it stays queued
            return;
        }
        const uint32_t address = *next;
        rotation_.erase(next);
        std::deque<Request>& queue = waiting_[address];
        Request request = std::move(queue.front());
        queue.pop_front();
        --waitingCount_;
        if (queue.empty()) {
            waiting_.erase(address);
        } else {
            rotation_.push_back(address);  // its next one waits for a full turn
        }
        ++addresses_[address].running;
        const auto* target = reinterpret_cast<const sockaddr*>(&request.target);
        std::string failure;
        bool connected = false;
        if (!fd.valid()) {
            failure = "call-back failed: socket: " + SystemReason(errno);
        } else if (::connect(fd.get(), target, sizeof request.target) == 0) {
            connected = true;
        } else if (errno != EINPROGRESS) {
            failure = "call-back failed: " + SystemReason(errno);
        }
        const Token token = NewToken(kCallbackKind);
        if (failure.empty() && !Watch(fd.get(), EPOLLOUT, token)) {
            failure = "call-back failed: cannot watch the connection: " + SystemReason(errno);
        }
        if (!failure.empty()) {
            Log(request.peer, request.claim, request.tag, failure);
            ReleaseCallback(request.peerAddress, /*ran=*/true);
            continue;
        }
        Callback callback;
        callback.request = std::move(request);
        callback.fd = std::move(fd);
        callback.connected = connected;
        SetDeadline(token, callback.deadline, Clock::now() + options_.connectTimeout);
        callbacks_.emplace(token, std::move(callback));
        // Progress at once when connected already; otherwise epoll reports writability.
        if (connected) ProgressCallback(token);
    }
}

void TestServer::ProgressCallback(Token token) {
    const auto found = callbacks_.find(token);
    if (found == callbacks_.end()) return;
    Callback& callback = found->second;
    if (!callback.connected) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(callback.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error == EINPROGRESS || error == EALREADY) return;
        if (error != 0) {
            FinishCallback(token, "call-back failed: " + SystemReason(error));
            return;
        }
        callback.connected = true;
    }
    const std::string_view bytes = vela::kTestServerCallback;
    while (callback.sent < bytes.size()) {
        const ssize_t n = ::send(callback.fd.get(), bytes.data() + callback.sent,
                                 bytes.size() - callback.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (WouldBlock(errno)) return;
            FinishCallback(token, "call-back failed: send: " + SystemReason(errno));
            return;
        }
        callback.sent += static_cast<std::size_t>(n);
    }
    // Everything is in the send buffer; an orderly close delivers it.
    ::shutdown(callback.fd.get(), SHUT_WR);
    FinishCallback(token, "called back: sent " + std::to_string(bytes.size()) + " bytes");
}

void TestServer::FinishCallback(Token token, const std::string& result) {
    const auto found = callbacks_.find(token);
    if (found == callbacks_.end()) return;
    const Request& request = found->second.request;
    Log(request.peer, request.claim, request.tag, result);
    ClearDeadline(token, found->second.deadline);
    ReleaseCallback(request.peerAddress, /*ran=*/true);
    callbacks_.erase(found);
}

void TestServer::ExpireDeadlines() {
    const auto now = Clock::now();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const Token token = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        switch (token >> kKindShift) {
            case kClientKind:
                if (const auto found = clients_.find(token); found != clients_.end()) {
                    const Client& client = found->second;
                    const auto firstByte =
                        std::min(options_.firstByteTimeout, options_.readTimeout);
                    Log(client.peer, "-", "",
                        client.received.empty()
                            ? "malformed: nothing received within " +
                                  std::to_string(firstByte.count()) + " ms"
                            : "malformed: no complete line within " +
                                  std::to_string(options_.readTimeout.count()) + " ms");
                    FinishClient(token);
                }
                break;
            case kClosingKind:
                closing_.erase(token);
                break;
            case kCallbackKind:
                FinishCallback(token, "call-back failed: not done within " +
                                          std::to_string(options_.connectTimeout.count()) + " ms");
                break;
            default:
                break;
        }
    }
}

void TestServer::ReleaseClient(uint32_t address) {
    const auto use = addresses_.find(address);
    if (use == addresses_.end()) return;
    if (use->second.clients > 0) --use->second.clients;
    if (use->second.clients == 0 && use->second.callbacks == 0) addresses_.erase(use);
}

void TestServer::ReleaseCallback(uint32_t address, bool ran) {
    const auto use = addresses_.find(address);
    if (use == addresses_.end()) return;
    if (ran && use->second.running > 0) --use->second.running;
    if (use->second.callbacks > 0) --use->second.callbacks;
    if (use->second.clients == 0 && use->second.callbacks == 0) addresses_.erase(use);
}

void TestServer::Log(const std::string& peer, const std::string& claim, const std::string& tag,
                     const std::string& result) {
    // A few lines per source address and window; a flood from one address is counted.
    const std::string address = peer.substr(0, peer.find(':'));
    const auto at = Clock::now();
    if (logBudgets_.size() >= kLogBudgetsKept && logBudgets_.count(address) == 0) {
        std::erase_if(logBudgets_, [&](const auto& entry) {
            return entry.second.dropped == 0 && at - entry.second.windowStart >= kLogWindow;
        });
    }
    LogBudget& budget = logBudgets_[address];
    if (at - budget.windowStart >= kLogWindow) {
        if (budget.dropped > 0) {
            Note(LogField(address) + ": " + std::to_string(budget.dropped) + " log lines dropped");
        }
        budget = LogBudget{at, 0, 0};
    }
    if (budget.lines >= kLogLinesPerWindow) {
        ++budget.dropped;
        return;
    }
    ++budget.lines;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    log_.Line(std::string(stamp) + " peer=" + LogField(peer) + " claim=" + LogField(claim) +
              " tag=\"" + LogField(tag) + "\" result=" + LogField(result));
}

void TestServer::Note(const std::string& text) {
    log_.Line("vela-test-server: " + text);
}

}  // namespace velatestserver
