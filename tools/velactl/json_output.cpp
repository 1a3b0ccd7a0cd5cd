#include "json_output.h"

#include "storage/tracker_checks.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <cstdio>

namespace velactl {

namespace {

QJsonValue numberOrNull(const std::optional<int64_t>& value) {
    return value ? QJsonValue(static_cast<qint64>(*value)) : QJsonValue(QJsonValue::Null);
}

QString authWord(int32_t auth) {
    switch (auth) {
        case vela::kAuthNone:
            return QStringLiteral("none");
        case vela::kAuthChap:
            return QStringLiteral("chap");
        case vela::kAuthPap:
            return QStringLiteral("pap");
        default:
            return QString::number(auth);
    }
}

void print(const QByteArray& bytes, std::FILE* out = stdout) {
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
    std::fflush(out);
}

}  // namespace

QString JsonText(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString JsonTimeNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QJsonObject SettingsJson(const vela::ProgramSettings& settings,
                         const vela::StationOptions& options) {
    QJsonArray ranges;
    for (const vela::AddressRange& range : options.allowFrom.ranges())
        ranges.append(JsonText(range.Text()));
    return {{"external_ip", JsonText(vela::formatIpv4(settings.externalIp))},
            {"external_port", settings.externalPort},
            {"local_port", settings.localPort},
            {"timeout_seconds", settings.timeoutSeconds},
            {"modem_port", JsonText(settings.modemPort)},
            {"allow_from", ranges},
            {"delivery_reports", options.askForDeliveryReports}};
}

QJsonObject TrackerJson(const vela::TrackerEntry& tracker) {
    const bool knownType = tracker.deviceType >= 0 && static_cast<std::size_t>(tracker.deviceType) <
                                                          vela::kTrackerDeviceTypes.size();
    return {{"tracker", JsonText(tracker.description)},
            {"phone", JsonText(tracker.phone)},
            {"push_port", tracker.pushPort},
            {"apn", JsonText(tracker.apn)},
            {"auth", authWord(tracker.auth)},
            {"sms_user", JsonText(tracker.smsUser)},
            {"gprs_user", JsonText(tracker.gprsUser)},
            {"device_type",
             knownType
                 ? JsonText(vela::kTrackerDeviceTypes[static_cast<std::size_t>(tracker.deviceType)])
                 : QString::number(tracker.deviceType)}};
}

QJsonObject HistoryJson(const vela::HistoryRecord& record) {
    const std::string_view verdict = vela::VerdictWord(record.verdict);
    return {{"id", static_cast<qint64>(record.id)},
            {"started_at", JsonText(record.startedAt)},
            {"ended_at", JsonText(record.endedAt)},
            {"kind", JsonText(record.kind)},
            {"tracker", JsonText(record.tracker)},
            {"phone", JsonText(record.phone)},
            {"modem_port", JsonText(record.modemPort)},
            {"config_file", JsonText(record.configFile)},
            {"config_sha256", JsonText(record.configSha256)},
            {"image_bytes", static_cast<qint64>(record.imageBytes)},
            {"caller_address", JsonText(record.callerAddress)},
            {"caller_imei", JsonText(record.callerImei)},
            {"answer_bytes", numberOrNull(record.answerBytes)},
            {"verdict", JsonText(verdict)},
            {"detail", JsonText(record.detail)},
            {"campaign", numberOrNull(record.campaignId)}};
}

QJsonObject CampaignJson(const vela::CampaignRecord& campaign) {
    QJsonArray modems;
    for (const std::string& port : campaign.modemPorts) modems.append(JsonText(port));
    return {{"campaign", static_cast<qint64>(campaign.id)},
            {"created_at", JsonText(campaign.createdAt)},
            {"updated_at", JsonText(campaign.updatedAt)},
            {"state", JsonText(campaign.state)},
            {"config_file", JsonText(campaign.configFile)},
            {"modem_ports", modems},
            {"trackers", static_cast<qint64>(campaign.total)},
            {"configured", static_cast<qint64>(campaign.configured)},
            {"failed", static_cast<qint64>(campaign.failed)}};
}

QJsonObject CampaignTrackerJson(const vela::CampaignTrackerRecord& row) {
    return {{"tracker", JsonText(row.tracker)},
            {"phone", JsonText(row.phone)},
            {"state", JsonText(row.state)},
            {"attempts", static_cast<qint64>(row.attempts)},
            {"last_event", JsonText(row.lastEvent)},
            {"verdict", JsonText(row.verdict)},
            {"detail", JsonText(row.detail)},
            {"modem_port", JsonText(row.modemPort)},
            {"caller_address", JsonText(row.callerAddress)},
            {"answer", JsonText(row.answer)},
            {"updated_at", JsonText(row.updatedAt)},
            {"station", JsonText(row.station)}};
}

QJsonObject CampaignStationJson(const vela::CampaignStationRecord& station) {
    return {{"station", JsonText(station.name)},
            {"address", JsonText(station.address)},
            {"joined_at", JsonText(station.joinedAt)},
            {"live", station.live}};
}

void PrintJsonArray(const QJsonArray& array) {
    QByteArray out = "[";
    for (qsizetype i = 0; i < array.size(); ++i) {
        out += i == 0 ? "\n" : ",\n";
        out += QJsonDocument(array.at(i).toObject()).toJson(QJsonDocument::Compact);
    }
    out += array.isEmpty() ? "]\n" : "\n]\n";
    print(out);
}

void PrintJsonLine(const QJsonObject& object, std::FILE* out) {
    print(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n', out);
}

}  // namespace velactl
