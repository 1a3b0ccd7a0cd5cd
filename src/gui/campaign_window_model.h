#pragma once

#include "campaign/campaign_engine.h"
#include "storage/campaign_records.h"

#include <QAbstractTableModel>
#include <QHash>
#include <string>
#include <vector>

namespace vela {

// The campaign window's live table: one row per tracker of the campaign, changed by the
// engine's updates.
class CampaignTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Tracker, State, Attempts, Caller, Answer, Verdict, Elapsed, LastEvent, Count };

    explicit CampaignTableModel(QObject* parent = nullptr);

    // One pending row per description, in this order.
    void reset(const std::vector<std::string>& descriptions);
    // The rows of a stored campaign, as they were saved.
    void load(const std::vector<CampaignTrackerRecord>& records);
    // Applies a change; a tracker not in the table gets a row of its own.
    void apply(const CampaignTrackerUpdate& update);

    int configured() const { return configured_; }
    int failed() const { return failed_; }
    int total() const { return static_cast<int>(rows_.size()); }

    // After a stop: trackers that were still awaited read "stopped" until the campaign
    // goes on.
    void setStopped(bool stopped);

    // The table as a CSV report: a header row, then one record per tracker.
    std::string reportCsv() const;
    // "560 of 559 bytes" from the tracker's answer as the engine keeps it
    // ("0230 (022F) Bytes"); the text itself when it is not in that form.
    static QString DecimalAnswer(const std::string& answer);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row {
        std::string description;
        CampaignTrackerState state = CampaignTrackerState::Pending;
        int attempts = 0;
        std::string caller;
        std::string answer;
        std::string verdict;
        std::string lastEvent;
        std::chrono::milliseconds elapsed{0};
    };
    QString Text(const Row& row, int column) const;
    bool stopped_ = false;

    std::vector<Row> rows_;
    QHash<QString, int> rowOf_;
    int configured_ = 0;
    int failed_ = 0;
};

}  // namespace vela
