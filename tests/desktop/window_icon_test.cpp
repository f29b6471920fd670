// The program's icon on its windows, as the start-up installs it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>

#include "app/desktop/main_dialog.h"
#include "app/resource_database.h"
#include "ui/pass_dialog.h"
#include "ui/window_utils.h"

TEST(WindowIcon, TheMainWindowAndItsDialogsCarryTheDrawnIcon) {
    g_resources.Init();
    InstallProductIcon();
    const QIcon icon = QApplication::windowIcon();
    ASSERT_FALSE(icon.isNull());
    // The picture really was drawn: clear outside the rounded tile, the tile's blue inside it.
    const QImage small = icon.pixmap(32, 32).toImage();
    ASSERT_EQ(small.size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(small.pixel(0, 0)), 0);
    const QColor tile = small.pixelColor(3, 16);
    EXPECT_EQ(tile.alpha(), 255);
    EXPECT_GT(tile.blue(), tile.red() + 60);
    QDir shots(QCoreApplication::applicationDirPath() + "/../screenshots");
    shots.mkpath(".");
    icon.pixmap(256, 256).save(shots.filePath("icon-256.png"));

    CNorveltDlg main;
    CPassDialog password(&main);
    for (QWidget* window : {static_cast<QWidget*>(&main), static_cast<QWidget*>(&password)}) {
        EXPECT_FALSE(window->windowIcon().isNull()) << window->metaObject()->className();
        EXPECT_EQ(window->windowIcon().cacheKey(), icon.cacheKey());
    }
}
