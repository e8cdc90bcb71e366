#include "support/TestRunner.h"

#include "core/Async.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>

namespace trellium::test {

int runAllTests(int argc, char **argv)
{
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Detached work a test started (a manager's first status refresh, the end
    // of a stream) finishes before the process does: cut off at exit, its
    // suspended tasks would count as leaks in the sanitizer tree.
    if (!waitUntil([] { return detachedTaskCount() == 0; }, std::chrono::seconds(30)))
        std::fprintf(stderr, "%d detached tasks still running after the tests\n", detachedTaskCount());
    // Let tasks that a test cancelled at its end run to completion: their
    // resumption waits in the event queue.
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return result;
}

} // namespace trellium::test
