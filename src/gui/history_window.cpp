#include "gui/history_window.h"

#include "common/file_access.h"
#include "gui/message_sink.h"
#include "gui/remembered_settings.h"
#include "gui/screen_fit.h"
#include "storage/history_export.h"
#include "storage/pg/storage_choice.h"

#include <QAction>
#include <QApplication>
#include <QBrush>
#include <QClipboard>
#include <QColor>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
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
    return parent.isValid() ? 0 : Count;
}

QString HistoryModel::LocalTime(const std::string& stored) {
    const QDateTime time = QDateTime::fromString(fromBytes(stored), Qt::ISODate);
    if (!time.isValid()) return fromBytes(stored);
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString HistoryModel::Details(const HistoryRecord& record) {
    const std::vector<std::string> fields = HistoryFields(record);
    QStringList lines;
    for (std::size_t at = 0; at < fields.size(); ++at) {
        const QString name = QString::fromLatin1(kHistoryColumns[at]);
        const bool time = name == QStringLiteral("StartedAt") || name == QStringLiteral("EndedAt");
        lines << name + QStringLiteral(": ") +
                     (time ? LocalTime(fields[at]) : fromBytes(fields[at]));
    }
    return lines.join(QLatin1Char('\n'));
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
    const HistoryRecord& record = records_[static_cast<std::size_t>(index.row())];
    if (role == Qt::ForegroundRole && index.column() == Verdict) {
        if (IsSuccess(record.verdict)) return QBrush(QColor(0x1b, 0x7a, 0x1b));
        if (record.verdict == vela::Verdict::NoCall ||
            record.verdict == vela::Verdict::WrongCaller) {
            return QBrush(QColor(0xa0, 0x5a, 0x00));
        }
        return QBrush(QColor(0xb0, 0x00, 0x20));
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    switch (index.column()) {
        case Started:
            return LocalTime(record.startedAt);
        case Tracker:
            return fromBytes(record.tracker);
        case Kind:
            return fromBytes(record.kind);
        case Verdict: {
            const std::string_view word = VerdictWord(record.verdict);
            return QString::fromLatin1(word.data(), static_cast<qsizetype>(word.size()));
        }
        case Detail:
            return fromBytes(record.detail);
        default:
            return {};
    }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kHeaders[Count] = {"Started", "Tracker", "Kind", "Verdict", "Detail"};
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    if (section < 0 || section >= columnCount()) return {};
    return QString::fromLatin1(kHeaders[section]);
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
    trackerFilter_->setToolTip(QStringLiteral("The runs of one tracker: its description"));
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

    // The rest of the selected run: phone, modem, file, caller, bytes, campaign...
    details_ = new QPlainTextEdit(this);
    details_->setObjectName(QStringLiteral("historyDetails"));
    details_->setReadOnly(true);
    details_->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(table_);
    split->addWidget(details_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryWindow::ShowDetails);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(countLabel_, 1);
    bottom->addWidget(buttons);
    layout->addLayout(bottom);
    resize(fontMetrics().averageCharWidth() * 120, fontMetrics().height() * 34);
    RestoreWindowSize(*this);
    FitToScreen(*this);

    connect(trackerFilter_, &QLineEdit::editingFinished, this, &HistoryWindow::Refresh);
    connect(verdictFilter_, &QComboBox::currentIndexChanged, this, &HistoryWindow::Refresh);
    Refresh();
}

HistoryWindow::~HistoryWindow() {
    RememberWindowSize(*this);
    // Hiding the closing window moves the focus (the tracker filter reports its edit as
    // finished) and its children go: nothing may call back into it by then.
    disconnect(trackerFilter_, nullptr, this, nullptr);
    disconnect(table_->selectionModel(), nullptr, this, nullptr);
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
    // The first columns as wide as what they hold; Detail takes the rest.
    for (int column = 0; column < HistoryModel::Detail; ++column) {
        table_->resizeColumnToContents(column);
    }
    if (model_.rowCount() > 0) {
        table_->selectionModel()->setCurrentIndex(model_.index(0, 0),
                                                  QItemSelectionModel::NoUpdate);
    }
    ShowDetails();
    const int shown = model_.rowCount();
    countLabel_->setText(shown >= kShownRuns ? QStringLiteral("The newest %1 runs").arg(shown)
                                             : QStringLiteral("%1 runs").arg(shown));
}

void HistoryWindow::ShowDetails() {
    const QModelIndex current = table_->currentIndex();
    if (!current.isValid() || current.row() >= model_.rowCount()) {
        details_->clear();
        return;
    }
    details_->setPlainText(
        HistoryModel::Details(model_.records()[static_cast<std::size_t>(current.row())]));
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
