// The configuration session's own delay: from the moment the tracker sends the 17th
// byte (its identification is then complete) to the moment the tracker has received
// the last byte of a 60 KB image, through MainDialog's listening socket on loopback.
// The tracker is a plain blocking socket on a thread of its own; MainDialog runs on the
// main thread's event loop as in the program. The pause after the image is shortened
// to 20 ms (it follows the send and is not part of the figure); bytes held back until
// the pause ends would show as a delivery time above 20 ms.
#include "app/main_dialog.h"
#include "bench_table.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kImageLength = 60 * 1024;
constexpr std::chrono::milliseconds kSessionPause{20};

// The window's contract without a window: the pause blocks the handler.
class QuietView : public vela::MainDialogView {
public:
    void SetStatusText(const QString&) override {}
    void SetDeviceText(const QString&) override {}
    void SetFileText(const QString&) override {}
    void SetProgress(int) override {}
    void SetProgressVisible(bool) override {}
    void SetRunCaption(vela::RunButton, const QString&) override {}
    void SetRunEnabled(vela::RunButton, bool) override {}
    void ShowMessage(const QString&, vela::BoxIcon) override {}
    std::optional<QString> ChooseConfigFile() override { return std::nullopt; }
    void RepaintNow() override {}
    void SetWaitCursor(bool) override {}
    void FillTrackerChoice(const std::vector<std::string>&) override {}
    std::optional<std::string> SelectedTracker() const override { return std::nullopt; }
    void RunTrackerListDialog(vela::TrackerList&) override {}
    bool RunSettingsDialog(vela::ProgramSettings&, vela::StationOptions&,
                           vela::SerialPort&) override {
        return false;
    }
    void Pause(std::chrono::milliseconds length) override { std::this_thread::sleep_for(length); }
    void ShowVerdict(vela::Verdict, const QString&) override {}
    void ClearVerdict() override {}
};

// A closing file descriptor.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// The tracker: identifies itself in two writes and reads the image. Returns the time
// from the 17th byte to the image's last byte, or a negative value on failure.
double trackerSession(quint16 port) {
    Descriptor socket{::socket(AF_INET, SOCK_STREAM, 0)};
    if (socket.fd < 0) return -1;
    const int on = 1;
    ::setsockopt(socket.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval limit{5, 0};  // every wait of the tracker is bounded
    ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return -1;
    const std::string identification = std::string("\x00\x0F", 2) + "356307042441013";
    if (::send(socket.fd, identification.data(), 16, MSG_NOSIGNAL) != 16) return -1;
    // Let the first sixteen bytes be handled on their own.
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    const auto start = Clock::now();
    if (::send(socket.fd, identification.data() + 16, 1, MSG_NOSIGNAL) != 1) return -1;
    std::vector<char> buffer(kImageLength);
    std::size_t received = 0;
    while (received < kImageLength) {
        const ssize_t count =
            ::recv(socket.fd, buffer.data() + received, kImageLength - received, 0);
        if (count <= 0) return -1;
        received += static_cast<std::size_t>(count);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<double> samplesMs;

void BM_SessionImageDelivery(benchmark::State& state) {
    QuietView view;
    const std::filesystem::path directory = std::filesystem::temp_directory_path();
    vela::MainDialog dialog(view, directory);
    dialog.settings.localPort = 0;
    vela::MainDialog::Pauses pauses;
    pauses.session = kSessionPause;
    dialog.setPauses(pauses);
    // An image of 60 KB whose length field and marker are right.
    dialog.image.length = static_cast<uint16_t>(kImageLength);
    for (std::size_t i = 0; i < kImageLength; ++i)
        dialog.image.bytes[i] = static_cast<uint8_t>(i * 7);
    dialog.image.bytes[0] = static_cast<uint8_t>((kImageLength - 2) >> 8);
    dialog.image.bytes[1] = static_cast<uint8_t>((kImageLength - 2) & 0xFF);
    dialog.image.bytes[2] = 0x44;

    samplesMs.clear();
    for (auto _ : state) {
        if (!dialog.StartListening()) {
            state.SkipWithError("cannot listen on loopback");
            break;
        }
        std::atomic<bool> ended{false};
        QObject::connect(
            &dialog, &vela::MainDialog::SessionEnded, &dialog, [&ended] { ended = true; },
            Qt::SingleShotConnection);
        std::atomic<double> seconds{-1};
        std::atomic<bool> done{false};
        std::thread tracker([&, port = dialog.listeningPort()] {
            seconds = trackerSession(port);
            done = true;
        });
        // The event loop runs until the tracker is done and the session has ended
        // (the tracker closes after the image), at most five seconds.
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done && ended) loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        tracker.join();
        if (seconds < 0) {
            state.SkipWithError("the tracker did not receive the whole image");
            break;
        }
        state.SetIterationTime(seconds);
        samplesMs.push_back(seconds * 1e3);
    }
    state.counters["median_ms"] = vela::bench::median(samplesMs);
    state.counters["max_ms"] = vela::bench::largest(samplesMs);
}

BENCHMARK(BM_SessionImageDelivery)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

std::vector<vela::bench::Row> sessionRows(const vela::bench::Results& results) {
    const std::string figure = "Session, 17th byte to last image byte (60 KB)";
    const std::string name = "BM_SessionImageDelivery/iterations:200/manual_time";
    const auto found = results.find(name);
    if (found == results.end() || found->second.failed)
        return {vela::bench::missingRow(figure, "< 1 ms", results, name)};
    const double medianMs = found->second.counter("median_ms");
    return {{figure, "< 1 ms",
             vela::bench::format("%.3f ms median, %.3f ms max of %.0f", medianMs,
                                 found->second.counter("max_ms"), found->second.iterations),
             medianMs < 1.0}};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return vela::bench::runAndReport(argc, argv, sessionRows);
}
