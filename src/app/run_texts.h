#pragma once

// The texts of the main window's lines, buttons and message boxes, each defined once.
namespace vela::texts {

// Status line.
inline constexpr const char* kIdle = "Idle...";
inline constexpr const char* kStartingPushSms = "Starting the push sms creation";
inline constexpr const char* kPushSmsSending = "Push sms sending...";
inline constexpr const char* kSkippingPushSms = "Skipping the push sms creation";
inline constexpr const char* kWaitingForConnection = "Waiting for incoming connection...";
inline constexpr const char* kSendingTestMessage = "Sending the test message to ";
inline constexpr const char* kWelcome = "Welcome ";  // + IMEI + "!"
inline constexpr const char* kWelcomeEnd = "!";
inline constexpr const char* kTestCompleted = "Test completed successfully!";
inline constexpr const char* kCatchNewConfig = "Catch the new config...";       // + length
inline constexpr const char* kDoneReceivedAnswer = "Done, received answer...";  // + lengths
// A session that ends without its result.
inline constexpr const char* kClosedBeforeIdentified =
    "Connection closed by the tracker before it identified itself";
inline constexpr const char* kClosedBeforeAnswer =
    "Connection closed by the tracker before it answered";
inline constexpr const char* kConnectionFailed = "Connection to the tracker failed: ";  // + reason
// A caller with another IMEI: "%1" what it sent, "%2" what the run waits for.
inline constexpr const char* kUnexpectedCaller = "Unexpected caller IMEI %1, waiting for %2";
// A caller dropped before it identified itself; the run waits on.
inline constexpr const char* kCallerSilent = "A caller sent no identification within %1 s";
inline constexpr const char* kCallerDropped = "Too many callers waiting; the oldest was dropped";

// The verdict line of the window: the word, and the detail after ": ".
inline constexpr const char* kVerdictConfigured = "Configured";
inline constexpr const char* kVerdictRejected = "Rejected";
inline constexpr const char* kVerdictHungUp = "Hung up";
inline constexpr const char* kVerdictWrongCaller = "Wrong caller";
inline constexpr const char* kVerdictNoCall = "No call";
inline constexpr const char* kVerdictSmsFailed = "SMS failed";
inline constexpr const char* kVerdictFileRefused = "File refused";
inline constexpr const char* kVerdictListenFailed = "Listening failed";
inline constexpr const char* kVerdictPortChecked = "Port checked";
inline constexpr const char* kVerdictPortCheckFailed = "Port check failed";
inline constexpr const char* kVerdictAnswerUnknown = "Answer unknown";
// "%1" of "%2" bytes: the count the tracker reported and the image's length.
inline constexpr const char* kAnswerCount = "%1 of %2 bytes";
inline constexpr const char* kShortAnswer = "short answer (%1 bytes)";
inline constexpr const char* kStoppedByOperator = "stopped by the operator";
inline constexpr const char* kWindowClosed = "window closed";
inline constexpr const char* kNoAnswerBeforeEnd = "no answer before the wait ended";
// velactl's error line for a rejected image, followed by the "N of M bytes" detail.
inline constexpr const char* kTrackerReported = "The tracker reported ";

// Device and file lines.
inline constexpr const char* kDeviceImei = "Device IMEI: ";
inline constexpr const char* kConfigurationFile = "Configuration file: ";

// Run buttons.
inline constexpr const char* kStopCaption = "Stop!!!";
inline constexpr const char* kLetsGoCaption = "Let's Go";          // the window's first caption
inline constexpr const char* kLetsGoRestCaption = "Let's Go!!!!";  // every later rest
inline constexpr const char* kListenCaption = "Listen";
inline constexpr const char* kCheckPortCaption = "Check port";

// Message boxes.
// "%1": the port, "%2": the system's reason.
inline constexpr const char* kCannotListen = "Cannot listen on port %1: %2";
inline constexpr const char* kTestServerDown = "Test server is down.. Try again later!";
// Closing the tracker list when the stored trackers could not be read at start-up.
// "%1": the number of trackers in the list.
inline constexpr const char* kReplaceUnreadTrackers =
    "The stored tracker list could not be read when Vela started, so this list may not "
    "hold the stored trackers.\n\nReplace the stored trackers with the %1 tracker(s) of "
    "this list?";
inline constexpr const char* kTrackersNotSaved =
    "The tracker list was not saved: the stored trackers could not be read when Vela "
    "started and are kept as they are.";

}  // namespace vela::texts
