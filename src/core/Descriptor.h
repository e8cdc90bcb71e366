#pragma once

namespace trellium {

// Owns one file descriptor and closes it when leaving scope, so that no
// failure path leaks it.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : m_fd(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    // Hands the descriptor to a new owner.
    int release();
    // Closes the descriptor now (and takes another one, if given).
    void reset(int fd = -1);

private:
    int m_fd;
};

} // namespace trellium
