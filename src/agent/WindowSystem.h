#pragma once

#include <QApplication>
#include <QString>

#include <memory>

namespace trellium {

// The application object on the screen the environment names. Qt ends the
// process when that screen does not answer (a display variable left from a
// dropped ssh forwarding, a user who may not use it); offered offscreen after
// it, Qt falls back instead, and the agent runs on without windows.
struct WindowSystem {
    std::unique_ptr<QApplication> application;
    // Empty where windows can be shown; else why not, for the user
    // ("DISPLAY=:55 antwortet nicht").
    QString noScreen;

    // Takes Qt's own options out of argc/argv, as QApplication does; argc
    // must outlive the application.
    static WindowSystem start(int &argc, char **argv);
};

} // namespace trellium
