// Two windows on one database (settings.accdb in a shared folder, or a PostgreSQL
// database on a server this test program starts): neither overwrites the other's
// trackers or settings without being told, nor what velactl stored meanwhile.
#include "app/main_dialog.h"
#include "postgres_server.h"
#include "recording_view.h"
#include "storage/pg/storage_choice.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

enum class Engine { Sqlite, Postgres };

// Answers the window's questions with `answer` and records them.
class AnsweringView : public test::RecordingView {
public:
    bool answer = false;
    bool AskToConfirm(const QString& text) override {
        events << QStringLiteral("ask: ") + text;
        return answer;
    }
};

class SharedTrackersTest : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        if (GetParam() == Engine::Postgres) {
            test::PostgresServer& server = test::PostgresServer::shared();
            ASSERT_TRUE(server.running()) << server.failure();
            url_ = server.createDatabase();
        }
        ASSERT_TRUE(store()->saveTrackers(test::sampleList(3, "S")).ok());
        for (auto* window : {&first_, &second_}) {
            window->dialog.useDatabase(url_);
            window->dialog.OnInitDialog();
            ASSERT_EQ(window->dialog.trackers.count(), 3);
        }
    }
    std::unique_ptr<StorageEngine> store() const { return OpenStorage(directory_.path(), url_); }
    // Edits the list in `window` with `edit` and closes the dialog (which saves).
    static void edit(MainDialog& dialog, AnsweringView& view,
                     const std::function<void(TrackerList&)>& change) {
        view.trackerDialog = change;
        dialog.OnEditTrackers();
    }
    TrackerList stored() const {
        TrackerList list;
        TrackerListStamp stamp = 0;
        EXPECT_TRUE(store()->loadTrackers(list, stamp).ok());
        return list;
    }
    test::RunResult velactl(std::vector<std::string> args) const {
        args.insert(args.begin(), test::toolPath("VELACTL"));
        if (url_) {
            args.insert(args.end(), {"--database", *url_});
        } else {
            args.insert(args.end(), {"--dir", directory_.path().string()});
        }
        return test::runProgram(args, std::chrono::seconds(60));
    }
    struct Window {
        explicit Window(const std::filesystem::path& directory) : dialog{view, directory} {}
        AnsweringView view;
        MainDialog dialog;
    };
    test::TempDir directory_;
    std::optional<std::string> url_;
    Window first_{directory_.path()};
    Window second_{directory_.path()};
};

TEST_P(SharedTrackersTest, StaleSaveIsRefusedAndAReloadOffered) {
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

// Every field of a stored tracker counts: a copy read before another save changed only
// that field is refused.
TEST_P(SharedTrackersTest, AChangeOfAnyOneFieldMakesTheStaleCopyRefused) {
    const std::vector<std::pair<const char*, std::function<void(TrackerEntry&)>>> fields = {
        {"description", [](TrackerEntry& e) { e.description += "x"; }},
        {"phone", [](TrackerEntry& e) { e.phone += "1"; }},
        {"push port", [](TrackerEntry& e) { e.pushPort += 1; }},
        {"apn", [](TrackerEntry& e) { e.apn += "x"; }},
        {"auth", [](TrackerEntry& e) { e.auth = e.auth == 1 ? 2 : 1; }},
        {"sms user", [](TrackerEntry& e) { e.smsUser += "x"; }},
        {"sms password", [](TrackerEntry& e) { e.smsPassword += "x"; }},
        {"gprs user", [](TrackerEntry& e) { e.gprsUser += "x"; }},
        {"gprs password", [](TrackerEntry& e) { e.gprsPassword += "x"; }},
        {"device type", [](TrackerEntry& e) { e.deviceType += 1; }},
    };
    for (const auto& [name, change] : fields) {
        SCOPED_TRACE(name);
        TrackerList read;
        TrackerListStamp stamp = 0;
        ASSERT_TRUE(store()->loadTrackers(read, stamp).ok());
        TrackerList changed;
        for (TrackerEntry entry : read.entries()) {
            if (changed.count() == 1) change(entry);
            changed.add(entry);
        }
        ASSERT_TRUE(store()->saveTrackers(changed).ok());
        bool changedMeanwhile = false;
        EXPECT_FALSE(store()->saveTrackersIfUnchanged(read, stamp, changedMeanwhile).ok());
        EXPECT_TRUE(changedMeanwhile);
        EXPECT_EQ(stored().entries(), changed.entries());
    }
}

// velactl adds a tracker while the window holds the list: closing the dialog without
// a change keeps it (and shows it); a change made in the window is refused, not saved
// over it.
TEST_P(SharedTrackersTest, ATrackerAddedByVelactlMeanwhileIsKept) {
    const test::RunResult added =
        velactl({"trackers", "add", "--description", "356307040000001", "--phone", "4912345"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    edit(first_.dialog, first_.view, {});
    EXPECT_EQ(stored().count(), 4);
    EXPECT_EQ(first_.view.choice.size(), 4);

    ASSERT_EQ(velactl({"trackers", "add", "--description", "356307040000002", "--phone", "4912"})
                  .exitCode,
              0);
    edit(second_.dialog, second_.view, [](TrackerList& list) { list.removeAt(0); });
    EXPECT_EQ(stored().count(), 5);
    EXPECT_NE(stored().findByDescription("356307040000002"), -1);
}

// The settings dialog's OK does not overwrite settings another window saved meanwhile;
// the reload it offers brings them in.
TEST_P(SharedTrackersTest, StaleSettingsAreNotSaved) {
    second_.view.settingsDialog = [](ProgramSettings& settings) {
        settings.localPort = 4000;
        return true;
    };
    second_.dialog.OnSettings();
    first_.view.settingsDialog = [](ProgramSettings& settings) {
        settings.timeoutSeconds = 99;
        return true;
    };
    first_.dialog.OnSettings();
    ProgramSettings kept;
    ASSERT_TRUE(store()->loadSettings(kept).ok());
    EXPECT_EQ(kept.localPort, 4000);
    EXPECT_EQ(kept.timeoutSeconds, ProgramSettings{}.timeoutSeconds);
    EXPECT_TRUE(first_.view.events.last().startsWith("warning: The settings were not saved"));

    first_.view.answer = true;
    first_.dialog.OnSettings();
    EXPECT_EQ(first_.dialog.settings, kept);
    first_.dialog.OnSettings();  // now from the stored row: saved
    ASSERT_TRUE(store()->loadSettings(kept).ok());
    EXPECT_EQ(kept.timeoutSeconds, 99);
    EXPECT_EQ(kept.localPort, 4000);
}

INSTANTIATE_TEST_SUITE_P(Engines, SharedTrackersTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres), [](const auto& info) {
                             return info.param == Engine::Sqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace vela
