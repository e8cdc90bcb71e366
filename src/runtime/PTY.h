#pragma once

#include <cstdint>

namespace trellium {

// A pseudo-terminal pair owned by one terminal session. Both descriptors are
// close-on-exec, so no other child of the agent keeps the terminal alive, and
// the master is non-blocking, so the main thread never waits on it.
class PTY {
public:
    struct WindowSize {
        uint16_t columns = 0;
        uint16_t rows = 0;
    };

    // Fails with domain "PTY" code 1 when the system gives no pair.
    PTY();
    ~PTY();

    PTY(const PTY &) = delete;
    PTY &operator=(const PTY &) = delete;

    int masterFD() const { return m_masterFD; }
    int slaveFD() const { return m_slaveFD; }

    // Sets the terminal's size in character cells (no pixel sizes). The
    // kernel itself signals the terminal's foreground group on a change.
    // False when the system refused it.
    bool setWindowSize(uint16_t columns, uint16_t rows);
    WindowSize windowSize() const;

private:
    int m_masterFD = -1;
    int m_slaveFD = -1;
};

} // namespace trellium
