// vela-sim modem: a GSM modem on a pseudo-terminal. It answers the AT dialogue of the
// wake-up SMS, checks and decodes the PDU, and with --deliver plays the network by
// starting a simulated tracker against the address carried in the SMS.
#include "sim_commands.h"
#include "sim_modem_pdu.h"

#include "common/command_line.h"
#include "common/number.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace velasim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

volatile std::sig_atomic_t gStop = 0;

void onStopSignal(int) {
    gStop = 1;
}

enum class Behaviour {
    kNormal,
    kEcho,
    kSplit,
    kSlow,
    kSilent,
    kSimPin,
    kCpinError,
    kNoPrompt,
    kNoFinalOk,
    kNotifyReady,
    kSimBusy,
    kCmsError,
    kCmgfError,
    kStuckPrompt,
    kNumeric,
    kChatty,
    kBarePrompt,
    kCms500,
    kReportCdsi,
    kReportWrongMemory,
    kUndelivered,
    kUnsolicited
};

struct BehaviourName {
    const char* name;
    Behaviour behaviour;
};
constexpr BehaviourName kBehaviours[] = {
    {"normal", Behaviour::kNormal},
    {"echo", Behaviour::kEcho},
    {"split", Behaviour::kSplit},
    {"slow", Behaviour::kSlow},
    {"silent", Behaviour::kSilent},
    {"sim-pin", Behaviour::kSimPin},
    {"cpin-error", Behaviour::kCpinError},
    {"no-prompt", Behaviour::kNoPrompt},
    {"no-final-ok", Behaviour::kNoFinalOk},
    {"notify-ready", Behaviour::kNotifyReady},
    {"sim-busy", Behaviour::kSimBusy},
    {"cms-error", Behaviour::kCmsError},
    {"cmgf-error", Behaviour::kCmgfError},
    {"stuck-prompt", Behaviour::kStuckPrompt},
    {"numeric", Behaviour::kNumeric},
    {"chatty", Behaviour::kChatty},
    {"bare-prompt", Behaviour::kBarePrompt},
    {"cms-500", Behaviour::kCms500},
    {"report-cdsi", Behaviour::kReportCdsi},
    {"report-wrong-memory", Behaviour::kReportWrongMemory},
    {"undelivered", Behaviour::kUndelivered},
    {"unsolicited", Behaviour::kUnsolicited},
};

constexpr milliseconds kSlowDelay{1500};     // well inside the dialogue's 6 s limits
constexpr milliseconds kSplitSpacing{30};    // so that pieces arrive in separate reads
constexpr milliseconds kDeliveryDelay{500};  // the network takes a moment
constexpr milliseconds kIdlePause{20};       // while no one holds the line open
constexpr int kBusyAnswers = 2;              // sim-busy: "SIM busy" this many times first
constexpr milliseconds kReportDelay{300};    // from the accepted message to its report
constexpr milliseconds kStreamSpacing{150};  // unsolicited: a status line this often
constexpr std::size_t kStoredReports = 20;   // the status-report memory's room

struct Options {
    std::string link;
    Behaviour behaviour = Behaviour::kNormal;
    bool deliver = false;
    std::vector<std::string> trackerArgs;
    std::vector<std::string> undeliverable;  // numbers whose messages never arrive
    milliseconds smsDelay{0};  // from the message to its +CMGS, as a network takes
};

void line(const std::string& text) {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

// Returns 0 to go on, or the exit status (after help or a usage error).
int parseOptions(const Args& args, Options& options) {
    std::string behaviours;
    for (const BehaviourName& b : kBehaviours)
        behaviours += std::string(behaviours.empty() ? "" : ", ") + b.name;
    vela::CommandLine commandLine(
        "vela-sim modem",
        "vela-sim modem [--link PATH] [--behaviour NAME] [--deliver] [--tracker-arg ARG]...\n"
        "               [--undeliverable NUMBER]...",
        "A GSM modem on a pseudo-terminal. Prints 'modem: /dev/pts/N' once ready;\n"
        "--link also makes PATH a symbolic link to it (removed at exit).\n"
        "Behaviours: normal (default), echo (echoes everything, ignores ATE0),\n"
        "  split (replies in several writes), slow (each reply 1.5 s late), silent,\n"
        "  sim-pin, cpin-error, no-prompt (no '> ' after AT+CMGS), no-final-ok,\n"
        "  notify-ready (a notification line between READY and OK), sim-busy ('+CME ERROR:\n"
        "  14' to the first two AT+CPIN?), cms-error ('+CMS ERROR: 330' after the message),\n"
        "  cmgf-error (ERROR to AT+CMGF), stuck-prompt (the first message is swallowed and\n"
        "  the modem stays in its '> ' prompt until ESC), numeric (numeric result codes),\n"
        "  chatty (start-up lines, then a line of its own before every reply: ^RSSI,\n"
        "  ^BOOT, ^MODE, +CREG, +CGREG, +CMTI), bare-prompt ('>' after a blank line),\n"
        "  cms-500 ('+CMS ERROR: 500' after the message), report-cdsi (status reports only\n"
        "  stored, announced as +CDSI), report-wrong-memory (stored in SR, announced in SM),\n"
        "  undelivered (every message reported as not delivered), unsolicited (start-up\n"
        "  lines, then status lines every 150 ms, whatever is going on).\n"
        "A message that asks for a status report gets one after 300 ms when AT+CNMI set\n"
        "  <ds>: as +CDS with <ds>=1, stored in SR and announced as +CDSI with <ds>=2.\n"
        "--deliver: after accepting an SMS, start 'vela-sim tracker --host H --port P\n"
        "  ARG...' with the loopback address and port carried in the SMS.\n"
        "Stops on SIGINT or SIGTERM.");
    commandLine.option("--link", "PATH", "a symbolic link to the line")
        .option("--behaviour", "NAME", behaviours, "--behavior")
        .flag("--deliver", "play the network: deliver accepted messages to a simulated tracker")
        .option("--sms-delay", "MS", "the reply to each message comes MS late (default 0)")
        .repeatable("--tracker-arg", "ARG", "an argument for the delivered tracker")
        .repeatable("--undeliverable", "NUMBER",
                    "messages to NUMBER are reported as not delivered, and not delivered");
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> parsed = commandLine.parse(args, exitCode);
    if (!parsed) return exitCode == 0 ? -1 : exitCode;
    options.link = parsed->valueOr("--link", "");
    options.deliver = parsed->has("--deliver");
    options.trackerArgs = parsed->values("--tracker-arg");
    options.undeliverable = parsed->values("--undeliverable");
    if (const auto delay = parsed->value("--sms-delay")) {
        const auto ms = vela::parseWholeNumber(*delay, 0, 60000);
        if (!ms) return commandLine.usageError("--sms-delay takes 0 to 60000 ms");
        options.smsDelay = milliseconds(*ms);
    }
    if (const auto name = parsed->value("--behaviour")) {
        const auto* found = std::find_if(std::begin(kBehaviours), std::end(kBehaviours),
                                         [&](const BehaviourName& b) { return *name == b.name; });
        if (found == std::end(kBehaviours)) {
            return commandLine.usageError("unknown behaviour '" + *name + "'");
        }
        options.behaviour = found->behaviour;
    }
    return 0;
}

bool isLoopback(const std::string& host) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    return (ntohl(address.s_addr) >> 24) == 127;
}

class Modem {
public:
    Modem(int master, const Options& options) : master_(master), options_(options) {
        // Real modems start with echo on; ATE0 turns it off.
        echo_ = options.behaviour != Behaviour::kSilent;
    }

    ~Modem() { stopTrackers(); }

    void Run() {
        std::vector<char> buffer(4096);
        while (gStop == 0) {
            reapTrackers();
            startDueDeliveries();
            sendDueReports();
            streamStatusLines();
            flushDueOutput();
            int timeout = 100;
            if (!output_.empty()) {
                const auto wait =
                    std::chrono::ceil<milliseconds>(output_.front().due - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
            }
            pollfd p{master_, POLLIN, 0};
            const int r = ::poll(&p, 1, timeout);
            if (r <= 0) continue;
            if ((p.revents & POLLIN) != 0) {
                const ssize_t n = ::read(master_, buffer.data(), buffer.size());
                if (n > 0) {
                    Feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
                    continue;
                }
            }
            // No one holds the line open (EIO or hang-up): look again shortly.
            std::this_thread::sleep_for(kIdlePause);
        }
    }

private:
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };

    void Feed(std::string_view bytes) {
        if (!used_ && options_.behaviour == Behaviour::kUnsolicited) {
            // The modem has just come up as the line is opened: its start-up lines.
            send(
                "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nCall Ready\r\n\r\nSMS "
                "Ready\r\n",
                false);
            nextStatusLine_ = Clock::now() + kStreamSpacing;
        }
        used_ = true;
        if (options_.behaviour == Behaviour::kEcho ||
            (echo_ && options_.behaviour != Behaviour::kSilent)) {
            send(std::string(bytes), true);
        }
        for (char c : bytes) {
            if (inPdu_ && stuck_) {
                // An aborted run left the modem here: only ESC gets it out.
                if (c == '\x1B') {
                    inPdu_ = false;
                    stuck_ = false;
                    pdu_.clear();
                    line("stuck-prompt: left the prompt on ESC");
                }
                continue;
            }
            if (inPdu_) {
                if (c == '\x1A') {
                    inPdu_ = false;
                    handlePdu(pdu_);
                    pdu_.clear();
                } else if (c == '\x1B') {
                    inPdu_ = false;
                    pdu_.clear();
                    line("sms: cancelled with ESC");
                } else if (c == '\r' || c == '\n') {
                    // A line end inside the PDU: the sender gave up and talks commands.
                    if (!pdu_.empty()) {
                        inPdu_ = false;
                        handleCommand(pdu_);
                        pdu_.clear();
                    }
                } else {
                    pdu_ += c;
                }
                continue;
            }
            if (c == '\r') {
                handleCommand(command_);
                command_.clear();
            } else if (c != '\n') {
                command_ += c;
            }
        }
    }

    void handleCommand(const std::string& raw) {
        std::string command;
        for (char c : raw) {
            if (!std::isspace(static_cast<unsigned char>(c))) {
                command += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        if (command.empty()) return;
        line("command: " + Printable(raw));
        if (command == "AT" || command == "ATQ0" || command == "ATQ" || command == "ATZ") {
            reply("\r\nOK\r\n");
        } else if (command == "ATE0") {
            echo_ = false;
            reply("\r\nOK\r\n");
        } else if (command == "ATE1" || command == "ATE") {
            echo_ = true;
            reply("\r\nOK\r\n");
        } else if (options_.behaviour == Behaviour::kCmgfError &&
                   command.rfind("AT+CMGF", 0) == 0) {
            reply("\r\nERROR\r\n");
        } else if (command == "AT+CMGF=0" || command == "AT+CMGF=1") {
            pduMode_ = command.back() == '0';
            reply("\r\nOK\r\n");
        } else if (command == "ATI") {
            reply("\r\nVela simulated GSM modem\r\n\r\nOK\r\n");
        } else if (command == "AT+CSQ") {
            reply("\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
        } else if (command == "AT+CREG?") {
            reply("\r\n+CREG: 0,1\r\n\r\nOK\r\n");
        } else if (command == "AT+CSCA?") {
            reply("\r\n+CSCA: \"+15550100\",145\r\n\r\nOK\r\n");
        } else if (command == "AT+CMGF?") {
            reply(std::string("\r\n+CMGF: ") + (pduMode_ ? "0" : "1") + "\r\n\r\nOK\r\n");
        } else if (command == "AT+CPIN?") {
            if (options_.behaviour == Behaviour::kSimPin) {
                reply("\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
            } else if (options_.behaviour == Behaviour::kCpinError) {
                reply("\r\nERROR\r\n");
            } else if (options_.behaviour == Behaviour::kSimBusy && busyAnswers_ < kBusyAnswers) {
                ++busyAnswers_;
                reply("\r\n+CME ERROR: 14\r\n");
            } else if (options_.behaviour == Behaviour::kNotifyReady) {
                reply("\r\n+CPIN: READY\r\n\r\n+CMTI: \"SM\",3\r\n\r\nRING\r\n\r\nOK\r\n");
            } else {
                reply("\r\n+CPIN: READY\r\n\r\nOK\r\n");
            }
        } else if (command == "AT+CNMI=?") {
            reply("\r\n+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\n\r\nOK\r\n");
        } else if (command.rfind("AT+CNMI=", 0) == 0) {
            setIndications(command.substr(8));
        } else if (command.rfind("AT+CPMS=\"", 0) == 0 && command.size() >= 12) {
            memory_ = command.substr(9, 2);
            reply("\r\n+CPMS: " + std::to_string(stored(memory_)) + "," +
                  std::to_string(kStoredReports) + "\r\n\r\nOK\r\n");
        } else if (command.rfind("AT+CMGR=", 0) == 0 || command.rfind("AT+CMGD=", 0) == 0) {
            readOrDelete(command.substr(3, 4), command.substr(8));
        } else if (command.rfind("AT+CMGS=", 0) == 0) {
            const std::string number = command.substr(8);
            const bool numeric = !number.empty() && number.size() < 5 &&
                                 std::all_of(number.begin(), number.end(),
                                             [](char c) { return c >= '0' && c <= '9'; });
            if (!pduMode_ || !numeric) {
                reply("\r\n+CMS ERROR: 304\r\n");
            } else if (options_.behaviour == Behaviour::kNoPrompt) {
                line("no-prompt: the '> ' prompt is withheld");
            } else {
                announced_ = std::stoi(number);
                inPdu_ = true;
                if (options_.behaviour == Behaviour::kStuckPrompt && !stuckUsed_) {
                    stuckUsed_ = true;
                    stuck_ = true;
                    line("stuck-prompt: the message will be swallowed");
                }
                reply(options_.behaviour == Behaviour::kBarePrompt ? "\r\n\r\n>" : "\r\n> ");
            }
        } else {
            reply("\r\nERROR\r\n");
        }
    }

    void handlePdu(const std::string& hex) {
        line("pdu: " + hex);
        std::string error;
        const std::optional<PushSms> sms = DecodePushSms(hex, error);
        if (!sms) {
            line("pdu-error: " + error);
            reply("\r\n+CMS ERROR: 304\r\n");
            return;
        }
        if (sms->tpduOctets != announced_) {
            line("length: announced " + std::to_string(announced_) + ", the PDU holds " +
                 std::to_string(sms->tpduOctets) + " octets: mismatch");
            reply("\r\n+CMS ERROR: 304\r\n");
            return;
        }
        line("length: " + std::to_string(announced_) + " (matches the PDU)");
        char type[8];
        std::snprintf(type, sizeof type, "%02X", sms->addressType);
        line("address: " + Printable(sms->address) + " (type " + type + ")");
        line("destination port: " +
             (sms->destinationPort ? std::to_string(*sms->destinationPort) : std::string("none")));
        line("originator port: " +
             (sms->originatorPort ? std::to_string(*sms->originatorPort) : std::string("none")));
        if (sms->bodyError.empty()) {
            line("sms user: " + Printable(sms->smsUser));
            line("sms password: " + Printable(sms->smsPassword));
            line("ip: " + Printable(sms->ip));
            line("port: " + std::to_string(sms->port));
            line("apn: " + Printable(sms->apn));
            line("gprs user: " + Printable(sms->gprsUser));
            line("gprs password: " + Printable(sms->gprsPassword));
        } else {
            line("body-error: " + sms->bodyError);
        }
        if (options_.behaviour == Behaviour::kCmsError ||
            options_.behaviour == Behaviour::kCms500) {
            const std::string code = options_.behaviour == Behaviour::kCmsError ? "330" : "500";
            reply("\r\n+CMS ERROR: " + code + "\r\n");
            line("sms: refused with +CMS ERROR: " + code);
            return;
        }
        ++reference_;
        // Nothing goes out before the delay: an empty piece holds the queue back.
        if (options_.smsDelay.count() > 0)
            output_.push_back({Clock::now() + options_.smsDelay, {}});
        const std::string accepted = "\r\n+CMGS: " + std::to_string(reference_) + "\r\n";
        if (options_.behaviour == Behaviour::kNoFinalOk) {
            reply(accepted);
        } else {
            reply(accepted + "\r\nOK\r\n");
        }
        line("sms: accepted as message " + std::to_string(reference_));
        const bool undeliverable =
            options_.behaviour == Behaviour::kUndelivered ||
            std::find(options_.undeliverable.begin(), options_.undeliverable.end(), sms->address) !=
                options_.undeliverable.end();
        if ((sms->firstOctet & 0x20) != 0) scheduleReports(*sms, undeliverable);
        if (undeliverable) {
            line("sms: " + sms->address + " cannot be reached");
        } else if (options_.deliver) {
            scheduleDelivery(*sms);
        }
    }

    // AT+CNMI=<mode>,<mt>,<bm>,<ds>[,<bfr>]: only <ds> matters here. report-cdsi and
    // report-wrong-memory take no reports on the line.
    void setIndications(const std::string& values) {
        std::vector<std::string> fields(1);
        for (char c : values) {
            if (c == ',')
                fields.emplace_back();
            else
                fields.back() += c;
        }
        const bool storingOnly = options_.behaviour == Behaviour::kReportCdsi ||
                                 options_.behaviour == Behaviour::kReportWrongMemory;
        if (fields.size() < 4 || fields.size() > 5 ||
            (fields[3] != "0" && fields[3] != "1" && fields[3] != "2") ||
            (storingOnly && fields[3] == "1")) {
            reply("\r\nERROR\r\n");
            return;
        }
        ds_ = fields[3][0] - '0';
        line("indications: status reports " + std::string(ds_ == 0   ? "off"
                                                          : ds_ == 1 ? "on the line"
                                                                     : "stored"));
        reply("\r\nOK\r\n");
    }

    std::size_t stored(const std::string& memory) const {
        return static_cast<std::size_t>(
            std::count_if(stored_.begin(), stored_.end(),
                          [&](const auto& e) { return e.first.first == memory; }));
    }

    // AT+CMGR / AT+CMGD on the memory chosen with AT+CPMS; reports are kept in SR.
    void readOrDelete(const std::string& verb, const std::string& number) {
        const bool numeric =
            !number.empty() && number.size() < 4 &&
            std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
        const auto found = numeric ? stored_.find({memory_, std::stoi(number)}) : stored_.end();
        if (found == stored_.end()) {
            reply("\r\n+CMS ERROR: 321\r\n");  // invalid memory index
        } else if (verb == "CMGR") {
            reply("\r\n+CMGR: 0,," + std::to_string(found->second.size() / 2 - 1) + "\r\n" +
                  found->second + "\r\n\r\nOK\r\n");
        } else {
            line("report: deleted " + memory_ + " " + number);
            stored_.erase(found);
            reply("\r\nOK\r\n");
        }
    }

    // The network's answer for a message that asked for it: delivered, or for one that
    // cannot be delivered a "still trying" first, then its failure.
    void scheduleReports(const PushSms& sms, bool undeliverable) {
        if (ds_ == 0) {
            line("report: none, the indications are off");
            return;
        }
        const auto due = Clock::now() + kReportDelay;
        const std::time_t now = std::time(nullptr);
        if (undeliverable) {
            reports_.push_back(
                {due, StatusReportPdu(reference_, sms.address, sms.addressType, 0x22, now)});
            reports_.push_back({due + kReportDelay, StatusReportPdu(reference_, sms.address,
                                                                    sms.addressType, 0x46, now)});
        } else {
            reports_.push_back(
                {due, StatusReportPdu(reference_, sms.address, sms.addressType, 0x00, now)});
        }
    }

    void sendDueReports() {
        while (!reports_.empty() && reports_.front().due <= Clock::now()) {
            const std::string pdu = reports_.front().bytes;
            reports_.pop_front();
            if (ds_ == 1) {
                send("\r\n+CDS: " + std::to_string(pdu.size() / 2 - 1) + "\r\n" + pdu + "\r\n",
                     false);
                line("report: +CDS " + pdu);
                continue;
            }
            int index = 1;
            while (stored_.count({"SR", index}) != 0) ++index;
            if (stored("SR") >= kStoredReports) {
                line("report: lost, the memory is full");
                continue;
            }
            stored_[{"SR", index}] = pdu;
            const char* announced =
                options_.behaviour == Behaviour::kReportWrongMemory ? "SM" : "SR";
            send("\r\n+CDSI: \"" + std::string(announced) + "\"," + std::to_string(index) + "\r\n",
                 false);
            line("report: stored in SR " + std::to_string(index) + ", announced in " + announced);
        }
    }

    // unsolicited: the status streams of a real modem, whatever the dialogue is doing.
    void streamStatusLines() {
        if (options_.behaviour != Behaviour::kUnsolicited || !used_ ||
            Clock::now() < nextStatusLine_) {
            return;
        }
        static constexpr const char* kLines[] = {
            "^RSSI: 17", "^BOOT:20618,0,0,0,4", "^MODE:5,4",      "+CREG: 2",
            "+CREG: 1",  "+CGREG: 1",           "+CMTI: \"SM\",2"};
        send(std::string("\r\n") + kLines[streamed_++ % std::size(kLines)] + "\r\n", false);
        nextStatusLine_ = Clock::now() + kStreamSpacing;
    }

    void reply(const std::string& text) {
        if (options_.behaviour == Behaviour::kSilent) return;
        if (options_.behaviour == Behaviour::kChatty) send(unsolicited(), false);
        send(options_.behaviour == Behaviour::kNumeric ? numericForm(text) : text, false);
    }

    // What a real modem says on its own: its start-up lines first, then one line of
    // its status streams in turn.
    std::string unsolicited() {
        static constexpr const char* kStreams[] = {"^RSSI: 17", "^BOOT:20618,0,0,0,4",
                                                   "^MODE:5,4", "+CREG: 1",
                                                   "+CGREG: 1", "+CMTI: \"SM\",2"};
        if (unsolicitedSent_++ == 0) {
            return "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nCall Ready\r\n\r\nSMS "
                   "Ready\r\n";
        }
        return std::string("\r\n") + kStreams[unsolicitedSent_ % std::size(kStreams)] + "\r\n";
    }

    // The reply of a modem set to numeric result codes (ATV0): "0" CR for OK, "4" CR for
    // ERROR, information lines without the leading line end.
    static std::string numericForm(std::string text) {
        for (const auto& [words, code] :
             {std::pair{std::string("\r\nOK\r\n"), std::string("0\r")},
              std::pair{std::string("\r\nERROR\r\n"), std::string("4\r")}}) {
            if (text.size() >= words.size() &&
                text.compare(text.size() - words.size(), words.size(), words) == 0) {
                text.replace(text.size() - words.size(), words.size(), code);
            }
        }
        if (text.rfind("\r\n", 0) == 0) text.erase(0, 2);
        return text;
    }

    // Queues bytes for the line; replies obey the slow and split behaviours, echoes go
    // out at once.
    void send(const std::string& text, bool isEcho) {
        Clock::time_point due = output_.empty() ? Clock::now() : output_.back().due;
        if (!isEcho && options_.behaviour == Behaviour::kSlow) due += kSlowDelay;
        if (!isEcho && options_.behaviour == Behaviour::kSplit) {
            // "O" then "K\r\n": pieces of one and three bytes, written apart.
            size_t at = 0;
            size_t size = 1;
            while (at < text.size()) {
                output_.push_back({due, text.substr(at, size)});
                at += size;
                size = size == 1 ? 3 : 1;
                due += kSplitSpacing;
            }
            return;
        }
        output_.push_back({due, text});
    }

    void flushDueOutput() {
        while (!output_.empty() && output_.front().due <= Clock::now()) {
            const std::string& bytes = output_.front().bytes;
            size_t done = 0;
            const auto limit = Clock::now() + std::chrono::seconds(2);
            while (done < bytes.size() && Clock::now() < limit) {
                const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
                if (n > 0) {
                    done += static_cast<size_t>(n);
                } else if (n < 0 && errno != EINTR) {
                    std::this_thread::sleep_for(milliseconds(5));
                }
            }
            output_.pop_front();
        }
    }

    void scheduleDelivery(const PushSms& sms) {
        if (!sms.bodyError.empty()) {
            line("deliver: refused: the SMS carries no readable address");
            return;
        }
        if (!isLoopback(sms.ip)) {
            line("deliver: refused: " + Printable(sms.ip) + " is not a loopback address");
            return;
        }
        deliveries_.push_back({Clock::now() + kDeliveryDelay, sms.ip, sms.port});
    }

    void startDueDeliveries() {
        while (!deliveries_.empty() && deliveries_.front().due <= Clock::now()) {
            const Delivery delivery = deliveries_.front();
            deliveries_.pop_front();
            startTracker(delivery.host, delivery.port);
        }
    }

    void startTracker(const std::string& host, int port) {
        std::error_code ec;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        if (ec) {
            line("deliver: cannot find this program: " + ec.message());
            return;
        }
        std::vector<std::string> argv = {self, "tracker", "--host",
                                         host, "--port",  std::to_string(port)};
        argv.insert(argv.end(), options_.trackerArgs.begin(), options_.trackerArgs.end());
        std::vector<char*> cargv;
        for (std::string& arg : argv) cargv.push_back(arg.data());
        cargv.push_back(nullptr);
        std::fflush(stdout);
        const pid_t pid = ::fork();
        if (pid < 0) {
            line(std::string("deliver: cannot start the tracker: ") + std::strerror(errno));
            return;
        }
        if (pid == 0) {
            const int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, 0);
            ::execv(cargv[0], cargv.data());
            _exit(127);
        }
        trackers_.push_back(pid);
        line("deliver: tracker started (pid " + std::to_string(pid) + ") for " + host + ":" +
             std::to_string(port));
    }

    static std::string describeStatus(int status) {
        if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
        return "ended";
    }

    void reapTrackers() {
        for (auto it = trackers_.begin(); it != trackers_.end();) {
            int status = 0;
            if (::waitpid(*it, &status, WNOHANG) == *it) {
                line("tracker: pid " + std::to_string(*it) + " " + describeStatus(status));
                it = trackers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // At exit: ask the trackers to end, then insist after two seconds.
    void stopTrackers() {
        for (pid_t pid : trackers_) ::kill(pid, SIGTERM);
        const auto limit = Clock::now() + std::chrono::seconds(2);
        while (!trackers_.empty() && Clock::now() < limit) {
            reapTrackers();
            if (!trackers_.empty()) std::this_thread::sleep_for(kIdlePause);
        }
        for (pid_t pid : trackers_) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            line("tracker: pid " + std::to_string(pid) + " " + describeStatus(status));
        }
        trackers_.clear();
    }

    struct Delivery {
        Clock::time_point due;
        std::string host;
        int port;
    };

    int master_;
    const Options& options_;
    bool echo_ = true;
    bool pduMode_ = false;
    bool inPdu_ = false;
    bool stuck_ = false;      // stuck-prompt: in the prompt until ESC
    bool stuckUsed_ = false;  // stuck-prompt: only the first message is swallowed
    int busyAnswers_ = 0;
    int announced_ = 0;
    int reference_ = 0;
    std::size_t unsolicitedSent_ = 0;
    std::string command_;
    std::string pdu_;
    std::deque<Pending> output_;
    std::deque<Delivery> deliveries_;
    std::deque<Pending> reports_;                                // status reports due
    std::map<std::pair<std::string, int>, std::string> stored_;  // memory, index -> PDU
    std::string memory_ = "SM";                                  // chosen with AT+CPMS
    int ds_ = 0;                                                 // <ds> of AT+CNMI
    bool used_ = false;                                          // a byte came in since the start
    std::size_t streamed_ = 0;
    Clock::time_point nextStatusLine_{};
    std::vector<pid_t> trackers_;
};

// Owns the pseudo-terminal pair and the link; both go at scope exit.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::string link;
    ~Terminal() {
        if (!link.empty()) ::unlink(link.c_str());
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
    }
};

}  // namespace

int RunSimModem(const Args& args) {
    Options options;
    if (const int status = parseOptions(args, options); status != 0) return status < 0 ? 0 : status;

    Terminal terminal;
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    if (::openpty(&terminal.master, &terminal.slave, name, &raw, nullptr) != 0) {
        std::fprintf(stderr, "vela-sim modem: no pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    // The simulator keeps the slave side open itself, so the line (and its raw
    // settings) lives on while Vela opens and closes it.
    ::fcntl(terminal.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal.slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal.master, F_SETFL, ::fcntl(terminal.master, F_GETFL) | O_NONBLOCK);

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    line(std::string("modem: ") + name);
    if (!options.link.empty()) {
        struct stat info {};
        if (::lstat(options.link.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) {
                std::fprintf(stderr, "vela-sim modem: %s exists and is not a link\n",
                             options.link.c_str());
                return 1;
            }
            ::unlink(options.link.c_str());
        }
        if (::symlink(name, options.link.c_str()) != 0) {
            std::fprintf(stderr, "vela-sim modem: cannot link %s: %s\n", options.link.c_str(),
                         std::strerror(errno));
            return 1;
        }
        terminal.link = options.link;
        line("link: " + options.link);
    }

    {
        Modem modem(terminal.master, options);
        modem.Run();
    }
    line("modem: stopped");
    return 0;
}

}  // namespace velasim
