#include "support/TestRunner.h"

#include <gtest/gtest.h>

#include <QApplication>

namespace trellium::test {

int runAllTests(int argc, char **argv)
{
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Let tasks that a test cancelled at its end run to completion: their
    // resumption waits in the event queue.
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return result;
}

} // namespace trellium::test
