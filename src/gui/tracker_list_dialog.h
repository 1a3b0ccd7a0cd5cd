#pragma once

#include "gui/message_sink.h"
#include "storage/tracker_list.h"

#include <QDialog>

namespace vela {

// "Tracker list": adds, overwrites and deletes trackers of the main dialog's list in
// place. It never touches the database; the main dialog saves after it closes.
class TrackerListDialog : public QDialog {
    Q_OBJECT
public:
    TrackerListDialog(TrackerList& trackers, MessageSink& messages, QWidget* parent = nullptr);
    ~TrackerListDialog() override;

private:
    struct Ui;
    TrackerList& trackers_;
    MessageSink& messages_;
    Ui* ui_ = nullptr;  // widgets are owned by the dialog through Qt parenting
};

}  // namespace vela
