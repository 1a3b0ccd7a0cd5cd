#include "campaign/campaign_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

namespace vela {

namespace {

// Reads per session and wake-up: a flooding caller cannot starve the others.
constexpr int kReadsPerWake = 16;

struct Session {
    int fd = -1;
    std::string address;
    ByteString received;
    std::string imei;
    const ConfigImage* image = nullptr;  // set once the caller is claimed
    uint64_t ticket = 0;                 // its claim, saved before the image goes out
    bool sending = false;
    std::size_t sent = 0;
    bool answerPending = false;
    CampaignClock::time_point started;
    CampaignClock::time_point deadline;
    bool done = false;
};

std::string peerText(const sockaddr_in& peer) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

int millisecondsUntil(CampaignClock::time_point when, CampaignClock::time_point now) {
    if (when <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<long long>(left, 24LL * 3600 * 1000));
}

}  // namespace

Result<CampaignListener> CampaignListener::Bind(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Result<CampaignListener>::Fail(std::string("socket: ") + std::strerror(errno));
    CampaignListener listener(fd, port);
    // A resumed campaign binds again at once, while connections of the killed one linger.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        return Result<CampaignListener>::Fail("port " + std::to_string(port) + ": " +
                                              std::strerror(errno));
    }
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        listener.port_ = ntohs(address.sin_port);
    }
    return listener;
}

CampaignListener::CampaignListener(CampaignListener&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}

CampaignListener::~CampaignListener() {
    if (fd_ >= 0) ::close(fd_);
}

void CampaignListener::Serve(CampaignSessionHost& host, const ListenerLimits& limits, int wakeFd) {
    std::list<Session> sessions;
    std::optional<CampaignClock::time_point> stopUntil;
    std::vector<pollfd> polled;
    std::vector<Session*> polledSessions;

    auto close = [&](Session& session) {
        ::close(session.fd);
        session.fd = -1;
        session.done = true;
    };
    auto finish = [&](Session& session, CallEnd end) {
        if (session.image != nullptr && end != CallEnd::Answered &&
            session.sent < session.image->length) {
            end = CallEnd::Cut;
        }
        if (session.image != nullptr) host.FinishCall(session.imei, end, session.received);
        close(session);
    };
    auto sendMore = [&](Session& session) {
        if (!session.sending) {
            const SaveState state = host.Saved(session.ticket);
            if (state == SaveState::Refused) {
                session.image = nullptr;  // not ours to finish: nothing went out
                close(session);
            }
            if (state != SaveState::Saved) return;
            session.sending = true;
        }
        while (session.sent < session.image->length) {
            const ssize_t n = ::send(session.fd, session.image->bytes.data() + session.sent,
                                     session.image->length - session.sent, MSG_NOSIGNAL);
            if (n > 0) {
                session.sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
                finish(session, CallEnd::HungUp);
                return;
            }
        }
    };
    auto receive = [&](Session& session) {
        std::array<uint8_t, kReceiveChunk> chunk;
        for (int reads = 0; reads < kReadsPerWake && !session.done; ++reads) {
            const ssize_t n = ::recv(session.fd, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n <= 0) {
                finish(session, CallEnd::HungUp);
                return;
            }
            const ReceiveStep step = appendReceived(
                session.received, std::span(chunk.data(), static_cast<std::size_t>(n)),
                session.answerPending);
            if (step == ReceiveStep::Answer) {
                finish(session, CallEnd::Answered);
                return;
            }
            if (step == ReceiveStep::Identify) {
                session.imei = callerImei(session.received);
                const CampaignSessionHost::Claim claim =
                    host.ClaimCaller(session.imei, session.address);
                session.image = claim.image;
                session.ticket = claim.ticket;
                if (session.image == nullptr) {
                    close(session);
                    return;
                }
                session.received.clear();
                session.answerPending = true;
                session.deadline = session.started + limits.sessionLimit;
                sendMore(session);
            }
        }
    };

    for (;;) {
        const auto now = CampaignClock::now();
        const CampaignSessionHost::Plan plan = host.Due(now);
        if (plan.stopping && !stopUntil) stopUntil = now + limits.stopGrace;
        const bool accepting = !plan.finished && !plan.stopping;

        for (Session& session : sessions) {
            if (!session.done && !session.sending && session.image != nullptr) sendMore(session);
            if (!session.done && (now >= session.deadline || (stopUntil && now >= *stopUntil))) {
                finish(session, CallEnd::TimedOut);
            }
        }
        sessions.remove_if([](const Session& session) { return session.done; });
        if (!accepting && sessions.empty()) return;

        polled.clear();
        polledSessions.clear();
        polled.push_back({wakeFd, POLLIN, 0});
        const bool roomForMore = static_cast<int>(sessions.size()) < limits.maxSessions;
        if (accepting && roomForMore) polled.push_back({fd_, POLLIN, 0});
        std::optional<CampaignClock::time_point> next = plan.next;
        if (stopUntil) next = next ? std::min(*next, *stopUntil) : *stopUntil;
        for (Session& session : sessions) {
            short events = POLLIN;
            if (session.sending && session.sent < session.image->length) events |= POLLOUT;
            polled.push_back({session.fd, events, 0});
            polledSessions.push_back(&session);
            next = next ? std::min(*next, session.deadline) : session.deadline;
        }
        const int timeout = next ? millisecondsUntil(*next, now) : -1;
        const int ready = ::poll(polled.data(), polled.size(), timeout);
        if (ready <= 0) continue;

        if ((polled[0].revents & POLLIN) != 0) {
            std::array<char, 64> drain;
            while (::read(wakeFd, drain.data(), drain.size()) > 0) {
            }
        }
        const std::size_t firstSession = polled.size() - polledSessions.size();
        for (std::size_t i = firstSession; i < polled.size(); ++i) {
            Session& session = *polledSessions[i - firstSession];
            if (session.done || polled[i].revents == 0) continue;
            if ((polled[i].revents & POLLOUT) != 0) sendMore(session);
            if (!session.done && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                receive(session);
            }
        }
        if (firstSession == 2 && (polled[1].revents & POLLIN) != 0) {
            while (static_cast<int>(sessions.size()) < limits.maxSessions) {
                sockaddr_in peer{};
                socklen_t length = sizeof peer;
                const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                Session session;
                session.fd = fd;
                session.address = peerText(peer);
                session.started = CampaignClock::now();
                session.deadline = session.started + limits.identifyLimit;
                sessions.push_back(std::move(session));
            }
        }
    }
}

}  // namespace vela
