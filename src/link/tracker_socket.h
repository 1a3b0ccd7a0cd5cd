#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

class QTcpSocket;

namespace vela {

// The accepted connection of one configuration session. ReceiveReady is the read
// notification; Ended tells that the peer closed the connection or that it failed.
class TrackerSocket : public QObject {
    Q_OBJECT
public:
    // Takes ownership of an accepted connection.
    explicit TrackerSocket(QTcpSocket* connection);
    ~TrackerSocket() override;

    // Set just before the image is sent: the next data is the tracker's answer.
    bool answerPending = false;

    // Up to `capacity` received bytes; 0 when none wait.
    std::size_t Receive(uint8_t* buffer, std::size_t capacity);
    bool HasReceived() const;
    // Queues all of `bytes` and writes what the system takes at once; the rest follows
    // as the connection drains, however many writes it needs.
    void Send(std::span<const uint8_t> bytes);
    // Writes what the system takes now of what is queued and looks whether the peer
    // is still there, without reading: a failed write, a close or a reset ends the
    // connection (HasEnded) now instead of at the next notification.
    void CheckConnection();
    // Ends the session: whatever is still queued is delivered, then the connection is
    // closed. Nothing more is read or reported.
    void Close();
    // Raises the read notification again a little later, for a handler that could not
    // take this one (another handler was running a nested event loop). Qt notifies only
    // of new data, so data or a close that came meanwhile would otherwise wait forever.
    // Requests made before the repeat comes fold into one.
    void NotifyLater();

    // "address:port" of the peer, for the record of the run.
    QString PeerAddress() const;
    // The peer's address alone.
    QHostAddress PeerHost() const;

    bool IsClosed() const { return closedLocally_; }
    // The peer closed the connection (before we did).
    bool ClosedByPeer() const { return closedByPeer_; }
    // The connection failed for another reason (reset, write error...).
    bool Failed() const { return !errorText_.isEmpty(); }
    const QString& ErrorText() const { return errorText_; }
    bool HasEnded() const { return closedByPeer_ || Failed(); }

signals:
    void ReceiveReady();
    void Ended();

private:
    void noteError();

    std::unique_ptr<QTcpSocket> connection_;
    bool closedLocally_ = false;
    bool closedByPeer_ = false;
    bool endReported_ = false;
    bool notifyPending_ = false;
    QString errorText_;
};

}  // namespace vela
