#include "gui/campaign_window_model.h"

#include "storage/csv.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QIcon>
#include <QRegularExpression>
#include <QStyle>
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
    stopped_ = false;
    for (const std::string& description : descriptions) {
        rowOf_.insert(FromStd(description), static_cast<int>(rows_.size()));
        rows_.emplace_back().description = description;
    }
    endResetModel();
}

void CampaignTableModel::load(const std::vector<CampaignTrackerRecord>& records) {
    std::vector<std::string> descriptions;
    for (const CampaignTrackerRecord& record : records) descriptions.push_back(record.tracker);
    reset(descriptions);
    for (const CampaignTrackerRecord& record : records) {
        CampaignTrackerUpdate update;
        update.description = record.tracker;
        update.state =
            CampaignTrackerStateFromWord(record.state).value_or(CampaignTrackerState::Pending);
        update.attempts = static_cast<int>(record.attempts);
        update.callerAddress = record.callerAddress;
        update.answer = record.answer;
        update.verdict = record.verdict;
        update.detail = record.detail;
        apply(update);
        // The stored word of the last event, not one made up from the state.
        Row& row = rows_[static_cast<std::size_t>(rowOf_.value(FromStd(record.tracker)))];
        row.lastEvent =
            record.lastEvent.empty()
                ? std::string()
                : record.lastEvent + (record.detail.empty() ? std::string() : " " + record.detail);
    }
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

void CampaignTableModel::setStopped(bool stopped) {
    if (stopped_ == stopped) return;
    stopped_ = stopped;
    if (!rows_.empty()) emit dataChanged(index(0, State), index(total() - 1, State));
}

QString CampaignTableModel::DecimalAnswer(const std::string& answer) {
    static const QRegularExpression form(
        QStringLiteral("^([0-9A-Fa-f]{4}) \\(([0-9A-Fa-f]{4})\\) Bytes$"));
    const QString text = FromStd(answer);
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) return text;
    return QStringLiteral("%1 of %2 bytes")
        .arg(match.captured(1).toInt(nullptr, 16))
        .arg(match.captured(2).toInt(nullptr, 16));
}

QString CampaignTableModel::Text(const Row& row, int column) const {
    switch (column) {
        case Tracker:
            return FromStd(row.description);
        case State:
            if (stopped_ && row.state != CampaignTrackerState::Configured &&
                row.state != CampaignTrackerState::Failed) {
                return QStringLiteral("stopped");
            }
            return FromStd(std::string(CampaignTrackerStateWord(row.state)));
        case Attempts:
            return QString::number(row.attempts);
        case Caller:
            return FromStd(row.caller);
        case Answer:
            return DecimalAnswer(row.answer);
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
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    const bool failed = row.state == CampaignTrackerState::Failed;
    const bool configured = row.state == CampaignTrackerState::Configured;
    switch (role) {
        case Qt::DisplayRole:
            return Text(row, index.column());
        case Qt::ToolTipRole:
            if (index.column() == Answer && !row.answer.empty()) return FromStd(row.answer);
            if (index.column() == LastEvent || index.column() == Verdict) {
                return Text(row, index.column());
            }
            return {};
        case Qt::DecorationRole:
            // An icon as well as a colour: the outcome reads without telling colours apart.
            if (index.column() != State || (!failed && !configured)) return {};
            return QApplication::style()->standardIcon(failed ? QStyle::SP_MessageBoxCritical
                                                              : QStyle::SP_DialogApplyButton);
        case Qt::BackgroundRole:
            if (failed) return QBrush(QColor(0xfd, 0xe0, 0xe0));
            if (configured) return QBrush(QColor(0xe3, 0xf4, 0xe3));
            return {};
        case Qt::ForegroundRole:
            if (failed) return QBrush(QColor(0x8b, 0x00, 0x00));
            if (configured) return QBrush(QColor(0x10, 0x5a, 0x10));
            return {};
        default:
            break;
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
