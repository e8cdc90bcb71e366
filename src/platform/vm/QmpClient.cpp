#include "platform/vm/QmpClient.h"

#include "core/Errors.h"

#include <QJsonDocument>
#include <QTimer>

#include <unistd.h>

namespace trellium {

namespace {
DomainError qmpError(const QString &text)
{
    return DomainError(QStringLiteral("QMP"), 1, text);
}
} // namespace

QmpClient::QmpClient(int descriptor, QObject *parent) : QObject(parent)
{
    if (!m_socket.setSocketDescriptor(descriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite))
        ::close(descriptor);
    connect(&m_socket, &QLocalSocket::readyRead, this, &QmpClient::onReadyRead);
    connect(&m_socket, &QLocalSocket::disconnected, this, [this]() {
        failPending(QStringLiteral("Die Verbindung zu QEMU wurde getrennt."));
        emit disconnected();
    });
    connect(&m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError) {
        if (m_socket.state() != QLocalSocket::ConnectedState) {
            failPending(QStringLiteral("Die Verbindung zu QEMU wurde getrennt."));
            emit disconnected();
        }
    });
}

QmpClient::~QmpClient()
{
    m_socket.disconnect(this);
    failPending(QStringLiteral("Die Verbindung zu QEMU wurde geschlossen."));
    m_socket.abort();
}

bool QmpClient::isConnected() const
{
    return m_socket.state() == QLocalSocket::ConnectedState;
}

void QmpClient::failPending(const QString &why)
{
    if (m_greeting) {
        m_greeting->fail(qmpError(why));
        m_greeting.reset();
    }
    auto pending = std::exchange(m_pending, {});
    for (auto &[id, answer] : pending)
        answer.fail(qmpError(why));
}

void QmpClient::onReadyRead()
{
    for (const QByteArray &line : m_lines.feed(m_socket.readAll())) {
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (message.isEmpty())
            continue;
        if (message.contains(QLatin1String("QMP"))) {
            m_greeted = true;
            if (m_greeting) {
                m_greeting->resolve();
                m_greeting.reset();
            }
        } else if (message.contains(QLatin1String("event"))) {
            emit eventReceived(message.value(QLatin1String("event")).toString(),
                               message.value(QLatin1String("data")).toObject());
        } else if (auto it = m_pending.find(message.value(QLatin1String("id")).toInteger(-1)); it != m_pending.end()) {
            Completion<QJsonValue> answer = it->second;
            m_pending.erase(it);
            if (message.contains(QLatin1String("error"))) {
                const QJsonObject error = message.value(QLatin1String("error")).toObject();
                QString text = error.value(QLatin1String("desc")).toString();
                if (text.isEmpty())
                    text = QStringLiteral("QEMU hat den Befehl abgelehnt (%1).")
                               .arg(error.value(QLatin1String("class")).toString());
                answer.fail(qmpError(text));
            } else
                answer.resolve(message.value(QLatin1String("return")));
        }
    }
}

void QmpClient::write(const QJsonObject &message)
{
    m_socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    m_socket.flush();
}

void QmpClient::send(const QString &command, const QJsonObject &arguments)
{
    QJsonObject message{{QStringLiteral("execute"), command}};
    if (!arguments.isEmpty())
        message.insert(QStringLiteral("arguments"), arguments);
    write(message);
}

QCoro::Task<void> QmpClient::negotiate(std::chrono::milliseconds timeout)
{
    if (!m_greeted) {
        if (!isConnected())
            throw qmpError(QStringLiteral("Keine Verbindung zu QEMU."));
        Completion<void> greeting;
        m_greeting = greeting;
        QTimer::singleShot(timeout, this, [greeting]() mutable {
            greeting.fail(TimeoutError(QStringLiteral("QEMU hat sich nicht gemeldet")));
        });
        co_await greeting;
    }
    co_await execute(QStringLiteral("qmp_capabilities"));
}

QCoro::Task<QJsonValue> QmpClient::execute(QString command, QJsonObject arguments, std::chrono::milliseconds timeout)
{
    if (!isConnected())
        throw qmpError(QStringLiteral("Keine Verbindung zu QEMU."));
    Completion<QJsonValue> answer;
    const qint64 id = m_nextId++;
    m_pending.emplace(id, answer);
    QJsonObject message{{QStringLiteral("execute"), command}, {QStringLiteral("id"), id}};
    if (!arguments.isEmpty())
        message.insert(QStringLiteral("arguments"), arguments);
    write(message);
    QTimer::singleShot(timeout, this, [this, id, answer, command]() mutable {
        m_pending.erase(id);
        answer.fail(TimeoutError(QStringLiteral("QEMU hat nicht auf %1 geantwortet").arg(command)));
    });
    co_return co_await answer;
}

} // namespace trellium
