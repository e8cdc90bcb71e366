#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace trellium {

// Progress and diagnostics are plain lines on standard output. Safe from any
// thread; each call writes one whole line.
void logLine(const QString &line);
// "prefix value" with one blank between, as most progress lines are built.
void logLine(const QString &prefix, const QString &value);

// Lets tests observe what would be printed. The sink is called instead of
// (not in addition to) writing to standard output, under the log's lock.
using LogSink = std::function<void(const QString &line)>;
void setLogSink(LogSink sink);

} // namespace trellium
