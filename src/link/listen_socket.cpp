#include "link/listen_socket.h"

#include "link/tracker_socket.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace vela {

ListenSocket::ListenSocket(QObject* parent) : QObject(parent) {
    // One connection per run: Qt queues no more than one before the run takes it.
    server_.setMaxPendingConnections(1);
    connect(&server_, &QTcpServer::newConnection, this, &ListenSocket::AcceptReady);
}

ListenSocket::~ListenSocket() {
    Close();
}

Status ListenSocket::Listen(quint16 port, int backlog) {
    server_.setListenBacklogSize(backlog);
    if (!server_.listen(QHostAddress::Any, port)) {
        return Status::Fail(server_.errorString().toStdString());
    }
    return Status::Ok();
}

std::unique_ptr<TrackerSocket> ListenSocket::Accept() {
    QTcpSocket* connection = server_.nextPendingConnection();
    if (connection == nullptr) return nullptr;
    return std::make_unique<TrackerSocket>(connection);
}

void ListenSocket::Close() {
    server_.close();
    // A caller that Qt accepted in the same instant as the first is refused as well.
    while (QTcpSocket* extra = server_.nextPendingConnection()) {
        extra->abort();
        delete extra;
    }
}

}  // namespace vela
