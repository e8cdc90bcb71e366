#include "core/Process.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

using namespace trellium;
using namespace std::chrono_literals;

namespace {
const QString kSh = QStringLiteral("/bin/sh");
}

TEST(LineSplitter, CutsAtLineFeedsAndKeepsTheRest)
{
    LineSplitter splitter;
    EXPECT_TRUE(splitter.feed("ab").isEmpty());
    EXPECT_EQ(splitter.feed("c\r\nde\n\nf"), (QList<QByteArray>{"abc", "de", ""}));
    EXPECT_EQ(splitter.finish(), std::optional<QByteArray>("f"));
    EXPECT_EQ(splitter.finish(), std::nullopt);
}

TEST(RunProcess, SeparatesOrMergesChannelsReportsExitStatusOrDeathBySignalAndFeedsInputOnlyWhenGiven)
{
    const QStringList script{QStringLiteral("-c"), QStringLiteral("echo out; echo err >&2; exit 3")};
    const ProcessResult separate = runSync(runProcess(kSh, script));
    EXPECT_EQ(separate.exitCode, 3);
    EXPECT_FALSE(separate.succeeded());
    EXPECT_EQ(separate.standardOutput, "out\n");
    EXPECT_EQ(separate.standardError, "err\n");

    ProcessOptions merged;
    merged.channels = ProcessOptions::Channels::Merged;
    const ProcessResult both = runSync(runProcess(kSh, script, merged));
    EXPECT_TRUE(both.standardOutput.contains("out\n"));
    EXPECT_TRUE(both.standardOutput.contains("err\n"));
    EXPECT_TRUE(both.standardError.isEmpty());

    const ProcessResult blocking = runProcessBlocking(kSh, script);
    EXPECT_EQ(blocking.exitCode, 3);
    EXPECT_EQ(blocking.standardOutput, "out\n");

    const ProcessResult killed = runSync(runProcess(kSh, {QStringLiteral("-c"), QStringLiteral("kill -9 $$")}));
    EXPECT_TRUE(killed.crashed);
    EXPECT_FALSE(killed.succeeded());

    // Standard input is empty unless fed: a child reading its input must not
    // wait for the agent's own.
    const ProcessResult idle = runSync(runProcess(QStringLiteral("/bin/cat"), {}), 10s);
    EXPECT_TRUE(idle.succeeded());
    EXPECT_TRUE(idle.standardOutput.isEmpty());

    ProcessOptions fed;
    fed.input = QByteArray("hallo\n");
    EXPECT_EQ(runSync(runProcess(QStringLiteral("/bin/cat"), {}, fed)).standardOutput, "hallo\n");
}

TEST(RunProcess, DeliversLinesAsTheyArriveIncludingAnUnterminatedTail)
{
    QList<QByteArray> lines;
    ProcessOptions options;
    options.onOutputLine = [&lines](const QByteArray &line) { lines.append(line); };
    // Large enough to arrive in several reads.
    const QString script = QStringLiteral("i=0; while [ $i -lt 2000 ]; do echo line$i; i=$((i+1)); done; printf tail");
    const ProcessResult result = runSync(runProcess(kSh, {QStringLiteral("-c"), script}, options));
    ASSERT_EQ(lines.size(), 2001);
    EXPECT_EQ(lines.first(), "line0");
    EXPECT_EQ(lines.at(1999), "line1999");
    EXPECT_EQ(lines.last(), "tail");
    EXPECT_TRUE(result.standardOutput.endsWith("line1999\ntail"));

    // The blocking runner hands out the same lines, merged channels included.
    lines.clear();
    options.channels = ProcessOptions::Channels::Merged;
    runProcessBlocking(kSh, {QStringLiteral("-c"), script + QStringLiteral(" >&2")}, options);
    ASSERT_EQ(lines.size(), 2001);
    EXPECT_EQ(lines.last(), "tail");
}

TEST(RunProcess, AMissingOrRelativeProgramFailsAtOnceATimeOutOrCancellationKillsTheChild)
{
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(runSync(runProcess(QStringLiteral("/nonexistent/tool"), {})), FileError);
    EXPECT_THROW(runSync(runProcess(QStringLiteral("sh"), {})), FileError);
    EXPECT_THROW(runProcessBlocking(QStringLiteral("/nonexistent/tool"), {}), FileError);
    EXPECT_LT(clock.elapsed(), 5000);

    ProcessOptions bounded;
    bounded.timeout = 100ms;
    EXPECT_THROW(runSync(runProcess(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, bounded), 10s),
                 TimeoutError);
    EXPECT_THROW(runProcessBlocking(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, bounded), TimeoutError);

    ProcessOptions cancellable;
    QTimer::singleShot(50ms, [token = cancellable.cancel]() mutable { token.cancel(); });
    EXPECT_THROW(runSync(runProcess(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, cancellable), 10s),
                 CancelledError);
}

TEST(RunProcess, OutputLimitKeepsTheStartAndStillDrainsAChattyChild)
{
    // 32 MiB on each channel: far more than a pipe holds, so a runner that
    // stopped reading would leave the child blocked until the time-out.
    const QStringList script{QStringLiteral("-c"),
                             QStringLiteral("head -c 33554432 /dev/zero | tr '\\0' a; "
                                            "head -c 33554432 /dev/zero >&2; echo done >&2")};
    ProcessOptions limited;
    limited.outputLimit = 1000;
    limited.timeout = 60s;
    const ProcessResult result = runSync(runProcess(kSh, script, limited), 90s);
    EXPECT_TRUE(result.succeeded());
    EXPECT_TRUE(result.outputTruncated);
    EXPECT_EQ(result.standardOutput, QByteArray(1000, 'a'));
    EXPECT_EQ(result.standardError.size(), 1000);

    const ProcessResult blocking = runProcessBlocking(kSh, script, limited);
    EXPECT_TRUE(blocking.succeeded());
    EXPECT_EQ(blocking.standardOutput, QByteArray(1000, 'a'));

    // Under the limit nothing is dropped.
    const ProcessResult small = runSync(runProcess(kSh, {QStringLiteral("-c"), QStringLiteral("echo hi")}, limited));
    EXPECT_FALSE(small.outputTruncated);
    EXPECT_EQ(small.standardOutput, "hi\n");
}
