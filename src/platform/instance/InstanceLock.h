#pragma once

#include <QString>

#include <memory>

namespace trellium {

// An exclusive advisory lock (flock) on a file, held while the object lives.
// The kernel drops it when the process ends, however it ends, so the file a
// killed process leaves behind blocks nothing. Children do not inherit it.
class InstanceLock {
public:
    // The lock, or none while another open file holds it. Creates the file
    // (and its folders) when missing, never changes its content; throws
    // FileError when it cannot be opened or locked.
    static std::unique_ptr<InstanceLock> tryAcquire(const QString &path);
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    const QString &path() const { return m_path; }

private:
    InstanceLock(QString path, int descriptor);

    QString m_path;
    int m_descriptor;
};

} // namespace trellium
