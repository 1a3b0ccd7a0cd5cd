#pragma once

#include "storage/history_store.h"
#include "storage/storage_engine.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTableView;

namespace vela {

class MessageSink;

// The recorded runs as a table model, one row per run in the order given: what the
// operator asks first (when, which tracker, what kind of run, how it ended and why); the
// technical fields of a run are shown by HistoryDetails.
class HistoryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Started, Tracker, Kind, Verdict, Detail, Count };

    explicit HistoryModel(QObject* parent = nullptr);

    void setRecords(std::vector<HistoryRecord> records);
    const std::vector<HistoryRecord>& records() const { return records_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Every field of `record`, one "Name: value" line each, times in local time.
    static QString Details(const HistoryRecord& record);
    // A stored UTC time ("2026-12-07T16:30:11Z") in local time; the text when it is not one.
    static QString LocalTime(const std::string& stored);

private:
    std::vector<HistoryRecord> records_;
};

// "History...": the runs recorded in the database, newest first, filtered by tracker or
// verdict, with the selected rows copied as text and the shown rows exported as CSV.
class HistoryWindow : public QDialog {
    Q_OBJECT
public:
    // Asks where to save the CSV file; nothing when cancelled.
    using SaveChooser = std::function<std::optional<QString>(QWidget* parent)>;

    // The window shows at most this many runs (the newest); the filters reach the rest.
    static constexpr int kShownRuns = 10000;

    // The history of settings.accdb in `workingDirectory`, or of the shared database at
    // `databaseUrl`.
    HistoryWindow(std::filesystem::path workingDirectory, MessageSink& messages,
                  QWidget* parent = nullptr, std::optional<std::string> databaseUrl = {});
    ~HistoryWindow() override;

    void setSaveChooser(SaveChooser chooser) { saveChooser_ = std::move(chooser); }
    HistoryModel& model() { return model_; }

    // Reads the history again with the current filters.
    void Refresh();
    // The selected rows as tab-separated lines (with the header) on the clipboard.
    void CopySelection();
    // The shown rows as a CSV file, created owner-only.
    void ExportCsv();

private:
    std::filesystem::path workingDirectory_;
    std::shared_ptr<const StorageEngine> store_;
    MessageSink& messages_;
    SaveChooser saveChooser_;
    HistoryModel model_;
    QLineEdit* trackerFilter_ = nullptr;
    QComboBox* verdictFilter_ = nullptr;
    QTableView* table_ = nullptr;
    QPlainTextEdit* details_ = nullptr;
    QLabel* countLabel_ = nullptr;
    void ShowDetails();
};

}  // namespace vela
