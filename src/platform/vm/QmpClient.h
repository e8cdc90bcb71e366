#pragma once

#include "core/Async.h"
#include "core/Process.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QLocalSocket>
#include <QObject>

#include <map>
#include <functional>

namespace trellium {

// QEMU's machine protocol over one end of a socket pair: JSON lines, the
// greeting first, answers in command order, events in between.
class QmpClient : public QObject {
    Q_OBJECT
public:
    // Takes ownership of the descriptor.
    explicit QmpClient(int descriptor, QObject *parent = nullptr);
    ~QmpClient() override;

    // Waits for the greeting and enables commands.
    QCoro::Task<void> negotiate(std::chrono::milliseconds timeout);
    // Sends one command; its "return" value, or DomainError ("QMP", 1) with
    // QEMU's error text. Fails at once when the connection is gone.
    QCoro::Task<QJsonValue> execute(QString command, QJsonObject arguments = {},
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Sends a command without waiting for its answer (for quit).
    void send(const QString &command, const QJsonObject &arguments = {});

    bool isConnected() const;

signals:
    void eventReceived(const QString &event, const QJsonObject &data);
    void disconnected();

private:
    void onReadyRead();
    void failPending(const QString &why);
    void write(const QJsonObject &message);

    QLocalSocket m_socket;
    LineSplitter m_lines;
    std::optional<Completion<void>> m_greeting;
    bool m_greeted = false;
    // Answers are matched by the id each command carries, so an answer that
    // arrives after its command timed out is not taken for the next one.
    std::map<qint64, Completion<QJsonValue>> m_pending;
    qint64 m_nextId = 1;
};

} // namespace trellium
