#include "modem/modem_replies.h"
#include "modem/serial_probe.h"
#include "modem/serial_trace.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>

namespace vela {
namespace {

constexpr StepVerdict kPending = StepVerdict::Pending;
constexpr StepVerdict kSuccess = StepVerdict::Success;
constexpr StepVerdict kFailure = StepVerdict::Failure;
constexpr StepVerdict kBusy = StepVerdict::SimBusy;

struct JudgeRow {
    StepJudgement (*judge)(std::string_view);
    const char* reply;
    StepVerdict verdict;
    const char* reason;  // the start of the reason
};

TEST(ModemReplies, JudgesDecideOnFinalLinesAndIgnoreNotifications) {
    const JudgeRow rows[] = {
        {JudgeOkReply, "\r\nOK\r\n", kSuccess, ""},
        {JudgeOkReply, "ATQ0\r\r\nOK\r\n", kSuccess, ""},
        {JudgeOkReply, "\r\nRING\r\n\r\n+CMTI: \"SM\",3\r\n", kPending, ""},
        {JudgeOkReply, "\r\nOK", kPending, ""},
        {JudgeOkReply, "\r\nERROR\r\n", kFailure, "the modem answered \"ERROR\""},
        {JudgeOkReply, "\r\n+CMS ERROR: 330\r\n", kFailure,
         "the modem answered \"+CMS ERROR: 330\" (SMSC address unknown)"},
        {JudgeOkReply, "\r\n+CMS ERROR: 38\r\n", kFailure,
         "the modem answered \"+CMS ERROR: 38\" (network out of order)"},
        {JudgeOkReply, "\r\n+CME ERROR: 999\r\n", kFailure,
         "the modem answered \"+CME ERROR: 999\""},
        {JudgeOkReply, "\r\n+CME ERROR: 1\r\n\r\nOK\r\n", kFailure, "the modem answered"},
        {JudgeSimReply, "\r\n+CPIN: READY\r\n\r\nOK\r\n", kSuccess, ""},
        {JudgeSimReply, "\r\n+CPIN: READY\r\n\r\n+CMTI: \"SM\",3\r\n\r\nRING\r\n\r\nOK\r\n",
         kSuccess, ""},
        {JudgeSimReply, "\r\n+CPIN: READY\r\n\r\n+CREG: 1\r\n", kPending, ""},
        {JudgeSimReply, "\r\n+CPIN: READY\r\n\r\nOK\r\n\r\nERROR\r\n", kFailure,
         "the modem answered"},
        {JudgeSimReply, "\r\n+CME ERROR: 10\r\n", kFailure,
         "the modem answered \"+CME ERROR: 10\" (SIM not inserted)"},
        {JudgeSimReply, "\r\n+CME ERROR: 14\r\n", kBusy,
         "the modem answered \"+CME ERROR: 14\" (SIM busy)"},
        {JudgeSimReply, "\r\n+CME ERROR: SIM busy\r\n", kBusy, "the modem answered"},
        {JudgeSimReply, "\r\n+CME ERROR: 14\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n", kSuccess, ""},
        {JudgeSimReply, "\r\n+CPIN: SIM PIN\r\n", kFailure,
         "the modem answered \"+CPIN: SIM PIN\" (the SIM asks for its PIN"},
        {JudgeSimReply, "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", kFailure,
         "the modem answered \"+CPIN: SIM PUK\" (the SIM is blocked"},
        {JudgeSimReply, "\r\n+CPIN: PH-SIM PIN\r\n", kFailure,
         "the modem answered \"+CPIN: PH-SIM PIN\""},
        {JudgePromptReply, "\r\n> ", kSuccess, ""},
        {JudgePromptReply, "\r\n>", kSuccess, ""},
        {JudgePromptReply, ">", kSuccess, ""},
        {JudgePromptReply, "\r\n\r\n> ", kSuccess, ""},
        {JudgePromptReply, "\r\n^RSSI: 17\r\n> ", kSuccess, ""},
        {JudgePromptReply, "\r\n+CMT: \"a>b\"\r\n", kPending, ""},
        // Lines a modem sends on its own at any moment decide nothing.
        {JudgeOkReply, "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nCall Ready\r\n",
         kPending, ""},
        {JudgeOkReply, "\r\nSMS Ready\r\n\r\n^BOOT:1,0,0,4\r\n\r\n^MODE:5,4\r\n\r\nOK\r\n",
         kSuccess, ""},
        {JudgeOkReply, "\r\n+CGREG: 1\r\n\r\n+CDSI: \"SR\",3\r\n\r\n+CMS ERROR: 500\r\n", kFailure,
         "the modem answered \"+CMS ERROR: 500\""},
        {JudgeSimReply, "\r\n^RSSI: 20\r\n+CPIN: READY\r\n\r\nOK\r\n", kSuccess, ""},
        {JudgePromptReply, "\r\n+CMS ERROR: 304\r\n", kFailure,
         "the modem answered \"+CMS ERROR: 304\" (invalid PDU mode parameter)"},
    };
    for (const JudgeRow& row : rows) {
        SCOPED_TRACE(row.reply);
        const StepJudgement judged = row.judge(row.reply);
        EXPECT_EQ(judged.verdict, row.verdict);
        EXPECT_EQ(judged.reason.rfind(row.reason, 0), 0u) << judged.reason;
    }
}

TEST(ModemReplies, MessageReferenceOfTheAcceptedMessage) {
    const std::vector<std::pair<std::string, std::optional<int>>> rows = {
        {"\r\n+CMGS: 12\r\n\r\nOK\r\n", 12},
        {"\r\n+CMGS:255\r\n\r\nOK\r\n", 255},
        {"\r\n^RSSI: 9\r\n+CMGS: 0,\"26/12/08,10:15:30+08\"\r\nOK\r\n", 0},
        {"\r\nOK\r\n", std::nullopt},
        {"\r\n+CMGS: 256\r\n", std::nullopt},
        {"\r\n+CMGS: 12x\r\n", std::nullopt},
        {"\r\n+CMGS: 12", std::nullopt},  // the line is not whole yet
    };
    for (const auto& [reply, reference] : rows) {
        EXPECT_EQ(FindMessageReference(reply), reference) << reply;
    }
}

TEST(ModemReplies, TimeoutReasonsSayWhatWasSeen) {
    EXPECT_EQ(DescribeTimeout("", 6000), "no reply within 6000 ms");
    EXPECT_EQ(DescribeTimeout("ATQ0\r\n0\r", 6000)
                  .rfind("the modem answers with numeric result codes", 0),
              0u);
    EXPECT_EQ(DescribeTimeout("\r\n+CREG: 2\r\n", 16000),
              "no awaited reply within 16000 ms; last line read: \"+CREG: 2\"");
    // Modem bytes never reach the operator's terminal raw.
    EXPECT_EQ(DescribeTimeout("\x1b[2J\r\n", 6000).find('\x1b'), std::string::npos);
}

TEST(ModemReplies, SignalAndRegistrationInWords) {
    EXPECT_EQ(SignalDbm(0), -113);
    EXPECT_EQ(SignalDbm(31), -51);
    EXPECT_EQ(SignalDbm(99), std::nullopt);
    EXPECT_EQ(RegistrationMeaning(5), "registered, roaming");
    EXPECT_EQ(RegistrationMeaning(7), "unknown");
}

// A fake sysfs and /dev: a USB adapter with a stable name, one without, an on-board UART
// that is there and one the kernel keeps without hardware, and a virtual terminal.
TEST(SerialProbe, ListsFromSysfsWithoutOpening) {
    namespace fs = std::filesystem;
    test::TempDir root;
    const fs::path sys = root / "sys";
    const fs::path dev = root / "dev";
    auto write = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    };
    auto usb = [&](const std::string& tty, const std::string& device, bool described) {
        const fs::path usbDevice = sys / "devices/pci0000:00/usb1" / device;
        write(usbDevice / "idVendor", "12d1");
        write(usbDevice / "idProduct", "1001");
        if (described) {
            write(usbDevice / "manufacturer", "Acme");
            write(usbDevice / "product", "GSM Modem");
            write(usbDevice / "serial", "A1B2");
        }
        const fs::path port = usbDevice / (device + ":1.0") / tty;
        fs::create_directories(port);
        fs::create_directories(sys / "class/tty" / tty);
        fs::create_symlink(port, sys / "class/tty" / tty / "device");
    };
    usb("ttyUSB0", "1-1", true);
    usb("ttyACM0", "1-2", false);
    fs::create_directories(dev / "serial/by-id");
    fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-Acme_GSM_Modem_A1B2-if00-port0");
    for (const auto& [tty, type] : {std::pair{"ttyS0", "4"}, std::pair{"ttyS1", "0"}}) {
        const fs::path platform = sys / "devices/platform/serial8250" / tty;
        fs::create_directories(platform);
        write(sys / "class/tty" / tty / "type", type);
        fs::create_symlink(platform, sys / "class/tty" / tty / "device");
    }
    fs::create_directories(sys / "class/tty/tty1");  // a virtual terminal: no device

    const std::vector<ProbedPort> ports = ListSerialPorts(sys, dev);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].name, (dev / "serial/by-id/usb-Acme_GSM_Modem_A1B2-if00-port0").string());
    EXPECT_EQ(ports[0].description, "Acme GSM Modem, serial number A1B2 (ttyUSB0)");
    EXPECT_EQ(ports[1].name, (dev / "ttyACM0").string());
    EXPECT_EQ(ports[1].description, "USB 12d1:1001 (ttyACM0)");
    EXPECT_EQ(ports[2].name, "COM1");
}

TEST(SerialTrace, OwnerOnlyLinesWithTimeDirectionAndEscapedBytes) {
    test::TempDir dir;
    const auto path = dir / "trace";
    {
        auto trace = SerialTrace::Create(path);
        ASSERT_TRUE(trace.ok()) << trace.message();
        (*trace)->Record(TraceDirection::Written, "ATQ0\r\n", 6);
        (*trace)->Record(TraceDirection::Read, "\r\n> \x1b", 5);
    }
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string text = test::readFile(path);
    const std::string timestamp = "[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\.[0-9][0-9][0-9]";
    EXPECT_TRUE(std::regex_match(text, std::regex(timestamp + " > ATQ0\\\\r\\\\n\n" + timestamp +
                                                  " < \\\\r\\\\n> \\\\x1B\n")))
        << text;
    // A link planted in the trace's place is not followed.
    std::filesystem::create_symlink(dir / "target", dir / "planted");
    EXPECT_FALSE(SerialTrace::Create(dir / "planted").ok());
    EXPECT_FALSE(std::filesystem::exists(dir / "target"));
    // A whole PDU is longer than a message shows of a text: the trace keeps every byte.
    const std::string pdu(400, 'A');
    {
        auto trace = SerialTrace::Create(dir / "long");
        ASSERT_TRUE(trace.ok()) << trace.message();
        (*trace)->Record(TraceDirection::Written, pdu.data(), pdu.size());
    }
    EXPECT_NE(test::readFile(dir / "long").find(" > " + pdu + "\n"), std::string::npos);
}

}  // namespace
}  // namespace vela
