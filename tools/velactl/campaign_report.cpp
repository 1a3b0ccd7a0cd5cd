#include "campaign_report.h"

#include "campaign/campaign_engine.h"
#include "storage/csv.h"

#include <QDateTime>
#include <QString>
#include <algorithm>
#include <map>

namespace velactl {

namespace {

std::string html(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
        .toHtmlEscaped()
        .toStdString();
}

// Seconds since the Unix epoch of an RFC 3339 time; nothing when it is not one.
std::optional<qint64> secondsOf(const std::string& time) {
    const QDateTime parsed = QDateTime::fromString(QString::fromStdString(time), Qt::ISODate);
    if (!parsed.isValid()) return std::nullopt;
    return parsed.toSecsSinceEpoch();
}

// Configured and failed trackers over time, as two step lines in an inline SVG.
std::string chart(const std::vector<vela::CampaignTrackerRecord>& rows, int total) {
    struct Point {
        qint64 at;
        bool configured;
    };
    std::vector<Point> ends;
    for (const vela::CampaignTrackerRecord& row : rows) {
        if (row.state != "configured" && row.state != "failed") continue;
        if (const auto at = secondsOf(row.updatedAt))
            ends.push_back({*at, row.state == "configured"});
    }
    constexpr int kWidth = 640, kHeight = 240, kMargin = 40;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
                      "\" role=\"img\" aria-label=\"configured and failed over time\">"
                      "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>";
    if (ends.empty() || total == 0)
        return svg + "<text x=\"20\" y=\"40\">no tracker has finished</text></svg>";
    std::sort(ends.begin(), ends.end(), [](const Point& a, const Point& b) { return a.at < b.at; });
    const qint64 first = ends.front().at;
    const qint64 span = std::max<qint64>(1, ends.back().at - first);
    const auto x = [&](qint64 at) {
        return kMargin +
               static_cast<double>(at - first) / static_cast<double>(span) * (kWidth - 2 * kMargin);
    };
    const auto y = [&](int count) {
        return kHeight - kMargin - static_cast<double>(count) / total * (kHeight - 2 * kMargin);
    };
    std::string configured = "M" + std::to_string(x(first)) + "," + std::to_string(y(0));
    std::string failed = configured;
    int configuredCount = 0, failedCount = 0;
    for (const Point& end : ends) {
        std::string& path = end.configured ? configured : failed;
        int& count = end.configured ? configuredCount : failedCount;
        path += " H" + std::to_string(x(end.at)) + " V" + std::to_string(y(++count));
    }
    configured += " H" + std::to_string(x(ends.back().at));
    failed += " H" + std::to_string(x(ends.back().at));
    svg += "<line x1=\"" + std::to_string(kMargin) + "\" y1=\"" + std::to_string(y(0)) +
           "\" x2=\"" + std::to_string(kWidth - kMargin) + "\" y2=\"" + std::to_string(y(0)) +
           "\" stroke=\"#888\"/>";
    svg += "<path d=\"" + configured + "\" fill=\"none\" stroke=\"#2e7d32\" stroke-width=\"2\"/>";
    svg += "<path d=\"" + failed + "\" fill=\"none\" stroke=\"#c62828\" stroke-width=\"2\"/>";
    svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"20\" fill=\"#2e7d32\">configured " +
           std::to_string(configuredCount) +
           "</text><text x=\"200\" y=\"20\" fill=\"#c62828\">failed " +
           std::to_string(failedCount) + "</text><text x=\"" + std::to_string(kMargin) + "\" y=\"" +
           std::to_string(kHeight - 10) + "\">" +
           html(rows.empty() ? "" : "over " + std::to_string(span) + " s") + "</text></svg>";
    return svg;
}

}  // namespace

void AddToTotals(CampaignTotals& totals, const vela::CampaignTrackerRecord& row) {
    ++totals.trackers;
    switch (vela::CampaignTrackerStateFromWord(row.state).value_or(
        vela::CampaignTrackerState::Pending)) {
        case vela::CampaignTrackerState::Configured:
            ++totals.configured;
            break;
        case vela::CampaignTrackerState::Failed:
            ++totals.failed;
            break;
        case vela::CampaignTrackerState::Sending:
        case vela::CampaignTrackerState::Waiting:
            ++totals.waiting;
            break;
        case vela::CampaignTrackerState::Pending:
            ++totals.pending;
            break;
    }
}

CampaignTotals TotalsOf(const std::vector<vela::CampaignTrackerRecord>& rows) {
    CampaignTotals totals;
    for (const vela::CampaignTrackerRecord& row : rows) AddToTotals(totals, row);
    return totals;
}

std::string TotalsLine(const CampaignTotals& totals) {
    return "totals: " + std::to_string(totals.trackers) + " trackers, " +
           std::to_string(totals.configured) + " configured, " + std::to_string(totals.failed) +
           " failed, " + std::to_string(totals.waiting) + " waiting, " +
           std::to_string(totals.pending) + " pending";
}

std::string CampaignCsv(const std::vector<vela::CampaignTrackerRecord>& rows) {
    std::string out = vela::formatCsvRecord({"tracker", "phone", "state", "attempts", "last_event",
                                             "verdict", "detail", "modem_port", "caller_address",
                                             "answer", "updated_at", "station"});
    for (const vela::CampaignTrackerRecord& row : rows) {
        std::vector<std::string> fields = {
            row.tracker,       row.phone,   row.state,     std::to_string(row.attempts),
            row.lastEvent,     row.verdict, row.detail,    row.modemPort,
            row.callerAddress, row.answer,  row.updatedAt, row.station};
        // Texts from trackers and modems never become spreadsheet formulas.
        for (std::string& field : fields) field = vela::EscapeSpreadsheetCell(field);
        out += vela::formatCsvRecord(fields);
    }
    return out;
}

std::string CampaignHtml(const vela::CampaignRecord& campaign,
                         const std::vector<vela::CampaignTrackerRecord>& rows) {
    const CampaignTotals totals = TotalsOf(rows);
    // Per modem: the trackers whose last SMS went through it, by how they ended.
    std::map<std::string, std::pair<int, int>> modems;
    for (const vela::CampaignTrackerRecord& row : rows) {
        if (row.modemPort.empty()) continue;
        auto& [configured, failed] = modems[row.modemPort];
        configured += row.state == "configured" ? 1 : 0;
        failed += row.state == "failed" ? 1 : 0;
    }
    const std::string id = std::to_string(campaign.id);
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>Campaign " +
        id +
        "</title><style>"
        "body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:2px 8px;text-align:left}"
        ".configured{background:#e8f5e9;color:#1b5e20}.failed{background:#ffebee;color:#b71c1c}"
        ".waiting,.sending{background:#fff8e1}.pending{color:#555}"
        "</style></head><body>\n<h1>Campaign " +
        id + "</h1>\n<p>" + html(campaign.configFile) + ", created " + html(campaign.createdAt) +
        ", " + html(campaign.state) +
        ".</p>\n<h2>Totals</h2>\n<table><tr><th>trackers</th>"
        "<th>configured</th><th>failed</th><th>waiting</th><th>pending</th></tr><tr><td>" +
        std::to_string(totals.trackers) + "</td><td class=\"configured\">" +
        std::to_string(totals.configured) + "</td><td class=\"failed\">" +
        std::to_string(totals.failed) + "</td><td>" + std::to_string(totals.waiting) + "</td><td>" +
        std::to_string(totals.pending) +
        "</td></tr></table>\n"
        "<h2>Over time</h2>\n" +
        chart(rows, totals.trackers) +
        "\n<h2>Modems</h2>\n<table><tr><th>modem</th><th>configured</th><th>failed</th></tr>";
    for (const auto& [port, counts] : modems) {
        page += "<tr><td>" + html(port) + "</td><td>" + std::to_string(counts.first) + "</td><td>" +
                std::to_string(counts.second) + "</td></tr>";
    }
    page +=
        "</table>\n<h2>Trackers</h2>\n<table><tr><th>tracker</th><th>state</th>"
        "<th>attempts</th><th>verdict</th><th>detail</th><th>modem</th><th>updated</th></tr>\n";
    for (const vela::CampaignTrackerRecord& row : rows) {
        page += "<tr class=\"" + html(row.state) + "\"><td>" + html(row.tracker) + "</td><td>" +
                html(row.state) + "</td><td>" + std::to_string(row.attempts) + "</td><td>" +
                html(row.verdict) + "</td><td>" + html(row.detail) + "</td><td>" +
                html(row.modemPort) + "</td><td>" + html(row.updatedAt) + "</td></tr>\n";
    }
    return page + "</table>\n</body></html>\n";
}

}  // namespace velactl
