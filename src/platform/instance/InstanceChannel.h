#pragma once

#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace trellium {

// How a later launch reaches the process that holds a folder (InstanceLock):
// a Unix socket, in a folder only this user can enter, named after the held
// folder. The caller sends its request, a list of texts, as one JSON array
// and a line feed; the holder answers one line, "OK" or a German error text,
// and closes. Main thread (the listening side).
class InstanceChannel : public QObject {
    Q_OBJECT
public:
    // Nothing on success, else the error text for the caller.
    using Handler = std::function<std::optional<QString>(const QStringList &request)>;

    struct Options {
        // A caller that has not sent its whole request by then is dropped.
        std::chrono::milliseconds requestTimeout = std::chrono::seconds(5);
        qsizetype maximumRequestBytes = 64 * 1024;
    };

    explicit InstanceChannel(QObject *parent = nullptr);
    ~InstanceChannel() override;

    // Where the holder of `folder` may listen, best first: "instance-" + 32
    // hex digits of the SHA-256 of the folder's canonical path + ".sock", in
    // $XDG_RUNTIME_DIR/trellium (only an absolute path to an existing folder,
    // and only when the path fits a socket address), then in
    // /tmp/trellium-<uid>. Makes nothing.
    static QStringList socketPaths(const QString &folder);
    // Longest path QLocalServer listens on: it keeps two of the address's
    // 108 bytes free (a leading and a trailing zero) even for a file name.
    static constexpr qsizetype kMaximumSocketPath = 106;

    // Makes the socket's folder (0700; throws FileError unless it is this
    // user's alone) and listens there, the socket 0600. Only the lock's
    // holder listens, so a socket file already there is one a killed holder
    // left: it is replaced. Throws FileError.
    void listen(const QString &socketPath, Handler handler, Options options);
    void listen(const QString &socketPath, Handler handler);
    // Listens on the first of the paths where that works and returns it;
    // throws FileError with every path's reason when none does.
    QString listenOnFirst(const QStringList &socketPaths, Handler handler, Options options);
    // Stops listening and removes the socket file.
    void close();
    bool isListening() const;

    enum class Delivery {
        answered,     // the holder answered "OK"
        refused,      // the holder answered with an error text (message)
        unreachable,  // nobody listens there, or the holder closed without answering
        missing,      // the socket or its folder does not exist (message)
        noAnswer,     // the bound ran out
        failed,       // anything else (message)
    };
    struct Result {
        Delivery delivery = Delivery::failed;
        QString message;
    };
    // Hands the request to the holder and waits for its answer, at most
    // `bound` in all. Nothing is sent to a socket whose folder is not this
    // user's alone, nor to a process of another user that listens there
    // (failed). Blocking; needs no event loop.
    static Result send(const QString &socketPath, const QStringList &request, std::chrono::milliseconds bound);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);

    QLocalServer *m_server = nullptr;
    Handler m_handler;
    Options m_options;
};

} // namespace trellium
