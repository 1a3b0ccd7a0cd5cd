#include "campaign/campaign_setup.h"

#include "common/imei.h"
#include "config/config_reader.h"
#include "modem/push_message.h"
#include "modem/serial_port.h"
#include "storage/tracker_list.h"

#include <unistd.h>

#include <algorithm>
#include <set>

namespace vela {

namespace {

std::string joinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string hexText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<ConfigImage> imageFromHex(std::string_view hex) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > ConfigImage::kCapacity) return std::nullopt;
    ConfigImage image;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        image.bytes[i / 2] = static_cast<uint8_t>(high * 16 + low);
    }
    image.length = static_cast<uint16_t>(hex.size() / 2);
    return image;
}

}  // namespace

Result<std::map<int, ConfigImage>> DecodeCampaignImages(const std::string& text) {
    std::map<int, ConfigImage> images;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        const std::size_t space = line.find(' ');
        int type = -1;
        if (space != std::string_view::npos && space > 0 && space < 4) {
            type = 0;
            for (char c : line.substr(0, space)) {
                type = (c >= '0' && c <= '9') ? type * 10 + (c - '0') : -1;
                if (type < 0) break;
            }
        }
        const std::optional<ConfigImage> image =
            type < 0 ? std::nullopt : imageFromHex(line.substr(space + 1));
        if (!image) {
            return Result<std::map<int, ConfigImage>>::Fail(
                "the stored image of the campaign is damaged", StatusCode::Invalid);
        }
        images[type] = *image;
    }
    return images;
}

namespace {

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// Settings that would send trackers nowhere, refused before anything is sent.
Status checkReachable(const ProgramSettings& settings, const std::vector<std::string>& modems) {
    if (settings.externalIp == 0 || settings.externalIp == 0xFFFFFFFFu) {
        return Status::Invalid("the external address " + formatIpv4(settings.externalIp) +
                               " cannot be called by a tracker: set it in the settings or "
                               "with --external-ip");
    }
    if (settings.externalPort <= 0 || settings.externalPort > 65535) {
        return Status::Invalid("the external port " + std::to_string(settings.externalPort) +
                               " is not a port a tracker can call: set it in the settings "
                               "or with --external-port");
    }
    if (settings.localPort < 0 || settings.localPort > 65535) {
        return Status::Invalid("the listening port of the settings (" +
                               std::to_string(settings.localPort) + ") is not a port");
    }
    if (modems.empty() ||
        std::any_of(modems.begin(), modems.end(), [](const std::string& m) { return m.empty(); })) {
        return Status::Invalid(
            "no modem is given: set the modem port in the settings or "
            "give --modem");
    }
    return Status::Ok();
}

}  // namespace

Status CheckModemsOpen(const std::vector<std::string>& modems) {
    for (const std::string& modem : modems) {
        SerialPort port;
        if (Status opened = port.Open(modem); !opened) {
            return Status::Unavailable("modem " + modem + " cannot be opened: " + opened.message());
        }
    }
    return Status::Ok();
}

Result<int64_t> CreateCampaign(const StorageEngine& store, const CampaignStorage& campaigns,
                               const CampaignRequest& request) {
    ProgramSettings settings;
    if (Status loaded = store.loadSettings(settings); !loaded) return loaded;
    TrackerList list;
    TrackerListStamp stamp;
    if (Status loaded = store.loadTrackers(list, stamp); !loaded) return loaded;

    std::vector<std::string> chosen;
    std::set<std::string> seen;
    auto choose = [&](const std::string& description) {
        if (seen.insert(description).second) chosen.push_back(description);
    };
    if (request.allTrackers) {
        for (const TrackerEntry& entry : list.entries()) choose(entry.description);
    } else {
        for (const std::string& description : request.trackers) choose(description);
    }
    if (chosen.empty()) return Result<int64_t>::Fail("no tracker chosen", StatusCode::Invalid);

    std::vector<std::string> unknown, notImei, unsendable;
    std::vector<CampaignTrackerRecord> rows;
    rows.reserve(chosen.size());
    std::set<int> deviceTypes;
    // By description, the first of each: a search of the list per chosen tracker would
    // grow with the square of a fleet.
    std::unordered_map<std::string, int> index;
    index.reserve(list.entries().size());
    for (std::size_t i = 0; i < list.entries().size(); ++i)
        index.try_emplace(list.entries()[i].description, static_cast<int>(i));
    for (const std::string& description : chosen) {
        const auto found = index.find(description);
        if (found == index.end()) {
            unknown.push_back(description);
            continue;
        }
        const TrackerEntry& entry = list.entries()[static_cast<std::size_t>(found->second)];
        if (!IsImei(description)) notImei.push_back(description);
        if (Result<std::string> pdu = BuildPushMessage(entry, settings); !pdu) {
            unsendable.push_back(description + " (" + pdu.message() + ")");
        }
        deviceTypes.insert(entry.deviceType);
        CampaignTrackerRecord row;
        row.position = static_cast<int64_t>(rows.size());
        row.tracker = description;
        row.phone = entry.phone;
        rows.push_back(std::move(row));
    }
    std::string refusal;
    auto refuse = [&](const char* what, const std::vector<std::string>& names) {
        if (!names.empty())
            refusal += (refusal.empty() ? "" : "; ") + std::string(what) + joinNames(names);
    };
    refuse("unknown trackers: ", unknown);
    refuse("descriptions that are not IMEIs (15 digits): ", notImei);
    refuse("no wake-up SMS can be built for: ", unsendable);
    if (!refusal.empty()) return Result<int64_t>::Fail(refusal, StatusCode::Invalid);

    CampaignRecord campaign;
    std::error_code ec;
    const std::filesystem::path fullPath = std::filesystem::absolute(request.configFile, ec);
    campaign.configFile = (ec ? request.configFile : fullPath).string();
    // The image is encoded once per device type and kept with the campaign.
    for (int type : deviceTypes) {
        auto image = std::make_unique<ConfigImage>();
        if (Status read = ReadConfigFile(request.configFile, type, *image); !read) {
            return Result<int64_t>::Fail(
                std::string(kErrorInXmlFile) + (read.message().empty() ? "" : " " + read.message()),
                StatusCode::Invalid);
        }
        campaign.images += (campaign.images.empty() ? "" : "\n") + std::to_string(type) + " " +
                           hexText(image->view());
    }
    campaign.configSha256 = request.configSha256;
    campaign.createdAt = HistoryTimestamp();
    campaign.state = kCampaignInterrupted;  // not running until Run takes it
    campaign.modemPorts = request.modemPorts;
    if (campaign.modemPorts.empty()) campaign.modemPorts.push_back(settings.modemPort);
    campaign.waitSeconds = request.wait.count();
    campaign.attempts = request.attempts;
    return campaigns.create(campaign, rows);
}

Result<PreparedRun> PrepareRun(const StorageEngine& store, const CampaignStorage& campaigns,
                               int64_t id, const CampaignStationSettings& station) {
    PreparedRun run;
    Result<CampaignRecord> found = campaigns.campaign(id);
    if (!found) return found.status();
    run.campaign = std::move(found).value();
    Result<std::map<int, ConfigImage>> images = DecodeCampaignImages(run.campaign.images);
    if (!images) return images.status();
    run.images = std::move(images).value();
    if (Status loaded = store.loadSettings(run.settings); !loaded) return loaded;
    if (Status loaded = store.loadOptions(run.options); !loaded) return loaded;
    if (station.allowFrom) run.options.allowFrom = *station.allowFrom;
    if (station.deliveryReports) run.options.askForDeliveryReports = *station.deliveryReports;
    TrackerList trackers;
    TrackerListStamp stamp;
    if (Status loaded = store.loadTrackers(trackers, stamp); !loaded) return loaded;

    if (station.externalIp) run.settings.externalIp = *station.externalIp;
    if (station.externalPort) run.settings.externalPort = *station.externalPort;
    if (station.listenPort) run.settings.localPort = *station.listenPort;
    if (!station.modemPorts.empty()) run.campaign.modemPorts = station.modemPorts;
    run.smsPerMinute = station.smsPerMinute;
    if (Status usable = checkReachable(run.settings, run.campaign.modemPorts); !usable)
        return usable;
    run.wakeUps.reserve(static_cast<std::size_t>(trackers.count()));
    for (const TrackerEntry& entry : trackers.entries()) {
        PreparedRun::WakeUp wakeUp;
        wakeUp.deviceType = entry.deviceType;
        if (Result<std::string> pdu =
                BuildPushMessage(entry, run.settings, run.options.askForDeliveryReports);
            pdu)
            wakeUp.pushMessage = std::move(pdu).value();
        else
            wakeUp.refusal = pdu.message();
        run.wakeUps.try_emplace(entry.description, std::move(wakeUp));
    }
    run.listenPort = static_cast<uint16_t>(run.settings.localPort);
    run.station.name =
        station.name.empty() ? hostName() + ":" + std::to_string(::getpid()) : station.name;
    run.station.address =
        formatIpv4(run.settings.externalIp) + ":" + std::to_string(run.settings.externalPort);
    return run;
}

std::string HeldElsewhereText(const std::vector<std::string>& trackers) {
    return "trackers held by another running campaign, left for later: " + joinNames(trackers);
}

CampaignSummary SummarizeCampaign(const CampaignStorage& campaigns, int64_t id,
                                  const std::function<std::vector<CampaignTrackerRecord>()>& rows,
                                  std::string reason) {
    CampaignSummary summary;
    summary.id = id;
    bool finished = false;
    if (Result<CampaignRecord> stored = campaigns.campaign(id); stored) {
        summary.total = static_cast<int>(stored.value().total);
        summary.configured = static_cast<int>(stored.value().configured);
        summary.failed = static_cast<int>(stored.value().failed);
        finished = stored.value().state == kCampaignFinished;
    } else {
        const std::vector<CampaignTrackerRecord> held = rows();
        for (const CampaignTrackerRecord& row : held) {
            summary.configured += row.state == "configured";
            summary.failed += row.state == "failed";
        }
        summary.total = static_cast<int>(held.size());
        finished = summary.configured + summary.failed == summary.total;
    }
    // The delivery of every tracker's last SMS, from the stored rows when they can be read.
    Result<std::vector<CampaignTrackerRecord>> stored = campaigns.trackers(id);
    for (const CampaignTrackerRecord& row : stored ? std::move(stored).value() : rows()) {
        summary.delivered += row.delivery == kDeliveryDelivered;
        summary.undeliverable += row.delivery == kDeliveryUndeliverable;
        summary.unconfirmed += row.delivery == kDeliveryUnconfirmed;
    }
    if (summary.configured == summary.total)
        summary.end = CampaignEnd::AllConfigured;
    else if (!finished)
        summary.end = CampaignEnd::Interrupted;
    else
        summary.end = CampaignEnd::SomeFailed;
    if (summary.end == CampaignEnd::Interrupted) summary.reason = std::move(reason);
    return summary;
}

Result<std::unique_ptr<SerialTrace>> OpenModemTrace(const std::filesystem::path& file,
                                                    std::size_t modemIndex, SerialPort& port) {
    std::filesystem::path named = file;
    if (modemIndex > 0) named += "." + std::to_string(modemIndex + 1);
    Result<std::unique_ptr<SerialTrace>> created = SerialTrace::Create(named);
    if (created) port.setTrace(created.value().get());
    return created;
}

std::vector<BookTracker> BookTrackersOf(PreparedRun& run, std::vector<CampaignTrackerRecord> rows,
                                        bool once) {
    std::vector<BookTracker> trackers;
    trackers.reserve(rows.size());
    for (CampaignTrackerRecord& row : rows) {
        BookTracker tracker;
        const auto at = run.wakeUps.find(row.tracker);
        if (at == run.wakeUps.end()) {
            tracker.refusal = "the tracker is no longer in the tracker list";
        } else {
            const auto image = run.images.find(at->second.deviceType);
            if (image != run.images.end()) tracker.image = &image->second;
            if (once) {
                tracker.pushMessage = std::move(at->second.pushMessage);
                tracker.refusal = std::move(at->second.refusal);
                run.wakeUps.erase(at);
            } else {
                tracker.pushMessage = at->second.pushMessage;
                tracker.refusal = at->second.refusal;
            }
        }
        tracker.row = std::move(row);
        trackers.push_back(std::move(tracker));
    }
    return trackers;
}

}  // namespace vela
