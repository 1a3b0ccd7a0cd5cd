// Every --json output of velactl against docs/json.md: each object's keys are exactly
// one of the key tables of its command's section, every table is met, texts come back
// as the UTF-8 they were stored as, and no password is written.
#include "../campaign/campaign_fixture.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace vela::test {
namespace {

using namespace std::chrono_literals;
using KeySet = std::set<std::string>;

// The key tables of docs/json.md by the section heading's first command.
std::map<std::string, std::vector<KeySet>> DocumentedKeys() {
    std::ifstream page(sourceDir() / "docs" / "json.md");
    std::map<std::string, std::vector<KeySet>> sections;
    std::string line, section;
    bool inTable = false;
    while (std::getline(page, line)) {
        if (line.rfind("## `", 0) == 0) {
            section = line.substr(4, line.find('`', 4) - 4);
            inTable = false;
        } else if (line.rfind("| `", 0) == 0 && !section.empty()) {
            if (!inTable) sections[section].emplace_back();
            inTable = true;
            sections[section].back().insert(line.substr(3, line.find('`', 3) - 3));
        } else if (line.rfind("|", 0) != 0) {
            inTable = false;
        }
    }
    return sections;
}

KeySet KeysOf(const QJsonObject& object) {
    KeySet keys;
    for (const QString& key : object.keys()) keys.insert(key.toStdString());
    return keys;
}

TEST(JsonOutput, EveryCommandWritesTheKeysOfItsPage) {
    TempDir data;
    writeFile(data / "device.xml", "<sys>\n<powermode>false</powermode>\n</sys>\n");
    const std::string dir = "--dir=" + data.path().string();
    const auto velactl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), toolPath("VELACTL"));
        return runProgram(args, 60s);
    };
    // A simulated modem that takes the SMS and delivers nothing: the tracker's wait ends
    // with no call, which writes every kind of line.
    const std::string modem = (data / "mödem").string();
    ChildProcess simulator({toolPath("VELA_SIM"), "modem", "--link", modem});
    ASSERT_TRUE(simulator.waitForOutput("modem: ", 20s)) << simulator.errors();
    const std::string port = std::to_string(freeListeningPort());
    ASSERT_EQ(velactl({"settings", "set", dir, "--modem-port", modem, "--external-ip", "127.0.0.1",
                       "--external-port", port, "--local-port", port})
                  .exitCode,
              0);
    ASSERT_EQ(velactl({"trackers", "add", dir, "--description", "356000000000001", "--phone",
                       "37060000001", "--apn", "intérnet", "--sms-password", "pw-SECRET",
                       "--gprs-password", "pw-SECRET"})
                  .exitCode,
              0);
    const struct {
        std::string section;
        std::vector<std::string> args;
        bool stream;            // one object per line, not one array
        bool onErrors = false;  // written on standard error
    } commands[] = {
        {"velactl campaign run --json",
         {"campaign", "run", dir, "--config", (data / "device.xml").string(), "--all", "--attempts",
          "1", "--wait", "1", "--json"},
         true},
        // A new campaign (2) of the tracker that failed, run at once.
        {"velactl campaign run --json",
         {"campaign", "retry", "1", dir, "--only", "no-call", "--json"},
         true},
        {"velactl campaign run --progress json",
         {"campaign", "retry", "2", dir, "--progress", "json"},
         true,
         true},
        {"velactl settings show --json", {"settings", "show", dir, "--json"}, false},
        {"velactl trackers list --json", {"trackers", "list", dir, "--json"}, false},
        {"velactl history --json", {"history", dir, "--json"}, false},
        {"velactl campaign list --json", {"campaign", "list", dir, "--json"}, false},
        {"velactl campaign status ID --json", {"campaign", "status", "3", dir, "--json"}, false},
        {"velactl campaign status ID --json", {"campaign", "status", "1", dir, "--json"}, false},
    };
    const auto documented = DocumentedKeys();
    std::set<std::string> strings;  // every text value written
    for (const auto& command : commands) {
        SCOPED_TRACE(command.section);
        const auto page = documented.find(command.section);
        ASSERT_NE(page, documented.end()) << "not in docs/json.md";
        const RunResult run = velactl(command.args);
        EXPECT_EQ(run.out.find("pw-SECRET"), std::string::npos);
        std::vector<QJsonObject> objects;
        if (command.stream) {
            std::istringstream lines(command.onErrors ? run.err : run.out);
            for (std::string line; std::getline(lines, line);) {
                if (command.onErrors && line.rfind("{", 0) != 0) continue;  // a warning
                const QJsonDocument document =
                    QJsonDocument::fromJson(QByteArray::fromStdString(line));
                ASSERT_TRUE(document.isObject()) << line;
                objects.push_back(document.object());
            }
        } else {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            const QJsonDocument document =
                QJsonDocument::fromJson(QByteArray::fromStdString(run.out));
            ASSERT_TRUE(document.isArray()) << run.out;
            for (const QJsonValue& value : document.array()) objects.push_back(value.toObject());
        }
        ASSERT_FALSE(objects.empty()) << run.out << run.err;
        std::set<std::size_t> met;
        for (const QJsonObject& object : objects) {
            const KeySet keys = KeysOf(object);
            const auto& tables = page->second;
            bool matched = false;
            for (std::size_t t = 0; t < tables.size(); ++t) {
                if (tables[t] == keys) met.insert(t), matched = true;
            }
            EXPECT_TRUE(matched) << QJsonDocument(object).toJson().toStdString();
            for (const QString& key : object.keys()) {
                if (object[key].isString()) strings.insert(object[key].toString().toStdString());
            }
        }
        EXPECT_EQ(met.size(), page->second.size()) << "a documented shape never written";
    }
    // Stored UTF-8 comes back as the same characters, not as one per byte.
    EXPECT_TRUE(strings.count("intérnet"));
    EXPECT_TRUE(strings.count(modem));
}

}  // namespace
}  // namespace vela::test
