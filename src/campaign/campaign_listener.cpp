#include "campaign/campaign_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace vela {

namespace {

// Reads per session and wake-up: a flooding caller cannot starve the others.
constexpr int kReadsPerWake = 16;
// Connections accepted per turn of the loop, so a flood of connections cannot keep the
// loop from serving those already in.
constexpr int kAcceptsPerTurn = 64;

using Clock = CampaignClock;
using Serial = uint64_t;

int millisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<long long>(left, 24LL * 3600 * 1000));
}

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

struct Session {
    UniqueFd fd;
    uint32_t address = 0;  // host order
    std::string peer;      // "A.B.C.D:PORT"
    ByteString received;
    std::string imei;
    bool identified = false;
    const ConfigImage* image = nullptr;  // set once the caller is claimed
    uint64_t ticket = 0;                 // its claim, saved before the image goes out
    bool sending = false;
    std::size_t sent = 0;
    bool answerPending = false;  // the whole image is out: the next data is the answer
    Clock::time_point started;
    Clock::time_point deadline;
};

// One Serve: the sessions, their deadlines and the handlers of each kind of event.
class ListenerLoop {
public:
    ListenerLoop(int listenFd, CampaignSessionHost& host, const ListenerLimits& limits, int wakeFd)
        : listenFd_(listenFd),
          wakeFd_(wakeFd),
          host_(host),
          limits_(limits),
          gate_(limits.callers),
          maxSessions_(
              sessionsForDescriptors(static_cast<std::size_t>(std::max(limits.maxSessions, 1)))) {}

    void Run();

private:
    void Accept(Clock::time_point now);
    bool MakeRoom();
    bool EvictOldestOf(uint32_t address);
    void Receive(Serial serial);
    void Identify(Serial serial, Session& session, std::size_t ignored);
    void SendMore(Serial serial);
    void Finish(Serial serial, CallEnd end);
    void Close(Serial serial);
    void Expire(Clock::time_point now);
    void SendSaved();
    void SetDeadline(Serial serial, Session& session, Clock::time_point when);
    void Report(Clock::time_point now, bool all);

    const int listenFd_;
    const int wakeFd_;
    CampaignSessionHost& host_;
    const ListenerLimits& limits_;
    CallerGate gate_;
    const std::size_t maxSessions_;
    AcceptPause pause_;

    Serial serial_ = 0;
    // Ordered by serial: the first entry is the oldest.
    std::map<Serial, Session> sessions_;
    std::set<Serial> unidentified_;
    std::set<std::pair<Clock::time_point, Serial>> deadlines_;
};

void ListenerLoop::SetDeadline(Serial serial, Session& session, Clock::time_point when) {
    deadlines_.erase({session.deadline, serial});
    session.deadline = when;
    deadlines_.insert({when, serial});
}

void ListenerLoop::Close(Serial serial) {
    const auto found = sessions_.find(serial);
    if (found == sessions_.end()) return;
    deadlines_.erase({found->second.deadline, serial});
    if (unidentified_.erase(serial) > 0) gate_.Release(found->second.address);
    sessions_.erase(found);  // closes the descriptor
}

void ListenerLoop::Finish(Serial serial, CallEnd end) {
    const auto found = sessions_.find(serial);
    if (found == sessions_.end()) return;
    Session& session = found->second;
    if (session.image != nullptr) {
        if (end != CallEnd::Answered && session.sent < session.image->length) end = CallEnd::Cut;
        host_.FinishCall(session.imei, end, session.received);
    }
    Close(serial);
}

void ListenerLoop::SendMore(Serial serial) {
    const auto found = sessions_.find(serial);
    if (found == sessions_.end()) return;
    Session& session = found->second;
    if (!session.sending) {
        const SaveState state = host_.Saved(session.ticket);
        if (state == SaveState::Refused) {
            session.image = nullptr;  // not ours to finish: nothing went out
            Close(serial);
            return;
        }
        if (state != SaveState::Saved) return;
        session.sending = true;
    }
    while (session.sent < session.image->length) {
        const ssize_t n = ::send(session.fd.get(), session.image->bytes.data() + session.sent,
                                 session.image->length - session.sent, MSG_NOSIGNAL);
        if (n > 0) {
            session.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            Finish(serial, CallEnd::HungUp);
            return;
        }
    }
    session.answerPending = true;
}

void ListenerLoop::Identify(Serial serial, Session& session, std::size_t ignored) {
    session.identified = true;
    unidentified_.erase(serial);
    gate_.Release(session.address);  // its address may let another caller in
    session.imei = callerImei(session.received);
    if (ignored > 0) {
        host_.ListenerNote(session.peer + ": " + std::to_string(ignored) +
                           (ignored == 1 ? " byte" : " bytes") +
                           " after the identification ignored");
    }
    const CampaignSessionHost::Claim claim = host_.ClaimCaller(session.imei, session.peer);
    if (claim.image == nullptr) {
        gate_.UnknownImei(session.address, Clock::now());
        Close(serial);
        return;
    }
    gate_.KnownImei(session.address);
    session.image = claim.image;
    session.ticket = claim.ticket;
    session.received.clear();
    SetDeadline(serial, session, session.started + limits_.sessionLimit);
    SendMore(serial);
}

void ListenerLoop::Receive(Serial serial) {
    std::array<uint8_t, kReceiveChunk> chunk;
    for (int reads = 0; reads < kReadsPerWake; ++reads) {
        const auto found = sessions_.find(serial);
        if (found == sessions_.end()) return;
        Session& session = found->second;
        const ssize_t n = ::recv(session.fd.get(), chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            Finish(serial, CallEnd::HungUp);
            return;
        }
        const auto bytes = std::span(chunk.data(), static_cast<std::size_t>(n));
        if (session.identified) {
            // Before the whole image is out nothing can be the answer to it.
            if (session.answerPending &&
                appendReceived(session.received, bytes, true) == ReceiveStep::Answer) {
                Finish(serial, CallEnd::Answered);
                return;
            }
            continue;
        }
        if (session.received.empty()) {
            // The first byte came: the caller has until the identification limit.
            SetDeadline(serial, session,
                        std::min(session.deadline, session.started + limits_.identifyLimit));
        }
        std::size_t ignored = 0;
        if (appendReceived(session.received, bytes, false, &ignored) == ReceiveStep::Identify) {
            Identify(serial, session, ignored);
        }
    }
}

bool ListenerLoop::EvictOldestOf(uint32_t address) {
    for (const Serial serial : unidentified_) {
        if (sessions_.at(serial).address == address) {
            Close(serial);
            return true;
        }
    }
    return false;
}

bool ListenerLoop::MakeRoom() {
    if (sessions_.size() < maxSessions_) return true;
    // Full: the oldest caller that has not identified itself makes way, so holding
    // connections open cannot keep a tracker in the backlog.
    if (unidentified_.empty()) return false;
    Close(*unidentified_.begin());
    return true;
}

void ListenerLoop::Accept(Clock::time_point now) {
    for (int turn = 0; turn < kAcceptsPerTurn && MakeRoom(); ++turn) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd fd(::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) return;
            if (AcceptPause::OutOfDescriptors(error)) {
                if (pause_.Pause(now)) {
                    host_.ListenerNote(std::string("cannot accept: ") + std::strerror(error) +
                                       "; trying again every " +
                                       std::to_string(AcceptPause::kPause.count()) + " ms");
                }
                return;
            }
            continue;  // the caller gave up already (ECONNABORTED) or a network error
        }
        if (const std::size_t pauses = pause_.Resumed(); pauses > 0) {
            host_.ListenerNote("accepting again after " + std::to_string(pauses) + " pauses");
        }
        const uint32_t address = ntohl(peer.sin_addr.s_addr);
        // Refused callers are closed at once, without a byte read. An address at its
        // limit makes room with its own oldest caller that has not identified itself.
        Admission admission = gate_.Admit(address, now);
        if (admission == Admission::TooMany && EvictOldestOf(address)) {
            admission = gate_.Admit(address, now);
        }
        if (admission != Admission::Admitted) continue;
        const Serial serial = ++serial_;
        Session& session = sessions_[serial];
        session.fd = std::move(fd);
        session.address = address;
        session.peer = formatDottedQuad(address) + ":" + std::to_string(ntohs(peer.sin_port));
        session.started = now;
        unidentified_.insert(serial);
        SetDeadline(serial, session, now + std::min(limits_.firstByteLimit, limits_.identifyLimit));
    }
}

void ListenerLoop::Expire(Clock::time_point now) {
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const Serial serial = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        Finish(serial, CallEnd::TimedOut);
    }
}

void ListenerLoop::Report(Clock::time_point now, bool all) {
    for (const std::string& line : gate_.TakeSummaries(now, all)) host_.ListenerNote(line);
}

// Claims saved since the last turn let their images go out.
void ListenerLoop::SendSaved() {
    std::vector<Serial> waitingForSave;
    for (const auto& [serial, session] : sessions_) {
        if (session.image != nullptr && !session.sending) waitingForSave.push_back(serial);
    }
    for (const Serial serial : waitingForSave) SendMore(serial);
}

void ListenerLoop::Run() {
    std::optional<Clock::time_point> stopUntil;
    std::vector<pollfd> polled;
    std::vector<Serial> polledSessions;
    for (;;) {
        auto now = Clock::now();
        const CampaignSessionHost::Plan plan = host_.Due(now);
        if (plan.stopping && !stopUntil) stopUntil = now + limits_.stopGrace;
        const bool accepting = !plan.finished && !plan.stopping;

        SendSaved();
        Expire(now);
        if (stopUntil && now >= *stopUntil) {
            while (!sessions_.empty()) Finish(sessions_.begin()->first, CallEnd::TimedOut);
        }
        Report(now, false);
        if (!accepting && sessions_.empty()) break;

        polled.clear();
        polledSessions.clear();
        polled.push_back({wakeFd_, POLLIN, 0});
        const bool listen = accepting && !pause_.paused(now) &&
                            (sessions_.size() < maxSessions_ || !unidentified_.empty());
        if (listen) polled.push_back({listenFd_, POLLIN, 0});
        for (const auto& [serial, session] : sessions_) {
            short events = POLLIN;
            if (session.sending && session.sent < session.image->length) events |= POLLOUT;
            polled.push_back({session.fd.get(), events, 0});
            polledSessions.push_back(serial);
        }
        std::optional<Clock::time_point> next = earliest(plan.next, stopUntil);
        if (!deadlines_.empty()) next = earliest(next, deadlines_.begin()->first);
        if (accepting) next = earliest(next, pause_.until(now));
        next = earliest(next, gate_.NextSummary());
        const int timeout = next ? millisecondsUntil(*next, now) : -1;
        const int ready = ::poll(polled.data(), polled.size(), timeout);
        if (ready <= 0) continue;

        if ((polled[0].revents & POLLIN) != 0) {
            std::array<char, 64> drain;
            while (::read(wakeFd_, drain.data(), drain.size()) > 0) {
            }
        }
        const std::size_t firstSession = polled.size() - polledSessions.size();
        for (std::size_t i = firstSession; i < polled.size(); ++i) {
            const short revents = polled[i].revents;
            const Serial serial = polledSessions[i - firstSession];
            if (revents == 0) continue;
            if ((revents & POLLOUT) != 0) SendMore(serial);
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) Receive(serial);
        }
        // After the reads, so sessions that ended have made room first.
        now = Clock::now();
        if (listen && (polled[1].revents & POLLIN) != 0) Accept(now);
    }
    Report(Clock::now(), true);
}

}  // namespace

Result<CampaignListener> CampaignListener::Bind(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return Result<CampaignListener>::Fail(std::string("socket: ") + std::strerror(errno));
    }
    // A resumed campaign binds again at once, while connections of the killed one linger.
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
        return Result<CampaignListener>::Fail("port " + std::to_string(port) + ": " +
                                              std::strerror(errno));
    }
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    return CampaignListener(std::move(fd), port);
}

void CampaignListener::Serve(CampaignSessionHost& host, const ListenerLimits& limits, int wakeFd) {
    ListenerLoop(fd_.get(), host, limits, wakeFd).Run();
}

}  // namespace vela
