#pragma once

#include "common/result.h"
#include "link/caller_gate.h"

#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <memory>

namespace vela {

class TrackerSocket;

// The listening socket of one run: every local address, one port. Its AcceptReady
// signal is the accept notification; the run takes one connection and closes it.
// Callers pass the caller gate first: one from outside the allow-list, beyond its
// address's sessions or from an address slowed for unknown IMEIs is closed at accept,
// before a byte is read.
class ListenSocket : public QObject {
    Q_OBJECT
public:
    static constexpr int kBacklog = 5;

    explicit ListenSocket(QObject* parent = nullptr);
    ~ListenSocket() override;

    // Who may call and how an address is slowed; set before Listen.
    void SetCallerPolicy(CallerPolicy policy);
    // Binds `port` on every local address and listens. The failure's message is the
    // system's reason.
    Status Listen(quint16 port, int backlog = kBacklog);
    // The waiting connection, or null when none waits.
    std::unique_ptr<TrackerSocket> Accept();
    // The caller on `socket` named an IMEI that is not awaited. True while its address is
    // still to be reported caller by caller; later ones go into its summary line (Note).
    bool UnknownCaller(const TrackerSocket& socket);
    // Stops listening; connections that were not taken are dropped, later ones refused.
    void Close();
    bool IsListening() const { return server_.isListening(); }
    // The port actually bound (the chosen one when asked for port 0).
    quint16 Port() const { return server_.serverPort(); }

signals:
    void AcceptReady();
    // A line for the operator about callers as a whole: an address slowed for unknown
    // IMEIs, accepting paused for want of descriptors.
    void Note(const QString& line);

private:
    // Takes each new connection through the gate before Qt makes a socket of it.
    class GatedServer : public QTcpServer {
    public:
        explicit GatedServer(ListenSocket& owner) : owner_(owner) {}

    protected:
        void incomingConnection(qintptr descriptor) override;

    private:
        ListenSocket& owner_;
    };

    void scheduleSummaries();

    std::shared_ptr<CallerGate> gate_;  // shared with the sockets that release it
    GatedServer server_{*this};
    QTimer summaryTimer_;
    AcceptPause pause_;
};

}  // namespace vela
