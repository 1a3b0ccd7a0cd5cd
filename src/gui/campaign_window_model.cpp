#include "gui/campaign_window_model.h"

#include "storage/csv.h"

#include <array>

namespace vela {
namespace {

constexpr std::array<const char*, CampaignTableModel::Count> kHeaders = {
    "Tracker", "State", "Attempts", "Caller", "Answer", "Verdict", "Elapsed", "Last event"};

QString FromStd(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CampaignTableModel::CampaignTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void CampaignTableModel::reset(const std::vector<std::string>& descriptions) {
    beginResetModel();
    rows_.clear();
    rowOf_.clear();
    configured_ = 0;
    failed_ = 0;
    for (const std::string& description : descriptions) {
        rowOf_.insert(FromStd(description), static_cast<int>(rows_.size()));
        rows_.emplace_back().description = description;
    }
    endResetModel();
}

void CampaignTableModel::apply(const CampaignTrackerUpdate& update) {
    const QString key = FromStd(update.description);
    auto found = rowOf_.constFind(key);
    if (found == rowOf_.constEnd()) {
        const int at = static_cast<int>(rows_.size());
        beginInsertRows({}, at, at);
        rows_.emplace_back().description = update.description;
        found = rowOf_.insert(key, at);
        endInsertRows();
    }
    const int at = *found;
    Row& row = rows_[static_cast<std::size_t>(at)];
    const auto counted = [](CampaignTrackerState state, int& configured, int& failed) {
        if (state == CampaignTrackerState::Configured) ++configured;
        if (state == CampaignTrackerState::Failed) ++failed;
    };
    // Counts follow the state: a resumed or retried tracker can leave "failed" again.
    int gone = 0;
    int goneFailed = 0;
    counted(row.state, gone, goneFailed);
    configured_ -= gone;
    failed_ -= goneFailed;
    row.state = update.state;
    counted(row.state, configured_, failed_);
    row.attempts = update.attempts;
    if (!update.callerAddress.empty()) row.caller = update.callerAddress;
    if (!update.answer.empty()) row.answer = update.answer;
    row.verdict = update.verdict;
    row.lastEvent = std::string(CampaignEventWord(update.event));
    if (!update.detail.empty()) row.lastEvent += " " + update.detail;
    row.elapsed = update.elapsed;
    emit dataChanged(index(at, 0), index(at, Count - 1));
}

QString CampaignTableModel::Text(const Row& row, int column) {
    switch (column) {
        case Tracker:
            return FromStd(row.description);
        case State:
            return FromStd(std::string(CampaignTrackerStateWord(row.state)));
        case Attempts:
            return QString::number(row.attempts);
        case Caller:
            return FromStd(row.caller);
        case Answer:
            return FromStd(row.answer);
        case Verdict:
            return FromStd(row.verdict);
        case Elapsed:
            return row.elapsed.count() == 0 && row.lastEvent.empty()
                       ? QString()
                       : QString::number(static_cast<double>(row.elapsed.count()) / 1000.0, 'f',
                                         1) +
                             QStringLiteral(" s");
        case LastEvent:
            return FromStd(row.lastEvent);
        default:
            return {};
    }
}

std::string CampaignTableModel::reportCsv() const {
    std::vector<std::string> header(kHeaders.begin(), kHeaders.end());
    std::string csv = formatCsvRecord(header);
    for (const Row& row : rows_) {
        std::vector<std::string> fields;
        for (int column = 0; column < Count; ++column) {
            fields.push_back(Text(row, column).toStdString());
        }
        csv += formatCsvRecord(fields);
    }
    return csv;
}

int CampaignTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CampaignTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Count;
}

QVariant CampaignTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    if (role == Qt::DisplayRole) {
        return Text(rows_[static_cast<std::size_t>(index.row())], index.column());
    }
    if (role == Qt::TextAlignmentRole &&
        (index.column() == Attempts || index.column() == Elapsed)) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant CampaignTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal && section >= 0 && section < Count) {
        return QString::fromLatin1(kHeaders[static_cast<std::size_t>(section)]);
    }
    if (orientation == Qt::Vertical) return section + 1;
    return {};
}

}  // namespace vela
