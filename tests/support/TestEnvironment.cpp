#include "support/TestEnvironment.h"

#include "core/Async.h"
#include "core/Errors.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <csignal>

#include <malloc.h>

namespace trellium::test {

void DataHomeTest::SetUp()
{
    ASSERT_TRUE(m_home.isValid());
    m_hadPrevious = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    m_previous = qgetenv("XDG_DATA_HOME");
    m_hadPreviousConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_previousConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.path() + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.path() + QStringLiteral("/config")));
}

void DataHomeTest::TearDown()
{
    if (m_hadPrevious)
        qputenv("XDG_DATA_HOME", m_previous);
    else
        qunsetenv("XDG_DATA_HOME");
    if (m_hadPreviousConfig)
        qputenv("XDG_CONFIG_HOME", m_previousConfig);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

QString DataHomeTest::scratch(const QString &name) const
{
    const QString path = m_home.path() + QStringLiteral("/scratch") + (name.isEmpty() ? QString() : QLatin1Char('/') + name);
    QDir().mkpath(path);
    return path;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const char *name, const QByteArray &value)
    : m_name(name), m_previous(qgetenv(name)), m_hadPrevious(qEnvironmentVariableIsSet(name))
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    if (m_hadPrevious)
        qputenv(m_name, m_previous);
    else
        qunsetenv(m_name);
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout.count())
            return false;
        runSync(sleepFor(std::chrono::milliseconds(20)));
    }
    return true;
}

void writeExecutable(const QString &path, const QByteArray &content)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(content), content.size());
    file.close();
    ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup));
}

QString shellScript(const QString &path, const QString &body)
{
    writeExecutable(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
    return path;
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.truncate(size);
    return bytes;
}

QString errorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const std::exception &error) {
        return describeError(error);
    }
    return QStringLiteral("<no error>");
}

bool processAlive(qint64 pid)
{
    // A zombie still answers kill(0); its state tells.
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}

namespace {

qint64 statusField(const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

qint64 heapInUseBytes()
{
    // Summed over every arena, plus the blocks mapped on their own.
    const struct mallinfo2 info = ::mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

int threadCount()
{
    return int(statusField("Threads"));
}

bool sanitized()
{
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

LogCapture::LogCapture()
{
    setLogSink([this](const QString &line) {
        std::lock_guard lock(m_mutex);
        m_lines.append(line);
    });
}

LogCapture::~LogCapture()
{
    setLogSink({});
}

QStringList LogCapture::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

bool LogCapture::contains(const QString &text) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_lines.cbegin(), m_lines.cend(), [&](const QString &line) { return line.contains(text); });
}

qsizetype LogCapture::count(const QString &prefix) const
{
    std::lock_guard lock(m_mutex);
    return std::count_if(m_lines.cbegin(), m_lines.cend(), [&](const QString &line) { return line.startsWith(prefix); });
}

} // namespace trellium::test
