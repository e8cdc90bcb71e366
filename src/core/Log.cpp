#include "core/Log.h"

#include <cstdio>
#include <mutex>

namespace trellium {

namespace {
std::mutex &logMutex()
{
    static std::mutex mutex;
    return mutex;
}
LogSink &logSink()
{
    static LogSink sink;
    return sink;
}
} // namespace

void logLine(const QString &line)
{
    std::lock_guard lock(logMutex());
    if (logSink()) {
        logSink()(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void logLine(const QString &prefix, const QString &value)
{
    logLine(prefix + QLatin1Char(' ') + value);
}

void setLogSink(LogSink sink)
{
    std::lock_guard lock(logMutex());
    logSink() = std::move(sink);
}

} // namespace trellium
