#pragma once

namespace trellium::test {

// Makes the application on the platform QT_QPA_PLATFORM names, runs every
// test, then lets the detached work tests started and the tasks they
// cancelled at their end finish.
int runAllTests(int argc, char **argv);

} // namespace trellium::test
