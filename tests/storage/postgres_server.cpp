#include "postgres_server.h"

#include "storage/pg/connection.h"

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace vela::test {

namespace {

constexpr const char* kBinaries = "/usr/lib/postgresql/15/bin/";
constexpr const char* kUnprivilegedUser = "nobody";
constexpr const char* kSuperuser = "vela";

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// Starts `argv` as the unprivileged user (when we are root), its output into `log`;
// the child gets SIGQUIT (the server's immediate shutdown) when the tests die.
pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
            const std::filesystem::path& log) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    const bool dropRoot = uid == 0;
    if (dropRoot) {
        const passwd* user = ::getpwnam(kUnprivilegedUser);
        if (user == nullptr) return -1;
        uid = user->pw_uid;
        gid = user->pw_gid;
    }
    const std::string directory = workingDirectory.string();
    const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (output < 0) return -1;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dropRoot && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (::getppid() != parent) ::_exit(126);
        if (::chdir(directory.c_str()) != 0) ::_exit(126);
        ::dup2(output, 1);
        ::dup2(output, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(output);
    return pid;
}

// Waits at most `limit` for `pid`; its exit status, or -1 when it still runs.
int waitFor(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return 255;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

PostgresServer::PostgresServer() {
    if (makeCluster()) start();
}

PostgresServer::~PostgresServer() {
    stop();
}

PostgresServer& PostgresServer::shared() {
    static PostgresServer server;
    return server;
}

bool PostgresServer::makeCluster() {
    if (::getuid() == 0) {
        const passwd* user = ::getpwnam(kUnprivilegedUser);
        if (user == nullptr ||
            ::chown(directory_.path().c_str(), user->pw_uid, user->pw_gid) != 0) {
            failure_ = "cannot hand the cluster directory to the user nobody";
            return false;
        }
    }
    const pid_t pid =
        spawn({std::string(kBinaries) + "initdb", "-D", "data", "-U", kSuperuser, "-A", "trust",
               "-E", "UTF8", "--no-locale", "--no-sync", "--no-instructions"},
              directory_.path(), directory_ / "initdb.log");
    const int status = pid > 0 ? waitFor(pid, std::chrono::seconds(120)) : 255;
    if (status == -1) {
        ::kill(pid, SIGKILL);
        waitFor(pid, std::chrono::seconds(5));
    }
    if (status != 0) {
        failure_ = "initdb failed (" + std::to_string(status) +
                   "): " + readFile(directory_ / "initdb.log");
        return false;
    }
    port_ = freeLoopbackPort();
    return true;
}

bool PostgresServer::start() {
    if (running()) return true;
    failure_.clear();
    pid_ = spawn({std::string(kBinaries) + "postgres", "-D", "data", "-h", "127.0.0.1", "-p",
                  std::to_string(port_), "-k", directory_.path().string(), "-c", "fsync=off", "-c",
                  "full_page_writes=off", "-c", "dynamic_shared_memory_type=mmap", "-c",
                  "max_connections=40", "-c", "shared_buffers=16MB"},
                 directory_.path(), directory_ / "server.log");
    if (pid_ <= 0) {
        failure_ = "cannot start postgres";
        pid_ = -1;
        return false;
    }
    const std::string conninfo = url();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(conninfo.c_str()) == PQPING_OK) return true;
        if (waitFor(pid_, std::chrono::milliseconds(0)) != -1) break;  // it has ended
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    failure_ = "postgres did not accept connections: " + readFile(directory_ / "server.log");
    stop();
    return false;
}

void PostgresServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGINT);
    if (waitFor(pid_, std::chrono::seconds(30)) == -1) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_, std::chrono::seconds(10));
    }
    pid_ = -1;
}

std::string PostgresServer::url(const std::string& database) const {
    return "postgresql://" + std::string(kSuperuser) + "@127.0.0.1:" + std::to_string(port_) + "/" +
           database;
}

std::string PostgresServer::createDatabase() {
    const std::string name = "test" + std::to_string(++databases_);
    Result<pg::Connection> admin = pg::Connection::open(url());
    if (!admin) return {};
    if (!admin.value().execute("CREATE DATABASE " + name)) return {};
    return url(name);
}

}  // namespace vela::test
