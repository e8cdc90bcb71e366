#pragma once

#include "core/Async.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace trellium {

// Cuts a byte stream at line feeds. A carriage return before the line feed is
// dropped; the bytes after the last line feed are kept until more arrive or
// finish() hands them out as a last, unterminated line.
class LineSplitter {
public:
    // Returns the complete lines contained in the data fed so far.
    QList<QByteArray> feed(const QByteArray &data);
    // The unterminated rest, if any.
    std::optional<QByteArray> finish();

private:
    QByteArray m_pending;
};

struct ProcessOptions {
    enum class Channels { Separate, Merged };

    Channels channels = Channels::Separate;
    // Written to the child's standard input, which is then closed; without it
    // the child reads /dev/null.
    std::optional<QByteArray> input;
    // The whole run is bounded; on expiry the child is killed and
    // TimeoutError thrown. No bound only where the caller's cancellation
    // ends the run instead (guest commands may run for hours).
    std::optional<std::chrono::milliseconds> timeout = std::chrono::minutes(10);
    // Empty: the agent's own environment.
    std::optional<QProcessEnvironment> environment;
    QString workingDirectory;
    // Called on the main thread for every line of standard output (merged:
    // of both channels) as it arrives, without its line feed.
    std::function<void(const QByteArray &line)> onOutputLine;
    CancelToken cancel;
    // Keeps at most this many bytes of each channel; the rest is still read
    // (a chatty child never stalls on a full pipe) but dropped.
    std::optional<qint64> outputLimit;
};

struct ProcessResult {
    int exitCode = -1;
    bool crashed = false;  // ended by a signal
    QByteArray standardOutput;
    QByteArray standardError;  // empty when the channels are merged
    bool outputTruncated = false;  // outputLimit dropped some of it

    bool succeeded() const { return !crashed && exitCode == 0; }
};

// Runs a program given by absolute path and collects its output. A program
// that is not there or cannot be executed fails at once with FileError. The
// child dies with the agent.
QCoro::Task<ProcessResult> runProcess(QString program, QStringList arguments, ProcessOptions options = {});

// The same, waited for on the calling thread (for short tools).
ProcessResult runProcessBlocking(const QString &program, const QStringList &arguments,
                                 ProcessOptions options = {});

// Throws FileError unless the path is absolute and names an executable file.
void requireExecutable(const QString &program);

} // namespace trellium
