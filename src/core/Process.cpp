#include "core/Process.h"

#include <QFileInfo>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>

#include <csignal>
#include <limits>
#include <sys/prctl.h>
#include <unistd.h>

namespace trellium {

QList<QByteArray> LineSplitter::feed(const QByteArray &data)
{
    QList<QByteArray> lines;
    m_pending.append(data);
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = m_pending.indexOf('\n', start);
        if (end < 0)
            break;
        QByteArray line = m_pending.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(std::move(line));
        start = end + 1;
    }
    m_pending.remove(0, start);
    return lines;
}

std::optional<QByteArray> LineSplitter::finish()
{
    if (m_pending.isEmpty())
        return std::nullopt;
    QByteArray rest = std::exchange(m_pending, {});
    if (rest.endsWith('\r'))
        rest.chop(1);
    return rest;
}

void requireExecutable(const QString &program)
{
    const QFileInfo info(program);
    if (!info.isAbsolute())
        throw FileError(QStringLiteral("Programmstart"), program, QStringLiteral("kein absoluter Pfad"));
    if (!info.exists())
        throw FileError(QStringLiteral("Programmstart"), program, QStringLiteral("nicht gefunden"));
    if (!info.isFile() || ::access(QFile::encodeName(program).constData(), X_OK) != 0)
        throw FileError(QStringLiteral("Programmstart"), program, QStringLiteral("nicht ausführbar"));
}

namespace {

void configure(QProcess &process, const QString &program, const QStringList &arguments,
               const ProcessOptions &options)
{
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessChannelMode(options.channels == ProcessOptions::Channels::Merged
                                      ? QProcess::MergedChannels
                                      : QProcess::SeparateChannels);
    if (!options.input)
        process.setStandardInputFile(QProcess::nullDevice());
    if (options.environment)
        process.setProcessEnvironment(*options.environment);
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    process.setChildProcessModifier([]() {
        // No tool outlives the agent.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
}

QString startFailureReason(const QProcess &process)
{
    return process.errorString();
}

// Appends what fits under the limit and notes what did not.
void keep(QByteArray &collected, const QByteArray &chunk, const ProcessOptions &options, ProcessResult &result)
{
    if (!options.outputLimit) {
        collected.append(chunk);
        return;
    }
    const qsizetype room = std::max<qsizetype>(0, qsizetype(*options.outputLimit) - collected.size());
    if (chunk.size() > room)
        result.outputTruncated = true;
    collected.append(chunk.left(room));
}

} // namespace

QCoro::Task<ProcessResult> runProcess(QString program, QStringList arguments, ProcessOptions options)
{
    requireExecutable(program);
    options.cancel.throwIfCancelled();

    auto process = std::make_unique<QProcess>();
    configure(*process, program, arguments, options);

    ProcessResult result;
    LineSplitter splitter;
    Completion<void> finished;

    QObject::connect(process.get(), &QProcess::readyReadStandardOutput, process.get(),
                     [&result, &splitter, &options, p = process.get()]() {
                         const QByteArray chunk = p->readAllStandardOutput();
                         keep(result.standardOutput, chunk, options, result);
                         if (options.onOutputLine) {
                             for (const QByteArray &line : splitter.feed(chunk))
                                 options.onOutputLine(line);
                         }
                     });
    QObject::connect(process.get(), &QProcess::readyReadStandardError, process.get(),
                     [&result, &options, p = process.get()]() {
                         keep(result.standardError, p->readAllStandardError(), options, result);
                     });
    QObject::connect(process.get(), &QProcess::finished, process.get(),
                     [finished](int, QProcess::ExitStatus) mutable { finished.resolve(); });
    QObject::connect(process.get(), &QProcess::errorOccurred, process.get(),
                     [finished, p = process.get(), program](QProcess::ProcessError error) mutable {
                         if (error == QProcess::FailedToStart)
                             finished.fail(FileError(QStringLiteral("Programmstart"), program,
                                                     startFailureReason(*p)));
                     });

    QTimer timer;
    timer.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&timer, &QTimer::timeout, process.get(), [&timedOut, p = process.get()]() {
        timedOut = true;
        p->kill();
    });
    const int cancelId = options.cancel.onCancel([p = QPointer<QProcess>(process.get())]() {
        if (p)
            QMetaObject::invokeMethod(p, [p]() { p->kill(); }, Qt::QueuedConnection);
    });

    process->start();
    if (options.input) {
        process->write(*options.input);
        process->closeWriteChannel();
    }
    if (options.timeout)
        timer.start(*options.timeout);

    std::exception_ptr failure;
    try {
        co_await finished;
    } catch (...) {
        failure = std::current_exception();
    }
    options.cancel.removeCallback(cancelId);
    timer.stop();
    if (failure) {
        process->disconnect();
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        std::rethrow_exception(failure);
    }

    // Whatever is still buffered after the end.
    const bool separate = options.channels == ProcessOptions::Channels::Separate;
    const QByteArray tail = process->readAllStandardOutput();
    keep(result.standardOutput, tail, options, result);
    if (separate)
        keep(result.standardError, process->readAllStandardError(), options, result);
    process->disconnect();
    if (options.onOutputLine) {
        for (const QByteArray &line : splitter.feed(tail))
            options.onOutputLine(line);
        if (auto rest = splitter.finish())
            options.onOutputLine(*rest);
    }
    if (timedOut)
        throw TimeoutError(QFileInfo(program).fileName());
    if (options.cancel.isCancelled())
        throw CancelledError();
    result.crashed = process->exitStatus() == QProcess::CrashExit;
    result.exitCode = result.crashed ? -1 : process->exitCode();
    co_return result;
}

ProcessResult runProcessBlocking(const QString &program, const QStringList &arguments, ProcessOptions options)
{
    requireExecutable(program);
    QProcess process;
    configure(process, program, arguments, options);
    process.start();
    if (!process.waitForStarted(10000))
        throw FileError(QStringLiteral("Programmstart"), program, startFailureReason(process));
    if (options.input) {
        process.write(*options.input);
        process.closeWriteChannel();
    }
    const bool separate = options.channels == ProcessOptions::Channels::Separate;
    ProcessResult result;
    LineSplitter splitter;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        const qint64 left =
            options.timeout ? options.timeout->count() - elapsed.elapsed() : std::numeric_limits<qint64>::max();
        if (left <= 0) {
            process.kill();
            process.waitForFinished(5000);
            throw TimeoutError(QFileInfo(program).fileName());
        }
        const bool done = process.waitForFinished(int(std::min<qint64>(left, 100)));
        const QByteArray chunk = process.readAllStandardOutput();
        keep(result.standardOutput, chunk, options, result);
        if (separate)
            keep(result.standardError, process.readAllStandardError(), options, result);
        if (options.onOutputLine) {
            for (const QByteArray &line : splitter.feed(chunk))
                options.onOutputLine(line);
        }
        if (done || process.state() == QProcess::NotRunning)
            break;
    }
    const QByteArray rest = process.readAllStandardOutput();
    keep(result.standardOutput, rest, options, result);
    if (separate)
        keep(result.standardError, process.readAllStandardError(), options, result);
    if (options.onOutputLine) {
        for (const QByteArray &line : splitter.feed(rest))
            options.onOutputLine(line);
        if (auto unterminated = splitter.finish())
            options.onOutputLine(*unterminated);
    }
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.crashed ? -1 : process.exitCode();
    return result;
}

} // namespace trellium
