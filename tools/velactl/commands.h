#pragma once

#include <string>
#include <vector>

// Each subcommand of velactl gets the arguments after its name and returns the exit
// status: 0 success, 1 failure, 2 usage error (3: a --timeout ran out).
namespace velactl {

using Args = std::vector<std::string>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTimeout = 3;

int RunEncode(const Args& args);     // cmd_encode.cpp
int RunDecode(const Args& args);     // cmd_decode.cpp
int RunDb(const Args& args);         // cmd_db.cpp
int RunSettings(const Args& args);   // cmd_settings.cpp
int RunTrackers(const Args& args);   // cmd_trackers.cpp
int RunPdu(const Args& args);        // cmd_pdu.cpp
int RunSms(const Args& args);        // cmd_sms.cpp
int RunModem(const Args& args);      // cmd_modem.cpp
int RunListen(const Args& args);     // cmd_runs.cpp
int RunGo(const Args& args);         // cmd_runs.cpp
int RunCheckPort(const Args& args);  // cmd_runs.cpp
int RunHistory(const Args& args);    // cmd_history.cpp
int RunCampaign(const Args& args);   // cmd_campaign.cpp
int RunStation(const Args& args);    // cmd_station.cpp

}  // namespace velactl
