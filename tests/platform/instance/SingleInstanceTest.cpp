#include "platform/instance/InstanceChannel.h"
#include "platform/instance/InstanceLock.h"
#include "platform/instance/SingleInstance.h"

#include "core/Async.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>

#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace trellium;
using namespace trellium::test;
using namespace std::chrono_literals;

namespace {

using Outcome = SingleInstance::Outcome;
using Delivery = InstanceChannel::Delivery;

int modeOf(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

sockaddr_un addressOf(const QString &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    return address;
}

// What a killed holder leaves: a bound socket file nobody listens on.
void leaveStaleSocket(const QString &path)
{
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ::close(socket);
    ASSERT_TRUE(QFileInfo::exists(path));
}

// Sends raw bytes and returns the first line of the answer.
QByteArray exchangeRaw(const QString &path, const QByteArray &bytes)
{
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    QByteArray answer;
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::send(socket, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size()) {
        char buffer[256];
        ssize_t n;
        while (!answer.contains('\n') && (n = ::recv(socket, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, n);
    }
    ::close(socket);
    return answer.left(answer.indexOf('\n'));
}

class SingleInstanceTest : public DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        ASSERT_EQ(::chmod(QFile::encodeName(scratch(QStringLiteral("run"))).constData(), 0700), 0);
        m_runtime = std::make_unique<ScopedEnvironmentVariable>("XDG_RUNTIME_DIR",
                                                                QFile::encodeName(scratch(QStringLiteral("run"))));
    }
    void TearDown() override
    {
        m_runtime.reset();
        DataHomeTest::TearDown();
    }

    QString folder() const { return dataHome() + QStringLiteral("/data/TRELLIUM"); }

    // Runs a blocking call on a worker while this thread serves the holder's side.
    template<typename Call>
    static auto offThread(Call call)
    {
        auto future = std::async(std::launch::async, std::move(call));
        EXPECT_TRUE(waitUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, 60s));
        return future.get();
    }

private:
    std::unique_ptr<ScopedEnvironmentVariable> m_runtime;
};

} // namespace

TEST_F(SingleInstanceTest, TheLockBelongsToOneHolderAtATimeAndNotToItsChildren)
{
    const QString path = SingleInstance::lockPath(folder());
    auto first = InstanceLock::tryAcquire(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(InstanceLock::tryAcquire(path));
    // The same folder under another name is the same lock.
    const QString alias = scratch() + QStringLiteral("/alias");
    ASSERT_TRUE(QFile::link(folder(), alias));
    EXPECT_FALSE(InstanceLock::tryAcquire(SingleInstance::lockPath(alias)));

    // A child started while the lock is held (a machine, a tool) does not
    // keep it after its parent lets go.
    QProcess child;
    child.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(child.waitForStarted());
    first.reset();
    EXPECT_TRUE(InstanceLock::tryAcquire(path));
    child.kill();
    child.waitForFinished();
}

TEST_F(SingleInstanceTest, TheSocketIsPrivateShortAndNamedAfterTheFolder)
{
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString socket = InstanceChannel::socketPath(folder());
    EXPECT_TRUE(socket.startsWith(scratch(QStringLiteral("run")) + QStringLiteral("/trellium/instance-"))) << socket.toStdString();
    EXPECT_EQ(modeOf(QFileInfo(socket).absolutePath()), 0700);
    const QString alias = scratch() + QStringLiteral("/alias");
    ASSERT_TRUE(QFile::link(folder(), alias));
    EXPECT_EQ(InstanceChannel::socketPath(alias), socket);
    EXPECT_NE(InstanceChannel::socketPath(dataHome() + QStringLiteral("/other")), socket);

    // However deep the folder, the name fits a socket address.
    const QString deep = dataHome() + QLatin1Char('/') + QString(120, QLatin1Char('d')) + QLatin1Char('/')
        + QString(120, QLatin1Char('e'));
    ASSERT_TRUE(QDir().mkpath(deep));
    EXPECT_LE(QFile::encodeName(InstanceChannel::socketPath(deep)).size(), InstanceChannel::kMaximumSocketPath);
    // A runtime folder too long for one gives way to the user's folder in /tmp.
    const QString longRuntime = scratch(QString(90, QLatin1Char('r')));
    ASSERT_EQ(::chmod(QFile::encodeName(longRuntime).constData(), 0700), 0);
    ScopedEnvironmentVariable runtime("XDG_RUNTIME_DIR", QFile::encodeName(longRuntime));
    const QString fallback = InstanceChannel::socketPath(folder());
    EXPECT_TRUE(fallback.startsWith(QStringLiteral("/tmp/trellium-%1/").arg(::geteuid()))) << fallback.toStdString();
    EXPECT_LE(QFile::encodeName(fallback).size(), InstanceChannel::kMaximumSocketPath);
    EXPECT_EQ(modeOf(QFileInfo(fallback).absolutePath()), 0700);
}

TEST_F(SingleInstanceTest, ARequestReachesTheHolderWhoseAnswerComesBack)
{
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString socket = InstanceChannel::socketPath(folder());
    leaveStaleSocket(socket);
    InstanceChannel channel;
    QList<QStringList> received;
    std::optional<QString> refusal;
    channel.listen(socket, [&](const QStringList &request) {
        received.append(request);
        return refusal;
    });
    ASSERT_TRUE(channel.isListening());

    const QStringList words{QStringLiteral("settings"), QStringLiteral("zwei Wörter"),
                            QStringLiteral("\"quoted\"\nzweite Zeile"), QString()};
    EXPECT_EQ(offThread([&] { return InstanceChannel::send(socket, words, 30s); }).delivery, Delivery::answered);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.first(), words);

    refusal = QStringLiteral("Unbekanntes Fenster: x\nund mehr");
    const auto refused = offThread([&] { return InstanceChannel::send(socket, words, 30s); });
    EXPECT_EQ(refused.delivery, Delivery::refused);
    EXPECT_EQ(refused.message, QStringLiteral("Unbekanntes Fenster: x und mehr"));

    // What is no list of texts is answered, and never reaches the handler.
    EXPECT_EQ(offThread([&] { return exchangeRaw(socket, "{\"open\": 1}\n"); }),
              QStringLiteral("Ungültige Anfrage an den laufenden Prozess.").toUtf8());
    EXPECT_EQ(offThread([&] { return exchangeRaw(socket, "[1]\n"); }),
              QStringLiteral("Ungültige Anfrage an den laufenden Prozess.").toUtf8());
    EXPECT_EQ(received.size(), 2);

    // A request whose caller gave up while this thread was busy is not
    // carried out late: the caller has said it was not.
    auto gaveUp = std::async(std::launch::async, [&] { return InstanceChannel::send(socket, {"late"}, 300ms); });
    EXPECT_EQ(gaveUp.get().delivery, Delivery::noAnswer);
    refusal.reset();
    EXPECT_EQ(offThread([&] { return InstanceChannel::send(socket, {"next"}, 30s); }).delivery, Delivery::answered);
    runSync(sleepFor(200ms));
    EXPECT_EQ(received.size(), 3);
    EXPECT_EQ(received.last(), QStringList{"next"});

    channel.close();
    EXPECT_FALSE(QFileInfo::exists(socket));
    EXPECT_EQ(InstanceChannel::send(socket, words, 30s).delivery, Delivery::unreachable);
}

TEST_F(SingleInstanceTest, ALaunchHoldsTheFolderOrHandsItsRequestOverWithinItsBound)
{
    auto holder = SingleInstance::launch(folder(), {QStringLiteral("settings")});
    ASSERT_EQ(holder.outcome, Outcome::holder);
    ASSERT_TRUE(holder.lock);
    EXPECT_TRUE(QFileInfo::exists(folder() + QStringLiteral("/.instance.lock")));
    EXPECT_EQ(SingleInstance::launch(folder(), {}).outcome, Outcome::alreadyRunning);
    const QString socket = InstanceChannel::socketPath(folder());
    const QStringList request{QStringLiteral("settings")};

    // A holder not listening (yet) is asked again until the bound runs out.
    EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), request, 300ms, 20ms); }).outcome,
              Outcome::noAnswer);

    // A holder that takes the request and never answers.
    {
        QLocalServer silent;
        ASSERT_TRUE(silent.listen(socket));
        QList<QLocalSocket *> taken;
        QObject::connect(&silent, &QLocalServer::newConnection, [&] { taken.append(silent.nextPendingConnection()); });
        EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), request, 300ms); }).outcome,
                  Outcome::noAnswer);
        EXPECT_EQ(taken.size(), 1);
    }

    InstanceChannel channel;
    std::optional<QString> refusal;
    channel.listen(socket, [&](const QStringList &) { return refusal; });
    EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), request); }).outcome, Outcome::handedOver);
    refusal = QStringLiteral("Nein.");
    const auto refused = offThread([&] { return SingleInstance::launch(folder(), request); });
    EXPECT_EQ(refused.outcome, Outcome::refused);
    EXPECT_EQ(refused.message, QStringLiteral("Nein."));
    channel.close();

    // The holder ends while the launch is talking to it: the launch then
    // holds the folder itself.
    QLocalServer ending;
    ASSERT_TRUE(ending.listen(socket));
    QObject::connect(&ending, &QLocalServer::newConnection, [&] {
        QLocalSocket *connection = ending.nextPendingConnection();
        holder.lock.reset();
        connection->abort();
    });
    auto successor = offThread([&] { return SingleInstance::launch(folder(), request); });
    EXPECT_EQ(successor.outcome, Outcome::holder);
    EXPECT_TRUE(successor.lock);
    EXPECT_FALSE(holder.lock);
}
