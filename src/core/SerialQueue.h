#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace trellium {

// One worker thread that runs submitted jobs one after another, in the
// order they were handed over. Destruction runs what is queued, then joins.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue();

    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    const QString &label() const { return m_label; }
    // Returns at once.
    void async(std::function<void()> job);
    // Returns when the job (and everything queued before it) has run.
    void sync(std::function<void()> job);

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_closing = false;
    std::thread m_thread;
};

} // namespace trellium
