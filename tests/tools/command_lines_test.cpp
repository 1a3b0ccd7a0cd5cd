// The programs' own command lines: options before anything else happens (vela without a
// display), and where the data directory options put the database.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <sstream>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

// Runs `program` (the environment variable naming it) with `args` under `env`, which
// starts from an environment without a display.
RunResult run(const char* program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {},
              const std::optional<std::filesystem::path>& workingDirectory = std::nullopt) {
    std::vector<std::string> argv = {"/usr/bin/env",    "-u", "DISPLAY", "-u",
                                     "WAYLAND_DISPLAY", "-u", "VELA_DIR"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(toolPath(program));
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, 30s, workingDirectory);
}

TEST(CommandLines, PrintExitOrRefuseBeforeDoingAnything) {
    struct Case {
        const char* program;
        std::vector<std::string> args;
        int exitCode;
        std::string shown;  // on stdout for 0, on stderr otherwise
    };
    const Case cases[] = {
        // No platform plugin is asked for: these work on a console without a display.
        {"VELA_BIN", {"--help"}, 0, "Usage: vela [--campaign] [--dir DIR | --user-data]"},
        {"VELA_BIN", {"--version"}, 0, "vela (Vela) "},
        {"VELA_BIN", {"--bogus"}, 2, "vela: unknown option '--bogus'"},
        {"VELA_BIN", {"--dir=/tmp", "--user-data"}, 2, "cannot be used together"},
        {"VELA_BIN", {"settings.accdb"}, 2, "unexpected argument 'settings.accdb'"},
        {"VELACTL", {}, 2, "velactl: missing command"},
        {"VELACTL", {"--help"}, 0, "Commands:\n  encode"},
        {"VELACTL", {"--version"}, 0, "velactl (Vela) "},
        {"VELACTL", {"--bogus", "db"}, 2, "velactl: unknown option '--bogus'"},
        {"VELACTL", {"--dir"}, 2, "--dir needs a value"},
        {"VELACTL", {"--user-data", "--dir=/tmp", "db"}, 2, "cannot be used together"},
        {"VELACTL", {"frobnicate"}, 2, "velactl: unknown command 'frobnicate'"},
        {"VELA_SIM", {"--version"}, 0, "vela-sim (Vela) "},
        {"VELA_SIM", {"radio"}, 2, "vela-sim: unknown command 'radio'"},
        {"VELA_SIM", {"tracker", "--version"}, 0, "vela-sim tracker (Vela) "},
        {"VELA_SIM", {"tracker", "--port=1", "--imei=12345"}, 2, "the IMEI must be 15"},
        {"VELA_SIM",
         {"tracker", "--port", "1", "--short-answer", "--no-answer"},
         2,
         "exclude each other"},
        {"VELA_SIM", {"tracker", "--port", "1", "--answer"}, 2, "unknown option '--answer'"},
        {"VELA_TEST_SERVER", {"--port", "0", "--bind", "::1"}, 2, "bad --bind: ::1"},
        {"VELA_TEST_SERVER", {"--port", "0", "--bind=localhost"}, 2, "bad --bind: localhost"},
    };
    for (const Case& c : cases) {
        const RunResult result = run(c.program, c.args);
        const std::string where = std::string(c.program) + " " + ::testing::PrintToString(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << where << "\n" << result.err;
        const std::string& shown = c.exitCode == 0 ? result.out : result.err;
        EXPECT_NE(shown.find(c.shown), std::string::npos) << where << "\n" << shown;
        if (c.exitCode == 2) {
            EXPECT_NE(result.err.find("Usage: "), std::string::npos) << where;
        }
    }
}

TEST(CommandLines, TheDataDirectoryIsChosenByOptionThenEnvironmentThenStartDirectory) {
    TempDir start, chosen, environment, xdg;
    const std::string userData = (xdg.path() / "vela").string();
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> args;
        std::string expected;  // the directory that gets settings.accdb
    };
    const Case cases[] = {
        {{}, {"db", "init"}, start.path().string()},
        {{"VELA_DIR=" + environment.path().string()}, {"db", "init"}, environment.path().string()},
        {{"VELA_DIR=" + environment.path().string()},
         {"--dir", chosen.path().string(), "db", "init"},
         chosen.path().string()},
        {{"VELA_DIR=" + environment.path().string()},
         {"db", "init", "--dir=" + chosen.path().string()},
         chosen.path().string()},
        {{"XDG_DATA_HOME=" + xdg.path().string(), "VELA_DIR=" + environment.path().string()},
         {"--user-data", "db", "init"},
         userData},
    };
    for (const Case& c : cases) {
        const std::string where =
            ::testing::PrintToString(c.env) + " " + ::testing::PrintToString(c.args);
        const RunResult result = run("VELACTL", c.args, c.env, start.path());
        EXPECT_EQ(result.exitCode, 0) << where << "\n" << result.err;
        for (const auto& dir : {start.path().string(), chosen.path().string(),
                                environment.path().string(), userData}) {
            const auto file = std::filesystem::path(dir) / "settings.accdb";
            EXPECT_EQ(std::filesystem::exists(file), dir == c.expected) << where << ": " << file;
            std::filesystem::remove(file);
        }
    }
    struct stat info {};
    ASSERT_EQ(::stat(userData.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << "the user's data directory is owner-only";
}

// Every help text fits a terminal of 80 columns.
TEST(CommandLines, HelpIsWrappedAt80Columns) {
    const std::vector<std::vector<std::string>> commands = {{"--help"},
                                                            {"history", "--help"},
                                                            {"go", "--help"},
                                                            {"listen", "--help"},
                                                            {"check-port", "--help"},
                                                            {"sms", "--help"},
                                                            {"pdu", "--help"},
                                                            {"modem", "check", "--help"},
                                                            {"trackers", "add", "--help"},
                                                            {"trackers", "import", "--help"},
                                                            {"settings", "set", "--help"},
                                                            {"campaign", "--help"},
                                                            {"campaign", "run", "--help"},
                                                            {"campaign", "join", "--help"},
                                                            {"trackers", "--help"},
                                                            {"db", "--help"},
                                                            {"db", "migrate", "--help"}};
    for (const auto& args : commands) {
        const RunResult result = run("VELACTL", args);
        EXPECT_EQ(result.exitCode, 0) << ::testing::PrintToString(args);
        std::size_t start = 0;
        for (std::size_t end; (end = result.out.find('\n', start)) != std::string::npos;
             start = end + 1) {
            EXPECT_LE(end - start, 80u)
                << ::testing::PrintToString(args) << ": " << result.out.substr(start, end - start);
        }
    }
}

// A reader that stops early ends the listing quietly: no signal, no message, status 0.
TEST(CommandLines, AClosedOutputPipeEndsTheCommandQuietly) {
    TempDir data;
    std::string csv = "Imei,Phone,APN\n";
    for (int i = 0; i < 20000; ++i)
        csv += std::to_string(356000000000000 + i) + ",3706" + std::to_string(i) + ",internet\n";
    writeFile(data / "fleet.csv", csv);
    ASSERT_EQ(run("VELACTL", {"trackers", "import", "--dir", data.path().string(),
                              (data / "fleet.csv").string()})
                  .exitCode,
              0);
    for (const char* listing : {"trackers list", "trackers export"}) {
        const RunResult result = runProgram({"/bin/bash", "-c",
                                             "set -o pipefail; \"$0\" --dir \"$1\" " +
                                                 std::string(listing) + " | head -n 1 >/dev/null",
                                             toolPath("VELACTL"), data.path().string()},
                                            30s);
        EXPECT_EQ(result.exitCode, 0) << listing << "\n" << result.err;
        EXPECT_EQ(result.err, "") << listing;
    }
}

// The completion and the action pages are generated from velactl's own definitions:
// every level completes, a value list or a device is offered after its option, and
// each action has its page with its second-level options.
TEST(CommandLines, CompletionAndPagesComeFromTheDefinitions) {
    TempDir out;
    const RunResult generated =
        runProgram({(sourceDir() / "scripts" / "gen-cli-reference").string(), toolPath("VELACTL"),
                    out.path().string(), "1.0"},
                   120s);
    ASSERT_EQ(generated.exitCode, 0) << generated.err;
    // bash-completion's helpers, reduced to what the function needs.
    const std::string stubs =
        "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; "
        "cur=${words[cword]}; prev=${words[cword-1]}; split=false; }\n"
        "_filedir() { COMPREPLY=(FILES$1); }\n";
    const struct {
        std::string line;  // the words typed; the last one is being completed
        std::vector<std::string> offered;
        std::vector<std::string> notOffered;
    } cases[] = {
        {"velactl db ", {"init", "backup", "check", "migrate"}, {}},
        {"velactl --dir /tmp tr", {"trackers"}, {}},
        {"velactl trackers add --auth ", {"none", "chap", "pap"}, {}},
        {"velactl campaign run --pro", {"--progress"}, {}},
        {"velactl campaign run --progress ", {"line", "json", "none"}, {}},
        {"velactl campaign run --modem ", {}, {"run", "resume", "--json"}},
        {"velactl campaign run --config ", {"FILES"}, {}},
        {"velactl settings set --", {"--external-ip", "--database-file"}, {}},
        {"velactl db migrate --", {"--to", "--from"}, {}},
        {"velactl history --verdict no", {"no-call"}, {}},
        {"velactl go --dir ", {"FILES-d"}, {}},
    };
    for (const auto& c : cases) {
        const std::string script =
            stubs + "source '" + (out / "velactl.bash-completion").string() + "'\n" +
            "read -r -a COMP_WORDS <<<'" + c.line + "'\n" +
            (c.line.back() == ' ' ? "COMP_WORDS+=('')\n" : "") +
            "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _velactl; printf '%s\\n' \"${COMPREPLY[@]}\"";
        const RunResult completed = runProgram({"/bin/bash", "-c", script}, 30s);
        std::set<std::string> offered;
        std::istringstream lines(completed.out);
        for (std::string word; std::getline(lines, word);) offered.insert(word);
        for (const std::string& word : c.offered)
            EXPECT_TRUE(offered.count(word)) << c.line << " -> " << completed.out << completed.err;
        for (const std::string& word : c.notOffered)
            EXPECT_FALSE(offered.count(word)) << c.line << " -> " << completed.out;
    }
    const RunResult page =
        runProgram({"/bin/sh", "-c",
                    "gzip -dc '" + (out / "man" / "velactl-settings-set.1.gz").string() + "'"},
                   30s);
    EXPECT_NE(page.out.find("--external-ip"), std::string::npos);
    EXPECT_NE(page.out.find("VELA_TRACE"), std::string::npos);
    for (const char* action : {"velactl-campaign-report.1.gz", "velactl-db-migrate.1.gz",
                               "velactl-modem-check.1.gz", "velactl-go.1.gz"})
        EXPECT_TRUE(std::filesystem::exists(out / "man" / action)) << action;
}

// The menu entry's command: the window opens on the user's data directory, made for it.
TEST(CommandLines, TheWindowStartsInTheUserDataDirectory) {
    TempDir xdg;
    const RunResult result = run("VELA_BIN", {"--user-data"},
                                 {"QT_QPA_PLATFORM=offscreen", "VELA_EXIT_WHEN_SHOWN=1",
                                  "XDG_DATA_HOME=" + xdg.path().string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("vela: shown after"), std::string::npos) << result.out;
    EXPECT_TRUE(std::filesystem::is_directory(xdg.path() / "vela"));
}

}  // namespace
}  // namespace vela::test
