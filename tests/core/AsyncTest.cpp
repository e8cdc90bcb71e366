#include "core/Async.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <thread>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

QCoro::Task<int> answerAfter(std::chrono::milliseconds delay)
{
    co_await sleepFor(delay);
    co_return 42;
}

QCoro::Task<int> failAfterSuspending()
{
    co_await sleepFor(1ms);
    throw DomainError(QStringLiteral("Test"), 7, QStringLiteral("kaputt"));
}

QCoro::Task<void> neverEnding(CancelToken token)
{
    co_await sleepFor(1h, token);
}

} // namespace

TEST(RunSync, ReturnsResultsRethrowsErrorsTimesOutAndSleepsCancellably)
{
    EXPECT_EQ(runSync(answerAfter(5ms)), 42);
    EXPECT_EQ(test::errorOf([] { runSync(failAfterSuspending()); }), QStringLiteral("kaputt"));

    // Times out instead of hanging; ending the abandoned task is harmless.
    CancelToken abandoned;
    EXPECT_THROW(runSync(neverEnding(abandoned), 50ms), TimeoutError);
    abandoned.cancel();
    QCoreApplication::processEvents();

    // Cancellation ends a pause at once.
    CancelToken token;
    QTimer::singleShot(20ms, [token]() mutable { token.cancel(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(runSync(neverEnding(token), 10s), CancelledError);
    EXPECT_LT(clock.elapsed(), 5000);
    // An already cancelled token does not pause at all.
    EXPECT_THROW(runSync(neverEnding(token), 1s), CancelledError);
}

TEST(Completion, ResolvedFromAnotherThreadResumesEveryAwaiterOnTheMainThread)
{
    Completion<QString> completion;
    auto waiter = [](Completion<QString> c) -> QCoro::Task<std::pair<QString, bool>> {
        QString value = co_await c;
        co_return std::make_pair(value, QThread::currentThread() == QCoreApplication::instance()->thread());
    };
    std::thread worker([completion]() mutable {
        std::this_thread::sleep_for(10ms);
        completion.resolve(QStringLiteral("fertig"));
        completion.resolve(QStringLiteral("zu spät"));  // the first outcome stays
    });
    const auto [value, onMain] = runSync(waiter(completion));
    worker.join();
    EXPECT_EQ(value, QStringLiteral("fertig"));
    EXPECT_TRUE(onMain);

    // Every awaiter resumes with the outcome.
    auto collect = [](Completion<QString> c, QStringList *seen) -> QCoro::Task<void> {
        try {
            seen->append(co_await c);
        } catch (const DomainError &error) {
            seen->append(error.localizedDescription());
        }
    };
    for (const bool fails : {false, true}) {
        Completion<QString> shared;
        QStringList seen;
        // Three awaiters suspend before the outcome, one arrives after it.
        auto first = collect(shared, &seen);
        auto second = collect(shared, &seen);
        auto third = collect(shared, &seen);
        if (fails)
            shared.fail(DomainError(QStringLiteral("Test"), 1, QStringLiteral("kaputt")));
        else
            shared.resolve(QStringLiteral("fertig"));
        runSync(std::move(first), 5s);
        runSync(std::move(second), 5s);
        runSync(std::move(third), 5s);
        runSync(collect(shared, &seen), 5s);
        const QString expected = fails ? QStringLiteral("kaputt") : QStringLiteral("fertig");
        EXPECT_EQ(seen, QStringList(4, expected));
    }
}

TEST(RunOnWorker, CarriesResultsAndExceptionsBack)
{
    auto work = []() {
        return QThread::currentThread() != QCoreApplication::instance()->thread();
    };
    EXPECT_TRUE(runSync(runOnWorker(work)));

    auto failing = []() -> int { throw FileError(QStringLiteral("Lesen"), QStringLiteral("/x"), QStringLiteral("weg")); };
    EXPECT_THROW(runSync(runOnWorker(failing)), FileError);
}

TEST(StartDetached, CountsTheTaskUntilItEndsHoweverItEnds)
{
    const int before = detachedTaskCount();
    Completion<void> finishing;
    Completion<void> failing;
    Completion<void> waiting;
    auto awaiting = [](Completion<void> completion) -> QCoro::Task<void> { co_await completion; };
    startDetached(awaiting(finishing), QStringLiteral("Finishing"));
    startDetached(awaiting(failing), QStringLiteral("Failing"));
    startDetached(awaiting(waiting), QStringLiteral("Waiting"));
    EXPECT_EQ(detachedTaskCount(), before + 3);

    finishing.resolve();
    failing.fail(DomainError(QStringLiteral("Test"), 1, QStringLiteral("kaputt")));
    EXPECT_TRUE(test::waitUntil([&] { return detachedTaskCount() <= before + 1; }, 10s));
    EXPECT_EQ(detachedTaskCount(), before + 1);  // the one still waiting counts

    waiting.resolve();
    EXPECT_TRUE(test::waitUntil([&] { return detachedTaskCount() == before; }, 10s));
}
