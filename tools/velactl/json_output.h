#pragma once

// The one JSON writer of velactl: every --json output is built from these objects and
// printed by these functions. Keys are snake_case and mean the same in every command
// (tracker, phone, verdict, started_at...); times are RFC 3339 in UTC; texts are UTF-8
// (bytes that are not become U+FFFD); no password is ever written. docs/json.md lists
// every output and its keys.
#include "storage/campaign_records.h"
#include "storage/campaign_storage.h"
#include "storage/history_store.h"
#include "storage/program_settings.h"
#include "storage/station_options.h"
#include "storage/tracker_entry.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <string_view>

namespace velactl {

QString JsonText(std::string_view bytes);
// The current time as RFC 3339 in UTC, to the millisecond.
QString JsonTimeNow();

QJsonObject SettingsJson(const vela::ProgramSettings& settings,
                         const vela::StationOptions& options);
QJsonObject TrackerJson(const vela::TrackerEntry& tracker);  // without its passwords
QJsonObject HistoryJson(const vela::HistoryRecord& record);
QJsonObject CampaignJson(const vela::CampaignRecord& campaign);
QJsonObject CampaignTrackerJson(const vela::CampaignTrackerRecord& row);
QJsonObject CampaignStationJson(const vela::CampaignStationRecord& station);

// An array, one element per line between the brackets.
void PrintJsonArray(const QJsonArray& array);
// One object on one line, flushed: a line of an event stream.
void PrintJsonLine(const QJsonObject& object, std::FILE* out = stdout);

}  // namespace velactl
