#pragma once

#include <sys/resource.h>

namespace trellium::test {

// Lowers the process's file-size limit while alive, as a nearly full disk
// stops a write part-way. Writes past it fail with EFBIG instead of killing
// the process with SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
};

} // namespace trellium::test
