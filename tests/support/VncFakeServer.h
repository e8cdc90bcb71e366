#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

namespace trellium::test {

// A minimal VNC server (RFB 3.8, no authentication, raw pixels in the
// client's format) on a Unix socket, served by a thread of its own, one
// client at a time. Like QEMU it answers an update request only when it has
// something to send, and announces a resize with ExtendedDesktopSize (screen
// id 0) when the client offers it, else with DesktopSize.
class VncFakeServer {
public:
    enum class Behaviour {
        normal,
        silent,        // accepts connections but never says a word
        stallUpdates,  // sends half of the next update, then nothing more
    };

    // Listens at once.
    VncFakeServer(QString socketPath, const QImage &picture);
    ~VncFakeServer();
    VncFakeServer(const VncFakeServer &) = delete;
    VncFakeServer &operator=(const VncFakeServer &) = delete;

    const QString &socketPath() const { return m_socketPath; }
    bool isListening() const { return m_listener >= 0; }

    void setBehaviour(Behaviour behaviour);
    // What the screen shows from now on; another size is a desktop resize.
    void setPicture(const QImage &picture);
    // Closes the current client's connection; the server keeps listening.
    void dropClient();

    int connections() const;
    bool hasClient() const;
    // A client that announced DesktopSize or ExtendedDesktopSize support.
    bool clientHandlesResize() const;
    // An incremental request waits for the next change.
    bool hasWaitingIncrementalRequest() const;
    int updatesSent() const;

private:
    enum class Phase { version, security, clientInit, ready };
    enum class Request { none, incremental, full };
    struct Format {
        int bitsPerPixel = 32;
        bool bigEndian = false;
        bool trueColour = true;
        int redMax = 255, greenMax = 255, blueMax = 255;
        int redShift = 16, greenShift = 8, blueShift = 0;
    };

    void run();
    void wake();
    void accept();
    void closeClient();
    bool readFromClient();
    bool handleInput();
    bool sendUpdate();
    bool sendAll(const QByteArray &bytes);
    QByteArray encodeRect(const QImage &picture, const QRect &rect) const;

    const QString m_socketPath;
    int m_listener = -1;
    int m_wake = -1;
    std::thread m_thread;

    // Shared with the test thread.
    mutable std::mutex m_mutex;
    bool m_stopping = false;
    bool m_dropRequested = false;
    Behaviour m_behaviour = Behaviour::normal;
    QImage m_picture;
    QRegion m_dirty;
    bool m_resizePending = false;
    int m_connections = 0;
    int m_updatesSent = 0;
    bool m_hasClient = false;
    bool m_handlesResize = false;
    bool m_handlesExtendedResize = false;
    Request m_request = Request::none;
    QRect m_requestArea;  // updates cover only what was asked for

    // The server thread's own.
    int m_client = -1;
    Phase m_phase = Phase::version;
    QByteArray m_input;
    Format m_format;
    bool m_stalled = false;
};

} // namespace trellium::test
