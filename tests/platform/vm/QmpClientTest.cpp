#include "core/Async.h"
#include "core/Errors.h"
#include "platform/vm/QmpClient.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

// QEMU's end of the machine protocol: reads the client's commands and writes
// whatever a test wants QEMU to say.
class FakeQemu {
public:
    FakeQemu()
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            throw std::runtime_error("socketpair");
        m_fd = pair[0];
        client = std::make_unique<QmpClient>(pair[1]);
    }
    ~FakeQemu()
    {
        client.reset();
        hangUp();
    }

    void say(const QByteArray &bytes) const
    {
        ASSERT_EQ(::write(m_fd, bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    void answer(qint64 id, const QByteArray &body) const
    {
        say("{\"id\":" + QByteArray::number(id) + "," + body + "}\r\n");
    }

    // The next command the client sent; the client's coroutines run meanwhile.
    QJsonObject nextCommand()
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_received.contains('\n')) {
            QCoreApplication::processEvents();
            pollfd descriptor{m_fd, POLLIN, 0};
            if (::poll(&descriptor, 1, 10) != 1) {
                if (clock.elapsed() > 5000)
                    return {};
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(m_fd, buffer, sizeof(buffer));
            if (got <= 0)
                return {};
            m_received.append(buffer, got);
        }
        const qsizetype end = m_received.indexOf('\n');
        const QByteArray line = m_received.left(end);
        m_received.remove(0, end + 1);
        return QJsonDocument::fromJson(line).object();
    }

    void hangUp()
    {
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
    }

    std::unique_ptr<QmpClient> client;

private:
    int m_fd = -1;
    QByteArray m_received;
};

const QByteArray kGreeting = R"({"QMP": {"version": {"qemu": {"micro": 0, "minor": 2, "major": 7}}, "capabilities": []}})";

qint64 idOf(const QJsonObject &command)
{
    return command.value(QLatin1String("id")).toInteger(-1);
}

// Negotiates as QEMU would: greeting (which may arrive in pieces), then the
// capabilities command answered.
void greet(FakeQemu &qemu)
{
    auto negotiation = qemu.client->negotiate(5s);
    qemu.say(kGreeting.left(20));
    QCoreApplication::processEvents();
    qemu.say(kGreeting.mid(20) + "\r\n");
    const QJsonObject capabilities = qemu.nextCommand();
    ASSERT_EQ(capabilities.value(QLatin1String("execute")).toString(), QStringLiteral("qmp_capabilities"));
    qemu.answer(idOf(capabilities), R"("return": {})");
    runSync(std::move(negotiation), 5s);
}

} // namespace

TEST(QmpClient, NegotiatesOnlyAfterAGreetingAndHandsEachAnswerToItsOwnCommand)
{
    FakeQemu qemu;
    QStringList events;
    QObject::connect(qemu.client.get(), &QmpClient::eventReceived, [&events](const QString &event, const QJsonObject &data) {
        events << event + QLatin1Char(' ') + QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact));
    });
    greet(qemu);

    const QJsonObject usernetArguments{{QStringLiteral("command-line"), QStringLiteral("info usernet")}};
    auto usernet = qemu.client->execute(QStringLiteral("human-monitor-command"), usernetArguments);
    auto status = qemu.client->execute(QStringLiteral("query-status"));
    const QJsonObject first = qemu.nextCommand();
    const QJsonObject second = qemu.nextCommand();
    EXPECT_EQ(first.value(QLatin1String("arguments")).toObject(), usernetArguments);
    ASSERT_NE(idOf(first), idOf(second));

    // Answered out of order, with an event and noise in between.
    qemu.answer(idOf(second), R"("return": {"status": "running"})");
    qemu.say("not json\r\n{\"event\": \"RESET\", \"data\": {\"guest\": true}}\r\n");
    qemu.answer(idOf(first), R"("return": "hostfwd 35757")");

    EXPECT_EQ(runSync(std::move(usernet), 5s).toString(), QStringLiteral("hostfwd 35757"));
    EXPECT_EQ(runSync(std::move(status), 5s).toObject().value(QLatin1String("status")).toString(),
              QStringLiteral("running"));
    EXPECT_EQ(events, QStringList{QStringLiteral("RESET {\"guest\":true}")});

    // QEMU ending before its greeting fails the negotiation.
    FakeQemu silent;
    auto negotiation = silent.client->negotiate(60s);
    silent.hangUp();
    EXPECT_THROW(runSync(std::move(negotiation), 5s), DomainError);
}

TEST(QmpClient, ErrorAnswersAndTimeoutsFailOnlyTheirCommandALostConnectionAllOfThem)
{
    FakeQemu qemu;
    greet(qemu);

    auto refused = qemu.client->execute(QStringLiteral("cont"));
    qemu.answer(idOf(qemu.nextCommand()), R"("error": {"class": "GenericError", "desc": "Resetting the Virtual Machine is required"})");
    try {
        runSync(std::move(refused), 5s);
        FAIL() << "an error answer was taken for success";
    } catch (const DomainError &error) {
        EXPECT_EQ(error.domain(), QStringLiteral("QMP"));
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("Resetting the Virtual Machine is required"));
    }

    auto silent = qemu.client->execute(QStringLiteral("query-status"), {}, 50ms);
    const QJsonObject unanswered = qemu.nextCommand();
    EXPECT_THROW(runSync(std::move(silent), 5s), TimeoutError);

    // The late answer to the timed-out command must not pass for the next one's.
    auto next = qemu.client->execute(QStringLiteral("query-name"));
    const QJsonObject nextCommand = qemu.nextCommand();
    qemu.answer(idOf(unanswered), R"("return": {"status": "running"})");
    qemu.answer(idOf(nextCommand), R"("return": {"name": "runtime"})");
    EXPECT_EQ(runSync(std::move(next), 5s).toObject(), (QJsonObject{{QStringLiteral("name"), QStringLiteral("runtime")}}));

    // A lost connection fails every waiting command, and later ones at once.
    bool disconnected = false;
    QObject::connect(qemu.client.get(), &QmpClient::disconnected, [&disconnected]() { disconnected = true; });

    auto first = qemu.client->execute(QStringLiteral("query-status"));
    auto second = qemu.client->execute(QStringLiteral("query-name"));
    qemu.nextCommand();
    qemu.nextCommand();
    qemu.hangUp();

    EXPECT_THROW(runSync(std::move(first), 5s), DomainError);
    EXPECT_THROW(runSync(std::move(second), 5s), DomainError);
    EXPECT_TRUE(disconnected);
    EXPECT_FALSE(qemu.client->isConnected());
    // Nothing left to wait for: a new command fails without its time-out.
    EXPECT_THROW(runSync(qemu.client->execute(QStringLiteral("cont"), {}, 60s), 1s), DomainError);
}
