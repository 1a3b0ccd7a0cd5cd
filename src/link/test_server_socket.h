#pragma once

#include "common/result.h"

#include <QString>
#include <QTcpSocket>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vela {

// The port check's connection to the test server: connect, send one line, close, each
// step blocking the handler for a bounded time (no other notification runs meanwhile).
class TestServerSocket {
public:
    // How long a connection attempt may take before it counts as failed.
    static constexpr std::chrono::milliseconds kConnectLimit{10000};
    // How long sending and closing may wait for the system to take the bytes.
    static constexpr std::chrono::milliseconds kWriteLimit{10000};

    TestServerSocket() = default;
    ~TestServerSocket();
    TestServerSocket(const TestServerSocket&) = delete;
    TestServerSocket& operator=(const TestServerSocket&) = delete;

    // Connects to `host` (a name or a dotted address) and `port`. The failure's message
    // is the system's reason.
    Status Connect(const QString& host, quint16 port,
                   std::chrono::milliseconds limit = kConnectLimit);
    // Writes all of `bytes`.
    Status Send(std::string_view bytes);
    // The reason of a test server that refused the request ("refused: REASON" and a
    // close, when one address asks too often), as far as it has arrived; nothing when
    // the server said nothing. Does not wait.
    std::optional<std::string> TakeRefusal();
    // Delivers what is still queued, then closes the connection.
    void Close();

private:
    QTcpSocket socket_;
};

}  // namespace vela
