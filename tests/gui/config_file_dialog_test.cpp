#include "gui/config_file_dialog.h"
#include "gui/remembered_settings.h"
#include "test_support.h"

#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace vela {
namespace {

// A typed name is either taken (with the default extension added where it has none)
// or refused inside the dialog, which then stays open.
TEST(ConfigFileDialog, TakesOrRefusesTypedNames) {
    test::TempDir dir;
    RememberSettingsIn(QString::fromStdString((dir / "remembered.ini").string()));
    test::writeFile(dir / "locked.xml", "<x/>");
    ASSERT_EQ(::chmod((dir / "locked.xml").c_str(), 0444), 0);
    test::writeFile(dir / "open.xml", "<x/>");

    const struct {
        const char* typed;
        const char* taken;    // file name of the result; nullptr: refused
        const char* refusal;  // part of the refusal's text
    } cases[] = {
        {"new", "new.xml", nullptr},  // need not exist; "xml" added
        {"open.xml", "open.xml", nullptr},
        {"notes.txt", "notes.txt", nullptr},
        {"locked.xml", nullptr, "locked.xml is marked read-only"},
        {"missing/new.xml", nullptr, "does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        ConfigFileDialog dialog;
        EXPECT_EQ(dialog.nameFilters(), QStringList{"XML Files (*.xml)"});
        EXPECT_EQ(dialog.defaultSuffix(), "xml");
        EXPECT_FALSE(dialog.testOption(QFileDialog::ReadOnly));
        dialog.setDirectory(QString::fromStdString(dir.path().string()));
        dialog.show();
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromUtf8(c.typed));
        dialog.accept();
        if (c.taken != nullptr) {
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
            EXPECT_FALSE(dialog.isVisible());
            ASSERT_EQ(dialog.selectedFiles().size(), 1);
            EXPECT_EQ(dialog.selectedFiles().first().toStdString(), (dir / c.taken).string());
        } else {
            EXPECT_TRUE(dialog.isVisible());
            EXPECT_TRUE(dialog.refusal().contains(QString::fromUtf8(c.refusal)))
                << dialog.refusal().toStdString();
        }
    }
}

// The dialog opens in the folder of the file chosen last, also after a restart.
TEST(ConfigFileDialog, OpensInTheFolderOfTheLastChoice) {
    test::TempDir dir;
    RememberSettingsIn(QString::fromStdString((dir / "remembered.ini").string()));
    std::filesystem::create_directory(dir / "configs");
    const QString folder = QString::fromStdString((dir / "configs").string());
    {
        ConfigFileDialog first;
        first.setDirectory(folder);
        first.show();
        first.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText("fleet.xml");
        first.accept();
        ASSERT_EQ(first.result(), QDialog::Accepted);
    }
    ConfigFileDialog next;
    EXPECT_EQ(next.directory().absolutePath(), folder);
}

}  // namespace
}  // namespace vela
