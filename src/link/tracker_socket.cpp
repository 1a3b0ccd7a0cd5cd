#include "link/tracker_socket.h"

#include "link/config_session.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vela {

namespace {
// Qt reads no further ahead than this while the session is busy (a pause, the image):
// a caller that floods cannot grow the process's memory.
constexpr qint64 kReadAhead = 16 * static_cast<qint64>(kReceiveChunk);
// How long a closed connection may take to deliver what was queued once its session
// object is gone.
constexpr std::chrono::seconds kClosingLimit{30};
// How soon a notification that a busy handler could not take is raised again.
constexpr std::chrono::milliseconds kNotifyAgain{50};
enum class PeerState { Alive, Closed, Failed };

// Looks at the connection without taking data from it. The socket is non-blocking: a
// live connection without data gives "would block".
PeerState PeekPeer(qintptr descriptor) {
    if (descriptor < 0) return PeerState::Alive;
    char byte = 0;
#ifdef _WIN32
    const int peeked = ::recv(static_cast<SOCKET>(descriptor), &byte, 1, MSG_PEEK);
    if (peeked > 0) return PeerState::Alive;
    if (peeked == 0) return PeerState::Closed;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return PeerState::Alive;
    return error == WSAECONNRESET ? PeerState::Closed : PeerState::Failed;
#else
    const auto peeked = ::recv(static_cast<int>(descriptor), &byte, 1, MSG_PEEK);
    if (peeked > 0) return PeerState::Alive;
    if (peeked == 0) return PeerState::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return PeerState::Alive;
    // Qt reports a reset as the remote host's close; so does the session.
    return errno == ECONNRESET || errno == EPIPE ? PeerState::Closed : PeerState::Failed;
#endif
}

}  // namespace

TrackerSocket::TrackerSocket(QTcpSocket* connection) : connection_(connection) {
    connection_->setParent(nullptr);
    connection_->setReadBufferSize(kReadAhead);
    connect(connection_.get(), &QTcpSocket::readyRead, this, [this] {
        if (!closedLocally_) emit ReceiveReady();
    });
    connect(connection_.get(), &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError) { noteError(); });
    connect(connection_.get(), &QAbstractSocket::disconnected, this, [this] {
        if (closedLocally_) return;
        if (!HasEnded()) closedByPeer_ = true;
        if (!endReported_) {
            endReported_ = true;
            emit Ended();
        }
    });
}

TrackerSocket::~TrackerSocket() {
    // Destroyed with the session (a new accept, the program's end): no more signals.
    connection_->disconnect(this);
    if (connection_->state() == QAbstractSocket::ClosingState) {
        // Still delivering its last bytes: let it finish on its own, within a bound.
        QTcpSocket* closing = connection_.release();
        closing->setParent(QCoreApplication::instance());  // gone at the latest at exit
        QObject::connect(closing, &QAbstractSocket::disconnected, closing, &QObject::deleteLater);
        QTimer::singleShot(kClosingLimit, closing, [closing] {
            closing->abort();
            closing->deleteLater();
        });
    }
}

void TrackerSocket::noteError() {
    if (closedLocally_) return;
    if (connection_->error() == QAbstractSocket::RemoteHostClosedError) {
        closedByPeer_ = true;
    } else if (errorText_.isEmpty()) {
        errorText_ = connection_->errorString();
    }
    if (!endReported_) {
        endReported_ = true;
        emit Ended();
    }
}

std::size_t TrackerSocket::Receive(uint8_t* buffer, std::size_t capacity) {
    const qint64 count =
        connection_->read(reinterpret_cast<char*>(buffer), static_cast<qint64>(capacity));
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

bool TrackerSocket::HasReceived() const {
    return connection_->bytesAvailable() > 0;
}

void TrackerSocket::Send(std::span<const uint8_t> bytes) {
    if (closedLocally_ || connection_->state() != QAbstractSocket::ConnectedState) return;
    connection_->write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<qint64>(bytes.size()));
    connection_->flush();
}

void TrackerSocket::CheckConnection() {
    if (closedLocally_ || HasEnded()) return;
    if (connection_->state() == QAbstractSocket::ConnectedState) connection_->flush();
    if (HasEnded() || connection_->state() != QAbstractSocket::ConnectedState) return;
    if (connection_->bytesAvailable() > 0) return;  // data first; its step decides
    switch (PeekPeer(connection_->socketDescriptor())) {
        case PeerState::Alive:
            break;
        case PeerState::Closed:
            closedByPeer_ = true;
            break;
        case PeerState::Failed:
            errorText_ = QString::fromLocal8Bit(std::strerror(errno));
            break;
    }
}

QString TrackerSocket::PeerAddress() const {
    QHostAddress address = connection_->peerAddress();
    // A v4 caller on a dual-stack listener shows as ::ffff:a.b.c.d; show it as v4.
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) address = QHostAddress(v4);
    return address.toString() + QLatin1Char(':') + QString::number(connection_->peerPort());
}

QHostAddress TrackerSocket::PeerHost() const {
    return connection_->peerAddress();
}

void TrackerSocket::NotifyLater() {
    if (notifyPending_ || closedLocally_) return;
    notifyPending_ = true;
    // The receive handler looks at both the data and the end of the connection.
    QTimer::singleShot(kNotifyAgain, this, [this] {
        notifyPending_ = false;
        if (!closedLocally_) emit ReceiveReady();
    });
}

void TrackerSocket::Close() {
    if (closedLocally_) return;
    closedLocally_ = true;
    // disconnectFromHost() delivers what is still queued before it closes.
    connection_->disconnectFromHost();
}

}  // namespace vela
