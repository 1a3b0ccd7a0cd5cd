// Two windows on one shared PostgreSQL database (a server this test program starts):
// neither overwrites the other's tracker list without being told.
#include "app/main_dialog.h"
#include "postgres_server.h"
#include "recording_view.h"
#include "storage/pg/storage_choice.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

// Answers the window's questions with `answer` and records them.
class AnsweringView : public test::RecordingView {
public:
    bool answer = false;
    bool AskToConfirm(const QString& text) override {
        events << QStringLiteral("ask: ") + text;
        return answer;
    }
};

class SharedTrackersTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::PostgresServer& server = test::PostgresServer::shared();
        ASSERT_TRUE(server.running()) << server.failure();
        url_ = server.createDatabase();
        ASSERT_TRUE(OpenStorage({}, url_)->saveTrackers(test::sampleList(3, "S")).ok());
        for (auto* window : {&first_, &second_}) {
            window->dialog.useDatabase(url_);
            window->dialog.OnInitDialog();
            ASSERT_EQ(window->dialog.trackers.count(), 3);
        }
    }
    // Edits the list in `window` with `edit` and closes the dialog (which saves).
    static void edit(MainDialog& dialog, AnsweringView& view,
                     const std::function<void(TrackerList&)>& change) {
        view.trackerDialog = change;
        dialog.OnEditTrackers();
    }
    TrackerList stored() {
        TrackerList list;
        TrackerListStamp stamp = 0;
        EXPECT_TRUE(OpenStorage({}, url_)->loadTrackers(list, stamp).ok());
        return list;
    }
    struct Window {
        AnsweringView view;
        test::TempDir directory;
        MainDialog dialog{view, directory.path()};
    };
    std::string url_;
    Window first_;
    Window second_;
};

TEST_F(SharedTrackersTest, StaleSaveIsRefusedAndAReloadOffered) {
    const auto addOne = [](const std::string& tag) {
        return [tag](TrackerList& list) { list.add(test::sampleTracker(10, tag)); };
    };
    edit(second_.dialog, second_.view, addOne("B"));
    ASSERT_EQ(stored().count(), 4);

    // Declined: nothing is saved, the other's list stays, the window keeps its own.
    qsizetype mark = first_.view.events.size();
    edit(first_.dialog, first_.view, addOne("A"));
    QStringList shown = first_.view.since(mark);
    ASSERT_EQ(shown.size(), 4) << shown.join("|").toStdString();
    EXPECT_TRUE(shown[1].contains("was changed elsewhere since it was loaded"))
        << shown[1].toStdString();
    EXPECT_TRUE(shown[2].startsWith("ask: The tracker list was changed by another operator"));
    EXPECT_TRUE(shown[3].startsWith("warning: The tracker list was not saved"));
    EXPECT_EQ(stored().entries(), second_.dialog.trackers.entries());
    EXPECT_EQ(first_.dialog.trackers.count(), 4);

    // Accepted: the window shows the stored list, and its next save goes through.
    first_.view.answer = true;
    edit(first_.dialog, first_.view, [](TrackerList& list) { list.removeAt(0); });
    EXPECT_EQ(first_.dialog.trackers.entries(), second_.dialog.trackers.entries());
    EXPECT_EQ(first_.view.choice.size(), 4);
    mark = first_.view.events.size();
    edit(first_.dialog, first_.view, [](TrackerList& list) { list.removeAt(0); });
    EXPECT_EQ(first_.view.since(mark), QStringList{"tracker dialog"});
    EXPECT_EQ(stored().entries(), first_.dialog.trackers.entries());
    EXPECT_EQ(stored().count(), 3);
}

}  // namespace
}  // namespace vela
