// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/artwork.h"

#include "tests/ui/ui_test_support.h"

namespace {

class ArtworkTest : public testsupport::UiTest {};

TEST_F(ArtworkTest, EveryToolbarCommandHasAnIconAndBothLabels) {
    const int commands[] = {32884, 32885, 32894, 32895, 32891, 32886, 32887,
                            32889, 32888, 32881, 32893, 32897, 32862, 32863};
    for (int command : commands) {
        const QImage image = ui::toolbarIcon(command).pixmap(ui::kToolbarIconSize).toImage();
        ASSERT_EQ(image.size(), QSize(ui::kToolbarIconSize, ui::kToolbarIconSize)) << command;
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                opaque += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        EXPECT_GT(opaque, 100) << command;
        EXPECT_FALSE(ui::toolbarLabel(command, true).isEmpty()) << command;
        EXPECT_FALSE(ui::toolbarLabel(command, false).isEmpty()) << command;
    }
    EXPECT_EQ(ui::toolbarLabel(32887, false), QString::fromUtf8("编程"));
    EXPECT_EQ(ui::toolbarLabel(32881, true), QStringLiteral("Search"));
    EXPECT_TRUE(ui::toolbarIcon(32928).isNull()) << "Self Test has no button";
    EXPECT_FALSE(ui::applicationIcon().isNull());
    EXPECT_EQ(ui::builtInPicture().size(), QSize(ui::kPictureWidth, ui::kPictureHeight));
}

}  // namespace
