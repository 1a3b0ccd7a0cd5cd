#include "link/test_server_socket.h"

#include <QElapsedTimer>

namespace vela {

TestServerSocket::~TestServerSocket() {
    Close();
}

Status TestServerSocket::Connect(const QString& host, quint16 port,
                                 std::chrono::milliseconds limit) {
    if (host.isEmpty() || port == 0) return Status::Fail("no test server address");
    socket_.connectToHost(host, port);
    if (!socket_.waitForConnected(static_cast<int>(limit.count()))) {
        const QString reason = socket_.errorString();
        socket_.abort();
        return Status::Fail(reason.toStdString());
    }
    return Status::Ok();
}

Status TestServerSocket::Send(std::string_view bytes) {
    if (socket_.state() != QAbstractSocket::ConnectedState) return Status::Fail("not connected");
    if (socket_.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size())) {
        return Status::Fail(socket_.errorString().toStdString());
    }
    QElapsedTimer timer;
    timer.start();
    while (socket_.bytesToWrite() > 0) {
        const qint64 left = kWriteLimit.count() - timer.elapsed();
        if (left <= 0 || !socket_.waitForBytesWritten(static_cast<int>(left))) {
            return Status::Fail(socket_.errorString().toStdString());
        }
    }
    return Status::Ok();
}

std::optional<std::string> TestServerSocket::TakeRefusal() {
    static constexpr std::string_view kRefused = "refused:";
    static constexpr qint64 kLineLimit = 256;
    // The line is waiting in the system's buffer: one look, no wait.
    if (socket_.state() == QAbstractSocket::ConnectedState) socket_.waitForReadyRead(0);
    const QByteArray line = socket_.read(kLineLimit);
    if (!line.startsWith(QByteArray(kRefused.data(), kRefused.size()))) return std::nullopt;
    return line.mid(kRefused.size()).trimmed().toStdString();
}

void TestServerSocket::Close() {
    if (socket_.state() == QAbstractSocket::UnconnectedState) return;
    // The line must reach the server before the close: no abort with bytes pending.
    socket_.disconnectFromHost();
    if (socket_.state() != QAbstractSocket::UnconnectedState &&
        !socket_.waitForDisconnected(static_cast<int>(kWriteLimit.count()))) {
        socket_.abort();
    }
}

}  // namespace vela
