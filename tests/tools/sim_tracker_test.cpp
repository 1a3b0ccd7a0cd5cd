// `vela-sim tracker` as a process, against a small stand-in for Vela on loopback.
#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

const std::string kDefaultImei = "356307042441013";
// The smallest image: three empty records (what a file without known tags encodes to).
const std::string kSmallestImage(
    "\x00\x0F\x44\x00\x03\x04\xF7\x00\x00\x04\xF8\x00\x00\x04\xF9\x00\x00", 17);

std::string identification(const std::string& imei = kDefaultImei) {
    return std::string("\x00\x0F", 2) + imei;
}

class SimTracker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vela_.valid()); }

    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {
            toolPath("VELA_SIM"),         "tracker",   "--host", "127.0.0.1", "--port",
            std::to_string(vela_.port()), "--timeout", "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        tracker_ = std::make_unique<ChildProcess>(argv);
        connection_ = vela_.accept(10s);
        ASSERT_TRUE(connection_.valid()) << tracker_->errors();
    }

    // Sends the image and returns everything the tracker sends until it closes its side;
    // then closes as Vela does after the answer.
    std::string SendImage(const std::string& image) {
        EXPECT_TRUE(connection_.sendAll(image));
        std::string answer;
        EXPECT_TRUE(connection_.readUntilClosed(answer, 10s));
        connection_.close();
        return answer;
    }

    int ExitCode() {
        const auto code = tracker_->wait(20s);
        EXPECT_TRUE(code.has_value());
        return code.value_or(-1);
    }

    LoopbackListener vela_;
    std::unique_ptr<ChildProcess> tracker_;
    LoopbackConnection connection_;
};

TEST_F(SimTracker, IdentifiesReceivesChecksAndAnswersTheLength) {
    Start();
    EXPECT_EQ(connection_.read(17, 10s), identification());
    EXPECT_EQ(SendImage(kSmallestImage), std::string("\x01\x00\x0F", 3));
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
    const std::string out = tracker_->output();
    EXPECT_NE(out.find("tracker: connected to 127.0.0.1:" + std::to_string(vela_.port())),
              std::string::npos);
    EXPECT_NE(out.find("tracker: received image of 17 bytes, 3 records"), std::string::npos);
    EXPECT_NE(out.find("tracker: answered 01 00 0F"), std::string::npos);
}

TEST_F(SimTracker, ImageInPiecesOfALargerSizeIsReadWhole) {
    // 300-byte value: length field 01 2C, rest length 0x0133; sent in two pieces.
    std::string image("\x01\x33\x44\x00\x01\x04\xDA\x01\x2C", 9);
    image += std::string(300, 'a');
    TempDir dir;
    Start({"--save-image", (dir / "got.bin").string()});
    EXPECT_EQ(connection_.read(17, 10s), identification());
    ASSERT_TRUE(connection_.sendAll(image.substr(0, 100)));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(SendImage(image.substr(100)), std::string("\x01\x01\x33", 3));
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
    EXPECT_NE(tracker_->output().find("received image of 309 bytes, 1 records"), std::string::npos);
    EXPECT_EQ(readFile(dir / "got.bin"), image);
}

TEST_F(SimTracker, SplitIdentificationArrivesInTwoPieces) {
    Start({"--split", "10", "--split-pause", "1000", "--imei", "123456789012345"});
    EXPECT_EQ(connection_.read(10, 10s), identification("123456789012345").substr(0, 10));
    // The rest is held back for the pause.
    EXPECT_FALSE(connection_.readable(200ms));
    EXPECT_EQ(connection_.read(7, 10s), identification("123456789012345").substr(10));
    SendImage(kSmallestImage);
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
}

TEST_F(SimTracker, PrefixGoesInFrontOfTheIdentification) {
    Start({"--prefix", "AA bb 00"});
    EXPECT_EQ(connection_.read(20, 10s), std::string("\xAA\xBB\x00", 3) + identification());
    SendImage(kSmallestImage);
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
}

TEST_F(SimTracker, ShortAnswerAndNoAnswer) {
    Start({"--short-answer"});
    connection_.read(17, 10s);
    EXPECT_EQ(SendImage(kSmallestImage), "\x01");
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
    EXPECT_NE(tracker_->output().find("tracker: answered 01\n"), std::string::npos);

    Start({"--no-answer"});
    connection_.read(17, 10s);
    EXPECT_EQ(SendImage(kSmallestImage), "");
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
    EXPECT_NE(tracker_->output().find("tracker: closed without answering"), std::string::npos);
}

TEST_F(SimTracker, CorruptImagesFailTheRunButAreStillAnswered) {
    struct Case {
        std::string image;
        const char* reason;
    };
    const Case cases[] = {
        {std::string("\x00\x0F\x45\x00\x03\x04\xF7\x00\x00\x04\xF8\x00\x00\x04\xF9\x00\x00", 17),
         "marker is 45"},
        {std::string("\x00\x0F\x44\x00\x04\x04\xF7\x00\x00\x04\xF8\x00\x00\x04\xF9\x00\x00", 17),
         "header counts 4 records, found 3"},
        {std::string("\x00\x09\x44\x00\x01\x04\xF7\x00\x09\x31\x32", 11), "runs past the end"},
        {std::string("\x00\x06\x44\x00\x01\x04\xF7\x00", 8), "cut short"},
        {std::string("\x00\x02\x44\x00", 4), "shorter than its 5-byte header"},
    };
    for (const Case& c : cases) {
        Start();
        connection_.read(17, 10s);
        const std::string answer = SendImage(c.image);
        EXPECT_EQ(answer, std::string("\x01", 1) + c.image.substr(0, 2)) << c.reason;
        EXPECT_EQ(ExitCode(), 1) << c.reason;
        EXPECT_NE(tracker_->errors().find(c.reason), std::string::npos) << tracker_->errors();
    }
}

TEST_F(SimTracker, ComparesWithItsOwnEncodingOfTheXmlFile) {
    TempDir dir;
    // A file without any known tag encodes to the smallest image.
    writeFile(dir / "empty.xml", "<config></config>\n");
    const std::string xml = (dir / "empty.xml").string();

    Start({"--expect-xml", xml});
    connection_.read(17, 10s);
    SendImage(kSmallestImage);
    EXPECT_EQ(ExitCode(), 0) << tracker_->errors();
    EXPECT_NE(tracker_->output().find("tracker: image matches " + xml), std::string::npos);

    // Well-formed but different: one value byte more.
    const std::string other(
        "\x00\x10\x44\x00\x03\x04\xF7\x00\x01\x31\x04\xF8\x00\x00\x04\xF9\x00\x00", 18);
    Start({"--expect-xml", xml});
    connection_.read(17, 10s);
    SendImage(other);
    EXPECT_EQ(ExitCode(), 1);
    EXPECT_NE(tracker_->errors().find("image differs from " + xml + ": first difference at byte 1"),
              std::string::npos)
        << tracker_->errors();
}

TEST_F(SimTracker, PeerClosingBeforeTheImageEndsFails) {
    Start();
    connection_.read(17, 10s);
    ASSERT_TRUE(connection_.sendAll(std::string("\x00\x0F\x44", 3)));
    connection_.close();
    EXPECT_EQ(ExitCode(), 1);
    EXPECT_NE(tracker_->errors().find("connection closed after 1 of 15 bytes"), std::string::npos)
        << tracker_->errors();
}

TEST(SimTrackerConnect, RetriesUntilTheListenerComesUp) {
    uint16_t port = 0;
    {
        LoopbackListener probe;
        ASSERT_TRUE(probe.valid());
        port = probe.port();
    }
    ChildProcess tracker({toolPath("VELA_SIM"), "tracker", "--port", std::to_string(port),
                          "--timeout", "20", "--no-answer"});
    std::this_thread::sleep_for(400ms);
    LoopbackListener late("127.0.0.1", port);
    if (!late.valid()) GTEST_SKIP() << "the port was taken meanwhile";
    auto connection = late.accept(10s);
    ASSERT_TRUE(connection.valid());
    EXPECT_EQ(connection.read(17, 10s), identification());
    connection.sendAll(kSmallestImage);
    EXPECT_EQ(tracker.wait(20s), std::optional<int>(0)) << tracker.errors();
}

TEST(SimTrackerConnect, GivesUpAtTheTimeOut) {
    uint16_t port = 0;
    {
        LoopbackListener probe;
        port = probe.port();
    }
    const RunResult r = runProgram(
        {toolPath("VELA_SIM"), "tracker", "--port", std::to_string(port), "--timeout", "1"}, 20s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
}

TEST(SimTrackerUsage, RefusesBadArguments) {
    const std::string sim = toolPath("VELA_SIM");
    EXPECT_EQ(runProgram({sim, "tracker"}).exitCode, 2);
    EXPECT_EQ(runProgram({sim, "tracker", "--port", "1", "--imei", "12345"}).exitCode, 2);
    EXPECT_EQ(runProgram({sim, "tracker", "--port", "1", "--prefix", "ABC"}).exitCode, 2);
    EXPECT_EQ(runProgram({sim, "tracker", "--port", "1", "--split", "17"}).exitCode, 2);
    EXPECT_EQ(runProgram({sim, "tracker", "--port", "0"}).exitCode, 2);
    EXPECT_EQ(runProgram({sim, "tracker", "--help"}).exitCode, 0);
}

}  // namespace
}  // namespace vela::test
