#pragma once

#include "common/result.h"

#include <QObject>
#include <QTcpServer>
#include <memory>

namespace vela {

class TrackerSocket;

// The listening socket of one run: every local address, one port. Its AcceptReady
// signal is the accept notification; the run takes one connection and closes it.
class ListenSocket : public QObject {
    Q_OBJECT
public:
    static constexpr int kBacklog = 5;

    explicit ListenSocket(QObject* parent = nullptr);
    ~ListenSocket() override;

    // Binds `port` on every local address and listens. The failure's message is the
    // system's reason.
    Status Listen(quint16 port, int backlog = kBacklog);
    // The waiting connection, or null when none waits.
    std::unique_ptr<TrackerSocket> Accept();
    // Stops listening; connections that were not taken are dropped, later ones refused.
    void Close();
    bool IsListening() const { return server_.isListening(); }
    // The port actually bound (the chosen one when asked for port 0).
    quint16 Port() const { return server_.serverPort(); }

signals:
    void AcceptReady();

private:
    QTcpServer server_;
};

}  // namespace vela
