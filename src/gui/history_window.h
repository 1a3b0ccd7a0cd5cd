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
class QTableView;

namespace vela {

class MessageSink;

// The recorded runs as a table model, one row per run in the order given.
class HistoryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit HistoryModel(QObject* parent = nullptr);

    void setRecords(std::vector<HistoryRecord> records);
    const std::vector<HistoryRecord>& records() const { return records_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

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
    QLabel* countLabel_ = nullptr;
};

}  // namespace vela
