// The icon comes from the SVG compiled into the program, not from the drawn stand-in,
// and the about box and the window show it.
#include "gui/program_art.h"
#include "gui/about_dialog.h"

#include <QFile>
#include <QImage>
#include <QLabel>

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(ProgramArt, IconIsTheCompiledInSvg) {
    // The resource is the packaged file, byte for byte.
    QFile resource(QString::fromLatin1(kProgramIconResource));
    ASSERT_TRUE(resource.open(QIODevice::ReadOnly));
    QFile packaged(QStringLiteral(VELA_PACKAGED_ICON));
    ASSERT_TRUE(packaged.open(QIODevice::ReadOnly));
    EXPECT_EQ(resource.readAll(), packaged.readAll());

    // The SVG image plugin is installed (scripts/install-deps), so the SVG is drawn.
    ASSERT_TRUE(programIconFromSvg());
    const QIcon icon = programIcon();
    for (int side : {16, 32, 128}) {
        const QImage image = icon.pixmap(side, side).toImage();
        ASSERT_EQ(image.size(), QSize(side, side));
        // Round: the corners stay transparent, the centre is painted.
        EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << side;
        EXPECT_GT(image.pixelColor(side / 2, side / 2).alpha(), 200) << side;
    }
    // The SVG's yellow mast runs down the middle (the stand-in has none there).
    const QColor mast = icon.pixmap(128, 128).toImage().pixelColor(64, 60);
    EXPECT_GT(mast.red(), 230);
    EXPECT_GT(mast.green(), 180);
    EXPECT_LT(mast.blue(), 90);
}

TEST(ProgramArt, AboutBoxShowsTheIcon) {
    AboutDialog box;
    auto* label = box.findChild<QLabel*>(QStringLiteral("aboutIcon"));
    ASSERT_NE(label, nullptr);
    const QImage shown = label->pixmap().toImage();
    ASSERT_FALSE(shown.isNull());
    const QImage expected = programIcon().pixmap(32, 32).toImage();
    EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32),
              expected.convertToFormat(QImage::Format_ARGB32));
}

TEST(ProgramArt, AboutBoxNamesTheDataDirectoryInUse) {
    const QString directory = QStringLiteral("/home/operator/.local/share/vela");
    AboutDialog box(nullptr, directory);
    auto* label = box.findChild<QLabel*>(QStringLiteral("dataDirectoryLabel"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), directory);
    EXPECT_TRUE(box.rect().contains(label->geometry())) << "the path lies inside the box";
}

}  // namespace
}  // namespace vela
