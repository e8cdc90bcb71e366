#include "core/Async.h"

#include "core/Log.h"

#include <atomic>

namespace trellium {

namespace detail {
void resumeOnMainThread(std::coroutine_handle<> handle)
{
    QCoreApplication *app = QCoreApplication::instance();
    Q_ASSERT(app);
    QMetaObject::invokeMethod(app, [handle]() { handle.resume(); }, Qt::QueuedConnection);
}
} // namespace detail

CancelToken::CancelToken() : m_state(std::make_shared<State>()) {}

void CancelToken::cancel()
{
    std::map<int, std::function<void()>> callbacks;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
        callbacks.swap(m_state->callbacks);
    }
    for (auto &[id, callback] : callbacks)
        callback();
}

bool CancelToken::isCancelled() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->cancelled;
}

void CancelToken::throwIfCancelled() const
{
    if (isCancelled())
        throw CancelledError();
}

int CancelToken::onCancel(std::function<void()> callback)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->cancelled) {
            const int id = m_state->nextId++;
            m_state->callbacks.emplace(id, std::move(callback));
            return id;
        }
    }
    callback();
    return 0;
}

void CancelToken::removeCallback(int id)
{
    std::lock_guard lock(m_state->mutex);
    m_state->callbacks.erase(id);
}

QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, CancelToken token)
{
    token.throwIfCancelled();
    Completion<void> completion;
    auto *timer = new QTimer();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, [completion]() mutable { completion.resolve(); });
    timer->start(duration);
    const int callbackId = token.onCancel([completion]() mutable { completion.fail(CancelledError()); });
    try {
        co_await completion;
    } catch (...) {
        token.removeCallback(callbackId);
        timer->deleteLater();
        throw;
    }
    token.removeCallback(callbackId);
    timer->deleteLater();
}

QCoro::Task<void> MonotonicSleeper::sleep(std::chrono::milliseconds duration, CancelToken token)
{
    co_await sleepFor(duration, token);
}

std::shared_ptr<Sleeper> MonotonicSleeper::shared()
{
    static auto sleeper = std::make_shared<MonotonicSleeper>();
    return sleeper;
}

namespace {
std::atomic<int> runningDetached{0};

QCoro::Task<void> logFailure(QCoro::Task<void> task, QString label)
{
    // Counts until the task ends, or its suspended frame is destroyed.
    struct Running {
        Running() { ++runningDetached; }
        ~Running() { --runningDetached; }
    } running;
    try {
        co_await std::move(task);
    } catch (...) {
        logLine(label + QStringLiteral(" failed:"), describeCurrentException());
    }
}
} // namespace

void startDetached(QCoro::Task<void> task, QString label)
{
    // Dropping the wrapper task detaches it; it cleans up after itself.
    logFailure(std::move(task), std::move(label));
}

int detachedTaskCount()
{
    return runningDetached;
}

} // namespace trellium
