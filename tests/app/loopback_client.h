#pragma once

#include "recording_view.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>
#include <chrono>

namespace vela::test {

// A caller on 127.0.0.1 driven from the test's own event loop (no blocking waits, so
// MainDialog in the same thread keeps running).
class LoopbackClient {
public:
    QTcpSocket socket;
    QByteArray received;

    LoopbackClient() {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
    }
    // `source`: the caller's own address (another 127.x.y.z), default the usual one.
    bool connectTo(quint16 port, const QHostAddress& source = QHostAddress()) {
        if (!source.isNull() && !socket.bind(source)) return false;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return waitUntil([this] {
                   return socket.state() == QAbstractSocket::ConnectedState ||
                          socket.state() == QAbstractSocket::UnconnectedState;
               }) &&
               socket.state() == QAbstractSocket::ConnectedState;
    }
    void send(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    bool waitForBytes(qsizetype count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitUntil([&] { return received.size() >= count; }, limit);
    }
    bool waitForClose(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitUntil([this] { return socket.state() == QAbstractSocket::UnconnectedState; },
                         limit);
    }
};

// The identification a tracker sends: 00 0F and the fifteen digits of its IMEI.
inline QByteArray identification(const QByteArray& imei) {
    return QByteArray("\x00\x0F", 2) + imei;
}

}  // namespace vela::test
