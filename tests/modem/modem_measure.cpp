// Prints the two figures of the modem section of the README:
//  1. CPU time used while the dialogue waits out its first limit (6 s) on a silent
//     modem, as a share of one core;
//  2. the time from the last byte of a modem reply to the first byte of the next
//     command, over many dialogues with a prompt modem.
// Build: cmake --build BUILD --target modem_measure; run: BUILD/tests/modem/modem_measure
#include "modem/sms_dialogue.h"
#include "scripted_modem.h"

#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPdu =
    "0041000B912143658709F100F52306050407D1000000000A3139322e302e322e313013880A696e7465726e65"
    "743a700000";

class QuietUi : public vela::ModemDialogueUi {
public:
    void SetWaitCursor(bool) override {}
    void ShowModemError(const std::string& text, const std::string&) override { error = text; }
    std::string error;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void measureSilentWait() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return;
    }
    vela::SerialPort port;
    QuietUi ui;
    const double cpuBefore = cpuSeconds();
    const auto before = Clock::now();
    const bool sent = vela::SendPushSms(port, name, kPdu, ui);  // the real limits
    const double wall = std::chrono::duration<double>(Clock::now() - before).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf(
        "silent modem: result %s (\"%s\") after %.3f s wall, %.4f s CPU = %.3f%% of one core\n",
        sent ? "true" : "false", ui.error.c_str(), wall, cpu, 100.0 * cpu / wall);
    close(slave);
    close(master);
}

void measureTurnaround(int dialogues) {
    std::vector<double> micros;
    for (int i = 0; i < dialogues; ++i) {
        vela::test::ScriptedModem modem(vela::test::ScriptedModem::Standard());
        vela::SerialPort port;
        QuietUi ui;
        if (!vela::SendPushSms(port, modem.path(), kPdu, ui)) {
            std::printf("dialogue %d failed: %s\n", i, ui.error.c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (auto gap : modem.turnarounds())
            micros.push_back(static_cast<double>(gap.count()) / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
        return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))];
    };
    std::printf(
        "reply to next command: %zu gaps over %d dialogues: median %.1f us, p95 %.1f us, max %.1f "
        "us\n",
        micros.size(), dialogues, at(0.5), at(0.95), micros.back());
}

}  // namespace

int main() {
    measureTurnaround(200);
    measureSilentWait();
    return 0;
}
