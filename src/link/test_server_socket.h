#pragma once

#include "common/result.h"

#include <QString>
#include <QTcpSocket>
#include <chrono>
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
    // Delivers what is still queued, then closes the connection.
    void Close();

private:
    QTcpSocket socket_;
};

}  // namespace vela
