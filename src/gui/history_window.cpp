#include "gui/history_window.h"

#include "common/file_access.h"
#include "gui/message_sink.h"
#include "storage/history_export.h"
#include "storage/pg/storage_choice.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

namespace vela {

namespace {

QString fromBytes(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::optional<QString> chooseCsvFile(QWidget* parent) {
    const QString path = QFileDialog::getSaveFileName(parent, QStringLiteral("Export history"),
                                                      QStringLiteral("history.csv"),
                                                      QStringLiteral("CSV Files (*.csv)"));
    if (path.isEmpty()) return std::nullopt;
    return path;
}

}  // namespace

HistoryModel::HistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

void HistoryModel::setRecords(std::vector<HistoryRecord> records) {
    beginResetModel();
    records_ = std::move(records);
    endResetModel();
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(records_.size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::size(kHistoryColumns));
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    const std::vector<std::string> fields =
        HistoryFields(records_[static_cast<std::size_t>(index.row())]);
    return fromBytes(fields[static_cast<std::size_t>(index.column())]);
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    if (section < 0 || section >= columnCount()) return {};
    return QString::fromLatin1(kHistoryColumns[section]);
}

HistoryWindow::HistoryWindow(std::filesystem::path workingDirectory, MessageSink& messages,
                             QWidget* parent, std::optional<std::string> databaseUrl)
    : QDialog(parent),
      workingDirectory_(std::move(workingDirectory)),
      store_(OpenStorage(workingDirectory_, databaseUrl)),
      messages_(messages),
      saveChooser_(&chooseCsvFile) {
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(QStringLiteral("Vela - History"));
    setSizeGripEnabled(true);

    trackerFilter_ = new QLineEdit(this);
    trackerFilter_->setObjectName(QStringLiteral("trackerFilter"));
    trackerFilter_->setPlaceholderText(QStringLiteral("Tracker"));
    trackerFilter_->setClearButtonEnabled(true);
    verdictFilter_ = new QComboBox(this);
    verdictFilter_->setObjectName(QStringLiteral("verdictFilter"));
    verdictFilter_->addItem(QStringLiteral("All verdicts"));
    for (Verdict verdict : kAllVerdicts) {
        const std::string_view word = VerdictWord(verdict);
        verdictFilter_->addItem(
            QString::fromLatin1(word.data(), static_cast<qsizetype>(word.size())),
            static_cast<int>(verdict));
    }
    auto* filters = new QHBoxLayout;
    filters->addWidget(new QLabel(QStringLiteral("Tracker:"), this));
    filters->addWidget(trackerFilter_, 1);
    filters->addWidget(new QLabel(QStringLiteral("Verdict:"), this));
    filters->addWidget(verdictFilter_);

    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("historyTable"));
    table_->setModel(&model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->verticalHeader()->hide();

    countLabel_ = new QLabel(this);
    countLabel_->setObjectName(QStringLiteral("countLabel"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* copy = buttons->addButton(QStringLiteral("&Copy"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copyButton"));
    QPushButton* exportButton =
        buttons->addButton(QStringLiteral("&Export CSV..."), QDialogButtonBox::ActionRole);
    exportButton->setObjectName(QStringLiteral("exportButton"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(copy, &QPushButton::clicked, this, &HistoryWindow::CopySelection);
    connect(exportButton, &QPushButton::clicked, this, &HistoryWindow::ExportCsv);
    auto* copyAction = new QAction(this);
    copyAction->setShortcut(QKeySequence::Copy);
    table_->addAction(copyAction);
    connect(copyAction, &QAction::triggered, this, &HistoryWindow::CopySelection);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(table_, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(countLabel_, 1);
    bottom->addWidget(buttons);
    layout->addLayout(bottom);
    resize(fontMetrics().averageCharWidth() * 140, fontMetrics().height() * 30);

    connect(trackerFilter_, &QLineEdit::editingFinished, this, &HistoryWindow::Refresh);
    connect(verdictFilter_, &QComboBox::currentIndexChanged, this, &HistoryWindow::Refresh);
    Refresh();
}

void HistoryWindow::Refresh() {
    HistoryFilter filter;
    const QString tracker = trackerFilter_->text().trimmed();
    if (!tracker.isEmpty()) filter.tracker = tracker.toStdString();
    if (verdictFilter_->currentIndex() > 0) {
        filter.verdict = static_cast<Verdict>(verdictFilter_->currentData().toInt());
    }
    filter.limit = kShownRuns;
    Result<std::vector<HistoryRecord>> records = store_->queryHistory(filter);
    if (!records) {
        messages_.ShowMessage(this, fromBytes(records.message()), MessageIcon::Exclamation);
        model_.setRecords({});
    } else {
        model_.setRecords(std::move(records).value());
    }
    const int shown = model_.rowCount();
    countLabel_->setText(shown >= kShownRuns ? QStringLiteral("The newest %1 runs").arg(shown)
                                             : QStringLiteral("%1 runs").arg(shown));
}

void HistoryWindow::CopySelection() {
    QModelIndexList rows = table_->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    QStringList header;
    for (const char* column : kHistoryColumns) header << QString::fromLatin1(column);
    lines << header.join(QLatin1Char('\t'));
    for (const QModelIndex& row : rows) {
        QStringList cells;
        for (const std::string& field :
             HistoryFields(model_.records()[static_cast<std::size_t>(row.row())])) {
            // One row per line, whatever a field holds.
            cells << fromBytes(field)
                         .replace(QLatin1Char('\t'), QLatin1Char(' '))
                         .replace(QLatin1Char('\n'), QLatin1Char(' '))
                         .replace(QLatin1Char('\r'), QLatin1Char(' '));
        }
        lines << cells.join(QLatin1Char('\t'));
    }
    QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void HistoryWindow::ExportCsv() {
    const std::optional<QString> path = saveChooser_(this);
    if (!path) return;
    const Status written = WritePrivateFile(std::filesystem::path(path->toStdString()),
                                            FormatHistoryCsv(model_.records()));
    if (!written) {
        messages_.ShowMessage(this,
                              QStringLiteral("Cannot export the history to %1: %2")
                                  .arg(*path, fromBytes(written.message())),
                              MessageIcon::Stop);
    }
}

}  // namespace vela
