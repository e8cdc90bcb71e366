#pragma once

#include "platform/video/PixelBuffer.h"

#include <QImage>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace trellium {

// A live copy of a VNC server's screen: one connection to a Unix socket,
// served by a thread of its own that always keeps an incremental update
// request outstanding and follows desktop resizes. The picture is BGRx and
// shared with the main thread under a mutex. Created and destroyed on the
// main thread; the getters may be called from any thread.
class VncFramebufferMirror : public QObject {
    Q_OBJECT
public:
    enum class State { connecting, connected, disconnected };
    Q_ENUM(State)

    struct Options {
        // Bounds the connection and the protocol handshake.
        std::chrono::milliseconds connectTimeout = std::chrono::seconds(10);
    };

    explicit VncFramebufferMirror(QString socketPath, Options options, QObject *parent = nullptr);
    explicit VncFramebufferMirror(QString socketPath, QObject *parent = nullptr)
        : VncFramebufferMirror(std::move(socketPath), Options{}, parent)
    {
    }
    // Wakes the thread (even in the middle of a message) and joins it.
    ~VncFramebufferMirror() override;
    VncFramebufferMirror(const VncFramebufferMirror &) = delete;
    VncFramebufferMirror &operator=(const VncFramebufferMirror &) = delete;

    const QString &socketPath() const { return m_socketPath; }
    // disconnected is final: a failed or ended connection is not retried.
    State state() const { return m_state.load(); }
    bool isConnected() const { return state() == State::connected; }

    // False until the first complete update arrived; the last picture stays
    // after the connection ended.
    bool hasPicture() const;
    // The picture's size (empty before the first picture).
    QSize size() const;
    // Complete updates taken into the picture so far.
    uint64_t updateCount() const;
    // Tells this mirror from any other made in this process.
    uint64_t serial() const { return m_serial; }

    // The picture as it stands, lent to a reader under the picture's lock
    // (keep the reading short: the connection waits meanwhile).
    struct PictureAccess {
        const uint32_t *pixels = nullptr;  // BGRx, rows packed
        int width = 0;
        int height = 0;
        uint64_t updateCount = 0;  // 0: no picture yet
        // The areas changed after the update the reader asked about; none
        // when the mirror no longer knows (long ago, or the size changed).
        const std::vector<QRect> *changes = nullptr;
    };
    void readPicture(uint64_t since, const std::function<void(const PictureAccess &)> &read) const;

    // The picture scaled to exactly width x height (each direction on its
    // own); invalid without a picture or for an empty size.
    PixelBuffer snapshot(int width, int height) const;
    // The picture at its own size (null without one).
    QImage image() const;

signals:
    // Both delivered on the main thread; updated() is coalesced.
    void stateChanged(trellium::VncFramebufferMirror::State state);
    void updated();

private:
    struct Session;

    void run();
    int connectSocket(QString *error);
    void serve(Session &session);
    void publish(Session &session);
    void setState(State state);

    const QString m_socketPath;
    const Options m_options;
    std::atomic<State> m_state{State::connecting};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_updatePosted{false};
    int m_wakeDescriptor = -1;

    // Guards the picture and the socket descriptor the thread uses.
    mutable std::mutex m_mutex;
    int m_socket = -1;
    int m_width = 0;
    int m_height = 0;
    std::vector<uint32_t> m_pixels;  // BGRx, alpha forced to 0xff, rows packed
    uint64_t m_updateCount = 0;
    // The areas of recent updates, oldest first; the areas of every update
    // after m_historyFrom are in it.
    struct Change {
        uint64_t update;
        QRect area;
    };
    std::deque<Change> m_history;
    uint64_t m_historyFrom = 0;
    mutable std::vector<QRect> m_changesScratch;

    const uint64_t m_serial;

    std::thread m_thread;
};

} // namespace trellium
