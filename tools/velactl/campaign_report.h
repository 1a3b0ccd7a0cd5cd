#pragma once

// What `velactl campaign status` and `campaign report` make of a campaign's rows: the
// totals by state, the rows as CSV, and a self-contained HTML page (no network: styles
// and the chart are inline).
#include "storage/campaign_records.h"

#include <string>
#include <vector>

namespace velactl {

struct CampaignTotals {
    int trackers = 0;
    int configured = 0;
    int failed = 0;
    int waiting = 0;  // an SMS on its way or sent, the call awaited
    int pending = 0;
};
CampaignTotals TotalsOf(const std::vector<vela::CampaignTrackerRecord>& rows);
// Counts one more row (for rows read one at a time).
void AddToTotals(CampaignTotals& totals, const vela::CampaignTrackerRecord& row);
// "totals: 6 trackers, 5 configured, 1 failed, 0 waiting, 0 pending"
std::string TotalsLine(const CampaignTotals& totals);

// A header of the JSON keys of `campaign status --json`, then one record per tracker.
std::string CampaignCsv(const std::vector<vela::CampaignTrackerRecord>& rows);

std::string CampaignHtml(const vela::CampaignRecord& campaign,
                         const std::vector<vela::CampaignTrackerRecord>& rows);

}  // namespace velactl
