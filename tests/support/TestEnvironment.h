#pragma once

#include "core/Log.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <mutex>

// Failed comparisons show texts as texts, not as lists of UTF-16 units.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace trellium::test {

// Gives each test its own empty data and settings folders (XDG_DATA_HOME,
// XDG_CONFIG_HOME), so the agent's root folder and user defaults land in a
// temporary directory.
class DataHomeTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString dataHome() const { return m_home.path(); }
    // A folder of the test's own for scratch files.
    QString scratch(const QString &name = {}) const;

private:
    QTemporaryDir m_home;
    QByteArray m_previous;
    bool m_hadPrevious = false;
    QByteArray m_previousConfig;
    bool m_hadPreviousConfig = false;
};

// Sets an environment variable (a null value: unsets it) while alive, then
// puts back what was there.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char *name, const QByteArray &value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable &) = delete;
    ScopedEnvironmentVariable &operator=(const ScopedEnvironmentVariable &) = delete;

private:
    const char *m_name;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// Runs the event loop until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

// Writes a file (and its folders) and makes it executable: fake tools.
void writeExecutable(const QString &path, const QByteArray &content);

// Writes an executable "#!/bin/sh" script with the body; returns its path.
QString shellScript(const QString &path, const QString &body);

// The file's lines without empty ones; none when it cannot be read (a log
// that a fake tool never wrote).
QStringList fileLines(const QString &path);

// Bytes that look random, the same for the same size and seed.
QByteArray randomBytes(qsizetype size, quint32 seed = 42);

// The text of what the call throws (describeError), or "<no error>".
QString errorOf(const std::function<void()> &call);

// True while the process exists and is not a zombie.
bool processAlive(qint64 pid);

// The bytes the allocator has handed out and not got back. Unlike resident
// memory it leaves out what was freed but kept for later, which depends on
// how threads and allocations happened to interleave.
qint64 heapInUseBytes();
// This process's open descriptors and threads.
int openDescriptors();
int threadCount();
// True in the AddressSanitizer/UBSan build: its quarantine keeps freed
// memory resident, and its checks need descriptors of their own.
bool sanitized();

// Collects the agent's log lines while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString &text) const;  // any line containing text
    qsizetype count(const QString &prefix) const;  // lines starting with prefix

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

} // namespace trellium::test
