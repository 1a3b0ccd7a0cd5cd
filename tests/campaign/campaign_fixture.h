#pragma once

// What the campaign tests share: a data directory with settings pointing at a free
// loopback port, and a `vela-sim fleet` whose trackers are imported into it.

#include "test_support.h"

#include "storage/program_settings.h"
#include "storage/settings_store.h"
#include "storage/tracker_list.h"
#include "storage/tracker_store.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace vela::test {

// A port that was free a moment ago, below the range the system hands out for outgoing
// connections: the campaign listens on every address, and a busy machine's clients
// would otherwise take the chosen port in the meantime.
inline uint16_t freeListeningPort() {
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> ports(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<uint16_t>(ports(random));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string word; in >> word;) result.push_back(word);
    return result;
}

class CampaignFixture : public ::testing::Test {
protected:
    void SetUp() override {
        port = freeListeningPort();
        ASSERT_NE(port, 0);
        ProgramSettings settings;
        settings.externalIp = 0x7F000001;
        settings.externalPort = port;
        settings.localPort = port;
        settings.modemPort = (dir / "modem1").string();
        ASSERT_TRUE(SettingsStore(dir.path()).save(settings));
    }

    // Starts a fleet of `trackers` behind `modems` modems (reachable as dir/modemK),
    // and imports its trackers.
    void StartFleet(int trackers, int modems, const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {toolPath("VELA_SIM"),
                                         "fleet",
                                         "--trackers",
                                         std::to_string(trackers),
                                         "--modems",
                                         std::to_string(modems),
                                         "--link",
                                         (dir / "modem").string(),
                                         "--csv",
                                         (dir / "fleet.csv").string(),
                                         "--seed",
                                         "7",
                                         "--lifetime",
                                         "120"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        fleet = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(fleet->waitForOutput("modems:", std::chrono::seconds(20))) << fleet->errors();
        const RunResult imported =
            runProgram({toolPath("VELACTL"), "trackers", "import", "--dir", dir.path().string(),
                        "--replace", (dir / "fleet.csv").string()});
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
        for (const std::string& line : lines(fleet->output())) {
            const std::vector<std::string> w = words(line);
            if (w.size() == 4 && w[0] == "tracker:") roleOf[w[1]] = w[3];
        }
        ASSERT_EQ(static_cast<int>(roleOf.size()), trackers);
        for (int k = 1; k <= modems; ++k)
            modemPorts.push_back((dir / "modem").string() + std::to_string(k));
    }

    // Per IMEI, how many SMS the fleet received and how many calls ended with `word`.
    std::map<std::string, int> fleetSms() const { return fleetCount("sms:", 4, ""); }
    std::map<std::string, int> fleetCalls(const std::string& word) const {
        return fleetCount("call:", 1, word);
    }

    TempDir dir;
    uint16_t port = 0;
    std::unique_ptr<ChildProcess> fleet;
    std::map<std::string, std::string> roleOf;  // IMEI -> role
    std::vector<std::string> modemPorts;
    std::string config = (sourceDir() / "examples" / "sample-config.xml").string();

private:
    std::map<std::string, int> fleetCount(const std::string& tag, std::size_t imeiAt,
                                          const std::string& word) const {
        std::map<std::string, int> counts;
        for (const std::string& line : lines(fleet->output())) {
            const std::vector<std::string> w = words(line);
            if (w.size() <= imeiAt || w[0] != tag) continue;
            if (!word.empty() && (w.size() < 3 || w[2] != word)) continue;
            ++counts[w[imeiAt]];
        }
        return counts;
    }
};

}  // namespace vela::test
