#pragma once

#include "core/Errors.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <QTimer>
#include <QEventLoop>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

namespace trellium {

namespace detail {
// Coroutines resume on the main thread through the event loop, never inside
// the signal or callback that completed them: an object emitting a signal may
// be deleted by the code that runs after the await.
void resumeOnMainThread(std::coroutine_handle<> handle);
} // namespace detail

// One-shot result handed from a callback (any thread) to the coroutines that
// await it: every awaiter resumes, each with its own copy of the value (a
// move-only value goes to the first). Resolving or rejecting more than once
// keeps the first outcome.
template<typename T>
class Completion {
    using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    struct State {
        std::mutex mutex;
        bool done = false;
        std::optional<Stored> value;
        std::exception_ptr error;
        std::vector<std::coroutine_handle<>> waiters;
    };

public:
    Completion() : m_state(std::make_shared<State>()) {}

    template<typename U = T>
        requires(!std::is_void_v<U>)
    bool resolve(U value)
    {
        return finish(Stored(std::move(value)), nullptr);
    }

    template<typename U = T>
        requires std::is_void_v<U>
    bool resolve()
    {
        return finish(std::monostate{}, nullptr);
    }

    bool reject(std::exception_ptr error) { return finish(std::nullopt, std::move(error)); }

    template<typename E>
    bool fail(E error)
    {
        return reject(std::make_exception_ptr(std::move(error)));
    }

    bool isDone() const
    {
        std::lock_guard lock(m_state->mutex);
        return m_state->done;
    }

    auto operator co_await() const noexcept
    {
        struct Awaiter {
            std::shared_ptr<State> state;
            bool await_ready()
            {
                std::lock_guard lock(state->mutex);
                return state->done;
            }
            bool await_suspend(std::coroutine_handle<> handle)
            {
                std::lock_guard lock(state->mutex);
                if (state->done)
                    return false;
                state->waiters.push_back(handle);
                return true;
            }
            T await_resume()
            {
                if (state->error)
                    std::rethrow_exception(state->error);
                if constexpr (std::is_copy_constructible_v<T>)
                    return *state->value;
                else if constexpr (!std::is_void_v<T>)
                    return std::move(*state->value);
            }
        };
        return Awaiter{m_state};
    }

private:
    bool finish(std::optional<Stored> value, std::exception_ptr error)
    {
        std::vector<std::coroutine_handle<>> waiters;
        {
            std::lock_guard lock(m_state->mutex);
            if (m_state->done)
                return false;
            m_state->done = true;
            m_state->value = std::move(value);
            m_state->error = std::move(error);
            waiters.swap(m_state->waiters);
        }
        for (const std::coroutine_handle<> waiter : waiters)
            detail::resumeOnMainThread(waiter);
        return true;
    }

    std::shared_ptr<State> m_state;
};

// Cooperative cancellation shared between the one who cancels and the work
// that waits. A default-constructed token can be cancelled like any other.
class CancelToken {
public:
    CancelToken();

    void cancel();
    bool isCancelled() const;
    // Throws CancelledError when cancelled.
    void throwIfCancelled() const;

    // Runs the callback (on the cancelling thread) when cancel() is called;
    // at once if already cancelled. The id removes it again.
    int onCancel(std::function<void()> callback);
    void removeCallback(int id);

private:
    struct State {
        mutable std::mutex mutex;
        bool cancelled = false;
        int nextId = 1;
        std::map<int, std::function<void()>> callbacks;
    };
    std::shared_ptr<State> m_state;
};

// A pause on the monotonic clock (Qt's timers) that ends at once with
// CancelledError when the token is cancelled.
QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, CancelToken token = {});

// Pauses behind an interface so that long retry loops run in virtual time in tests.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual QCoro::Task<void> sleep(std::chrono::milliseconds duration, CancelToken token) = 0;
};

class MonotonicSleeper final : public Sleeper {
public:
    QCoro::Task<void> sleep(std::chrono::milliseconds duration, CancelToken token) override;
    static std::shared_ptr<Sleeper> shared();
};

// Runs blocking work on the global thread pool and resumes the caller on the
// main thread with its result or exception.
template<typename F>
auto runOnWorker(F work) -> QCoro::Task<std::invoke_result_t<F>>
{
    using R = std::invoke_result_t<F>;
    Completion<R> completion;
    QThreadPool::globalInstance()->start([completion, work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<R>) {
                work();
                completion.resolve();
            } else {
                completion.resolve(work());
            }
        } catch (...) {
            completion.reject(std::current_exception());
        }
    });
    co_return co_await completion;
}

// Starts a task nobody awaits; a failure is logged with the given label.
void startDetached(QCoro::Task<void> task, QString label);

// Tasks started with startDetached that have not ended yet: work a process
// should let finish before it exits.
int detachedTaskCount();

// Drives a task to completion on the calling (main) thread by running a local
// event loop, then returns its result or rethrows its error. Throws
// TimeoutError when the task has not finished in time; the task itself then
// keeps running detached.
template<typename T>
T runSync(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(60))
{
    using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    struct Outcome {
        bool done = false;
        std::optional<Stored> value;
        std::exception_ptr error;
        QEventLoop *loop = nullptr;
    };
    auto outcome = std::make_shared<Outcome>();
    auto drive = [](QCoro::Task<T> inner, std::shared_ptr<Outcome> out) -> QCoro::Task<void> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(inner);
                out->value = std::monostate{};
            } else {
                out->value = co_await std::move(inner);
            }
        } catch (...) {
            out->error = std::current_exception();
        }
        out->done = true;
        if (out->loop)
            out->loop->quit();
    };
    auto driver = drive(std::move(task), outcome);
    if (!outcome->done) {
        QEventLoop loop;
        outcome->loop = &loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(timeout);
        loop.exec();
        outcome->loop = nullptr;
    }
    if (!outcome->done)
        throw TimeoutError(QStringLiteral("Aufgabe nicht rechtzeitig beendet"));
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome->value);
}

} // namespace trellium
