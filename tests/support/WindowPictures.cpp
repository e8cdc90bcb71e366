#include "support/WindowPictures.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QPixmap>
#include <QWidget>

namespace trellium::test {

QString saveWindowPicture(QWidget *window, const QString &name)
{
    const QString folder = QStringLiteral(TRELLIUM_BINARY_DIR "/window-pictures");
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
    return path;
}

} // namespace trellium::test
