#include "link/listen_socket.h"

#include "link/tracker_socket.h"

#include <QHostAddress>
#include <QTcpSocket>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>

namespace vela {

namespace {

void closeDescriptor(qintptr descriptor) {
#ifdef _WIN32
    ::closesocket(static_cast<SOCKET>(descriptor));
#else
    ::close(static_cast<int>(descriptor));
#endif
}

// The caller's IPv4 address (host order) as the gate counts it; IPv4 callers on the
// dual-stack socket come as ::ffff:a.b.c.d. Other callers share the address 0 and are
// outside any allow-list.
std::optional<uint32_t> callerIpv4(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (!isV4) return std::nullopt;
    return v4;
}

}  // namespace

ListenSocket::ListenSocket(QObject* parent)
    : QObject(parent), gate_(std::make_shared<CallerGate>()) {
    // One connection per run: Qt queues no more than one before the run takes it.
    server_.setMaxPendingConnections(1);
    connect(&server_, &QTcpServer::newConnection, this, &ListenSocket::AcceptReady);
    // Qt stops accepting when the descriptors run out (EMFILE, ENFILE) and would not
    // start again by itself: accepting rests a moment and resumes.
    connect(&server_, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        if (pause_.Pause(std::chrono::steady_clock::now())) {
            emit Note(
                QStringLiteral("cannot accept: ") + server_.errorString() +
                QStringLiteral("; trying again every %1 ms").arg(AcceptPause::kPause.count()));
        }
        server_.pauseAccepting();
        QTimer::singleShot(AcceptPause::kPause, this, [this] { server_.resumeAccepting(); });
    });
    summaryTimer_.setSingleShot(true);
    connect(&summaryTimer_, &QTimer::timeout, this, [this] {
        for (const std::string& line : gate_->TakeSummaries(std::chrono::steady_clock::now())) {
            emit Note(QString::fromStdString(line));
        }
        scheduleSummaries();
    });
}

ListenSocket::~ListenSocket() {
    // Quietly: the receivers of Note may be going too.
    blockSignals(true);
    Close();
}

void ListenSocket::SetCallerPolicy(CallerPolicy policy) {
    gate_ = std::make_shared<CallerGate>(std::move(policy));
}

Status ListenSocket::Listen(quint16 port, int backlog) {
    server_.setListenBacklogSize(backlog);
    if (!server_.listen(QHostAddress::Any, port)) {
        return Status::Fail(server_.errorString().toStdString());
    }
    return Status::Ok();
}

void ListenSocket::GatedServer::incomingConnection(qintptr descriptor) {
    // The peer's address, before anything is read from the connection.
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    uint32_t address = 0;
    bool known = false;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&peer), &length) ==
        0) {
        QHostAddress host(reinterpret_cast<const sockaddr*>(&peer));
        if (const std::optional<uint32_t> v4 = callerIpv4(host)) {
            address = *v4;
            known = true;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (const std::size_t pauses = owner_.pause_.Resumed(); pauses > 0) {
        emit owner_.Note(QStringLiteral("accepting again after %1 pauses").arg(pauses));
    }
    const bool allowed = known || owner_.gate_->policy().allowFrom.empty();
    const Admission admission = allowed ? owner_.gate_->Admit(address, now) : Admission::NotAllowed;
    if (admission == Admission::Slowed) owner_.scheduleSummaries();
    if (admission != Admission::Admitted) {
        closeDescriptor(descriptor);
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        closeDescriptor(descriptor);
        owner_.gate_->Release(address);
        return;
    }
    // The session counts against its address as long as its socket lives, which may be
    // past this listener (a closing connection finishes on its own).
    QObject::connect(socket, &QObject::destroyed,
                     [gate = owner_.gate_, address] { gate->Release(address); });
    addPendingConnection(socket);
}

std::unique_ptr<TrackerSocket> ListenSocket::Accept() {
    QTcpSocket* connection = server_.nextPendingConnection();
    if (connection == nullptr) return nullptr;
    return std::make_unique<TrackerSocket>(connection);
}

bool ListenSocket::UnknownCaller(const TrackerSocket& socket) {
    const std::optional<uint32_t> address = callerIpv4(socket.PeerHost());
    const bool alone = gate_->UnknownImei(address.value_or(0), std::chrono::steady_clock::now());
    scheduleSummaries();
    return alone;
}

void ListenSocket::scheduleSummaries() {
    const auto now = std::chrono::steady_clock::now();
    for (const std::string& line : gate_->TakeSummaries(now))
        emit Note(QString::fromStdString(line));
    const std::optional<std::chrono::steady_clock::time_point> next = gate_->NextSummary();
    if (!next) return;
    summaryTimer_.start(std::chrono::ceil<std::chrono::milliseconds>(*next - now));
}

void ListenSocket::Close() {
    const bool wasListening = server_.isListening();
    server_.close();
    summaryTimer_.stop();
    // What the slowed addresses did since their last line is told once more.
    if (wasListening) {
        for (const std::string& line :
             gate_->TakeSummaries(std::chrono::steady_clock::now(), /*all=*/true)) {
            emit Note(QString::fromStdString(line));
        }
    }
    // A caller that Qt accepted in the same instant as the first is refused as well.
    while (QTcpSocket* extra = server_.nextPendingConnection()) {
        extra->abort();
        delete extra;
    }
}

}  // namespace vela
