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
    // Layout requests post further ones (a scroll area resizes its content
    // after the content's layout ran): let them settle before the grab.
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
    return path;
}

} // namespace trellium::test
