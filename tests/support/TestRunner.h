#pragma once

namespace trellium::test {

// Makes the application on the platform QT_QPA_PLATFORM names, runs every
// test, then lets the tasks that tests cancelled at their end finish.
int runAllTests(int argc, char **argv);

} // namespace trellium::test
