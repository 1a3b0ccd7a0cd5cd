#pragma once

#include "test_support.h"

#include <sys/types.h>
#include <string>

namespace vela::test {

// A PostgreSQL server of the tests' own: a cluster made by initdb in a temporary
// directory, listening on a free port of 127.0.0.1 and on a socket in that directory,
// stopped and removed when the object goes. Started as an unprivileged user when the
// tests run as root (the server refuses to run as root). Every wait is bounded.
class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // One server for the whole test program, started on first use.
    static PostgresServer& shared();

    bool running() const { return pid_ > 0; }
    // Why the server could not be made or started; empty when it runs.
    const std::string& failure() const { return failure_; }

    int port() const { return port_; }
    std::string url(const std::string& database = "postgres") const;
    // A new empty database on this server; its URL.
    std::string createDatabase();

    // Fast shutdown: open connections are ended, what was committed stays.
    void stop();
    // Starts the server again on the same cluster and port.
    bool start();

private:
    bool makeCluster();
    TempDir directory_;
    std::string failure_;
    pid_t pid_ = -1;
    int port_ = 0;
    int databases_ = 0;
};

}  // namespace vela::test
