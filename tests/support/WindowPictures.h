#pragma once

#include <QString>

class QWidget;

namespace trellium::test {

// Saves a picture of the window under <build>/window-pictures/<name>.png, so
// a person can look at every state a test put it in. Returns the path.
QString saveWindowPicture(QWidget *window, const QString &name);

} // namespace trellium::test
