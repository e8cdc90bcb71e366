#include "platform/instance/InstanceChannel.h"
#include "platform/instance/InstanceLock.h"
#include "platform/instance/SingleInstance.h"

#include "core/Async.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "support/ForeignListener.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <cstring>
#include <future>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
        ASSERT_TRUE(m_runtimeFolder.isValid());
        m_runtime = std::make_unique<ScopedEnvironmentVariable>("XDG_RUNTIME_DIR", QFile::encodeName(runtime()));
    }
    void TearDown() override
    {
        m_runtime.reset();
        DataHomeTest::TearDown();
    }

    QString folder() const { return dataHome() + QStringLiteral("/data/TRELLIUM"); }
    // The runtime folder (0700): in /tmp itself, so that its socket paths
    // fit an address whatever TMPDIR names.
    QString runtime() const { return m_runtimeFolder.path(); }
    // The folder's first socket path, its folder made as a listener makes it.
    QString preparedSocketPath() const
    {
        const QString socket = InstanceChannel::socketPaths(folder()).first();
        createDirectories(QFileInfo(socket).absolutePath());
        ::chmod(QFile::encodeName(QFileInfo(socket).absolutePath()).constData(), 0700);
        return socket;
    }

    // Runs a blocking call on a worker while this thread serves the holder's side.
    template<typename Call>
    static auto offThread(Call call)
    {
        auto future = std::async(std::launch::async, std::move(call));
        EXPECT_TRUE(waitUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, 60s));
        return future.get();
    }

private:
    QTemporaryDir m_runtimeFolder{QStringLiteral("/tmp/rt-XXXXXX")};
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
    const QStringList paths = InstanceChannel::socketPaths(folder());
    ASSERT_EQ(paths.size(), 2);
    const QString socket = paths.first();
    EXPECT_TRUE(socket.startsWith(runtime() + QStringLiteral("/trellium/instance-"))) << socket.toStdString();
    EXPECT_EQ(paths.last(), QStringLiteral("/tmp/trellium-%1/").arg(::geteuid()) + QFileInfo(socket).fileName());
    // A folder others could enter is closed to them; the socket is this user's alone.
    createDirectories(QFileInfo(socket).absolutePath());
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(socket).absolutePath()).constData(), 0755), 0);
    {
        InstanceChannel channel;
        channel.listen(socket, nullptr);
        EXPECT_EQ(modeOf(QFileInfo(socket).absolutePath()), 0700);
        EXPECT_EQ(modeOf(socket), 0600);
    }
    const QString alias = scratch() + QStringLiteral("/alias");
    ASSERT_TRUE(QFile::link(folder(), alias));
    EXPECT_EQ(InstanceChannel::socketPaths(alias), paths);
    EXPECT_NE(InstanceChannel::socketPaths(dataHome() + QStringLiteral("/other")).first(), socket);

    // However deep the folder, the name fits a socket address.
    const QString deep = dataHome() + QLatin1Char('/') + QString(120, QLatin1Char('d')) + QLatin1Char('/')
        + QString(120, QLatin1Char('e'));
    ASSERT_TRUE(QDir().mkpath(deep));
    EXPECT_LE(QFile::encodeName(InstanceChannel::socketPaths(deep).first()).size(), InstanceChannel::kMaximumSocketPath);
    // A runtime folder too long for one gives way to the user's folder in /tmp.
    const QString longRuntime = scratch(QString(90, QLatin1Char('r')));
    ASSERT_EQ(::chmod(QFile::encodeName(longRuntime).constData(), 0700), 0);
    ScopedEnvironmentVariable runtime("XDG_RUNTIME_DIR", QFile::encodeName(longRuntime));
    EXPECT_EQ(InstanceChannel::socketPaths(folder()), QStringList{paths.last()});
    const QString fallback = InstanceChannel::socketPaths(folder()).first();
    EXPECT_TRUE(fallback.startsWith(QStringLiteral("/tmp/trellium-%1/").arg(::geteuid()))) << fallback.toStdString();
    EXPECT_LE(QFile::encodeName(fallback).size(), InstanceChannel::kMaximumSocketPath);
    InstanceChannel channel;
    channel.listen(fallback, nullptr);
    EXPECT_EQ(modeOf(QFileInfo(fallback).absolutePath()), 0700);
}

TEST_F(SingleInstanceTest, ARequestReachesTheHolderWhoseAnswerComesBack)
{
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString socket = preparedSocketPath();
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
    EXPECT_EQ(InstanceChannel::send(socket, words, 30s).delivery, Delivery::missing);
    // Left by a killed holder: nobody listens.
    leaveStaleSocket(socket);
    EXPECT_EQ(InstanceChannel::send(socket, words, 30s).delivery, Delivery::unreachable);
}

TEST_F(SingleInstanceTest, ALaunchHoldsTheFolderOrHandsItsRequestOverWithinItsBound)
{
    auto holder = SingleInstance::launch(folder(), {QStringLiteral("settings")});
    ASSERT_EQ(holder.outcome, Outcome::holder);
    ASSERT_TRUE(holder.lock);
    EXPECT_TRUE(QFileInfo::exists(folder() + QStringLiteral("/.instance.lock")));
    EXPECT_EQ(SingleInstance::launch(folder(), {}).outcome, Outcome::alreadyRunning);
    const QString socket = preparedSocketPath();
    const QStringList request{QStringLiteral("settings")};

    // A holder that has not said where it listens, or not listening there
    // (yet), is asked again until the bound runs out.
    EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), request, 300ms, 20ms); }).outcome,
              Outcome::noAnswer);
    leaveStaleSocket(socket);
    SingleInstance::recordAddress(folder(), socket);
    EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), request, 300ms, 20ms); }).outcome,
              Outcome::noAnswer);
    QLocalServer::removeServer(socket);

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
    auto refused = offThread([&] { return SingleInstance::launch(folder(), request); });
    EXPECT_EQ(refused.outcome, Outcome::refused);
    EXPECT_EQ(refused.message, QStringLiteral("Nein."));
    // Whatever the holder answers reaches the terminal as plain text.
    refusal = QStringLiteral("\x1b[31mNein\x1b[0m,\x1b]0;Titel\x07 nicht\tjetzt\x9b" "2J.");
    refused = offThread([&] { return SingleInstance::launch(folder(), request); });
    EXPECT_EQ(refused.outcome, Outcome::refused);
    EXPECT_EQ(refused.message, QStringLiteral("Nein, nicht jetzt."));
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
    // What the holder before it recorded names nobody now.
    EXPECT_FALSE(QFileInfo::exists(SingleInstance::addressPath(folder())));
}

TEST_F(SingleInstanceTest, ALinkInTheLocksPlaceIsNotFollowed)
{
    createDirectories(folder());
    const QString target = scratch() + QStringLiteral("/target");
    ASSERT_TRUE(QFile::link(target, SingleInstance::lockPath(folder())));
    EXPECT_THROW(InstanceLock::tryAcquire(SingleInstance::lockPath(folder())), FileError);
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_EQ(SingleInstance::launch(folder(), {}).outcome, Outcome::failed);
}

namespace {

// Holds the folder and serves its requests, counting them.
struct Holder {
    explicit Holder(const QString &folder) : launch(SingleInstance::launch(folder, {}))
    {
        EXPECT_EQ(launch.outcome, Outcome::holder);
    }
    QString serve(const QString &folder)
    {
        return SingleInstance::serve(folder, channel, [this](const QStringList &request) {
            received.append(request);
            return std::optional<QString>();
        });
    }

    SingleInstance::Launch launch;
    InstanceChannel channel;
    QList<QStringList> received;
};

} // namespace

// QLocalServer keeps two bytes of the socket address to itself: a path of
// 107 bytes in the runtime folder is no place to listen.
TEST_F(SingleInstanceTest, AHolderIsReachedWhateverLengthItsRuntimeFolderGivesTheSocketPath)
{
    Holder holder(folder());
    const QString inTmp = InstanceChannel::socketPaths(folder()).last();
    const QString name = QFileInfo(inTmp).fileName();
    const QTemporaryDir top(QStringLiteral("/tmp/rt-XXXXXX"));
    ASSERT_TRUE(top.isValid());
    for (const int length : {106, 107, 108}) {
        SCOPED_TRACE(length);
        const qsizetype runtimeLength = length - QStringLiteral("/trellium/").size() - name.size();
        const QString runtime = top.path() + QLatin1Char('/') + QString(runtimeLength - top.path().size() - 1, QLatin1Char('x'));
        createDirectories(runtime);
        ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        const QString inRuntime = runtime + QStringLiteral("/trellium/") + name;
        ASSERT_EQ(QFile::encodeName(inRuntime).size(), length);
        EXPECT_EQ(InstanceChannel::socketPaths(folder()).first(), length <= 106 ? inRuntime : inTmp);

        EXPECT_EQ(holder.serve(folder()), length <= 106 ? inRuntime : inTmp);
        EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), {QStringLiteral("settings")}, 60s); }).outcome,
                  Outcome::handedOver);
        holder.channel.close();
    }
    EXPECT_EQ(holder.received.size(), 3);

    // Where the runtime folder's place cannot be listened on, the other folder is.
    const QString runtime = top.path() + QStringLiteral("/blocked");
    createDirectories(runtime);
    ASSERT_TRUE(QFile(runtime + QStringLiteral("/trellium")).open(QIODevice::WriteOnly));
    ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    ASSERT_EQ(InstanceChannel::socketPaths(folder()).size(), 2);
    EXPECT_EQ(holder.serve(folder()), inTmp);
    EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), {QStringLiteral("settings")}, 60s); }).outcome,
              Outcome::handedOver);

    // A runtime folder that is missing, or named by a relative path (which
    // would name another folder from every working folder), is not used.
    {
        ScopedEnvironmentVariable missing("XDG_RUNTIME_DIR", QFile::encodeName(top.path() + QStringLiteral("/gone")));
        EXPECT_EQ(InstanceChannel::socketPaths(folder()), QStringList{inTmp});
    }
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(top.path()));
    {
        ScopedEnvironmentVariable relative("XDG_RUNTIME_DIR", "blocked");
        EXPECT_EQ(InstanceChannel::socketPaths(folder()), QStringList{inTmp});
    }
    QDir::setCurrent(previous);
}

// The holder says where it listens, in the folder: a launch finds it
// whatever its own environment, and one that cannot trust what it finds
// there says so at once.
TEST_F(SingleInstanceTest, ALaunchFindsTheHolderWhateverItsOwnRuntimeFolderAndStopsAtOnceWhereItCannot)
{
    Holder holder(folder());
    const QString socket = holder.serve(folder());
    EXPECT_TRUE(socket.startsWith(runtime())) << socket.toStdString();
    const QStringList request{QStringLiteral("settings")};
    const auto launch = [&] { return offThread([&] { return SingleInstance::launch(folder(), request, 60s); }); };
    {
        const QString other = scratch(QStringLiteral("other-run"));
        ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", QFile::encodeName(other));
        EXPECT_EQ(launch().outcome, Outcome::handedOver);
    }
    {
        ScopedEnvironmentVariable variable("XDG_RUNTIME_DIR", QByteArray());
        EXPECT_EQ(launch().outcome, Outcome::handedOver);
    }
    EXPECT_EQ(holder.received.size(), 2);

    // The socket's folder opened to others: nothing is sent there.
    const QByteArray socketFolder = QFile::encodeName(QFileInfo(socket).absolutePath());
    ASSERT_EQ(::chmod(socketFolder.constData(), 0755), 0);
    auto refused = launch();
    EXPECT_EQ(refused.outcome, Outcome::unreachable);
    EXPECT_TRUE(refused.message.contains(socket)) << refused.message.toStdString();
    ASSERT_EQ(::chmod(socketFolder.constData(), 0700), 0);
    EXPECT_EQ(launch().outcome, Outcome::handedOver);

    // A record that is a link is not followed, even to a good one.
    const QString record = SingleInstance::addressPath(folder());
    const QString moved = scratch() + QStringLiteral("/record");
    ASSERT_TRUE(QFile::rename(record, moved));
    ASSERT_TRUE(QFile::link(moved, record));
    refused = launch();
    EXPECT_EQ(refused.outcome, Outcome::unreachable);
    EXPECT_TRUE(refused.message.contains(record)) << refused.message.toStdString();
    EXPECT_EQ(holder.received.size(), 3);

    // A holder that can listen nowhere records why, and a launch says it.
    holder.channel.close();
    removeItem(runtime() + QStringLiteral("/trellium"));
    ASSERT_TRUE(QFile(runtime() + QStringLiteral("/trellium")).open(QIODevice::WriteOnly));
    const QString inTmp = InstanceChannel::socketPaths(folder()).last();
    createDirectories(inTmp);
    const QString why = errorOf([&] { holder.serve(folder()); });
    removeItem(inTmp);
    EXPECT_TRUE(why.contains(inTmp)) << why.toStdString();
    refused = launch();
    EXPECT_EQ(refused.outcome, Outcome::unreachable);
    EXPECT_EQ(refused.message, why);
}

// A caller must send its request, and a short one: it cannot hold the
// channel open, nor make the holder keep what it sends.
TEST_F(SingleInstanceTest, ACallerThatSendsNothingOrTooMuchIsDropped)
{
    const QString socket = preparedSocketPath();
    int calls = 0;
    const auto handler = [&](const QStringList &) {
        ++calls;
        return std::optional<QString>();
    };
    // Connects, sends, and tells whether the holder closed the connection
    // without an answer (it waits for that at most a minute).
    const auto droppedAfterSending = [&](const QByteArray &bytes) {
        return offThread([&] {
            const int caller = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_un address = addressOf(socket);
            const timeval minute{60, 0};
            ::setsockopt(caller, SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
            bool dropped = false;
            if (::connect(caller, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
                // A caller slow to send (a busy machine) may be dropped before it does.
                const ssize_t sent = ::send(caller, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
                if (sent < 0) {
                    dropped = errno == EPIPE || errno == ECONNRESET;
                } else if (sent == bytes.size()) {
                    char byte = 0;
                    const ssize_t n = ::recv(caller, &byte, 1, 0);
                    dropped = n == 0 || (n < 0 && errno == ECONNRESET);
                }
            }
            ::close(caller);
            return dropped;
        });
    };

    InstanceChannel channel;
    channel.listen(socket, handler, {300ms, 1024});
    EXPECT_TRUE(droppedAfterSending({}));
    EXPECT_TRUE(droppedAfterSending("[\"settings\""));
    // Past the size bound the caller goes at once, long before its time is up.
    channel.listen(socket, handler, {24h, 1024});
    EXPECT_TRUE(droppedAfterSending(QByteArray(1025, 'x')));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(offThread([&] { return InstanceChannel::send(socket, {QStringLiteral("settings")}, 30s); }).delivery,
              Delivery::answered);
    EXPECT_EQ(calls, 1);
}

// Root may enter every folder: what keeps other users out is the check of
// their folders' owner and of the caller's user, which this test holds in
// place.
TEST_F(SingleInstanceTest, AsRootNeitherAnotherUsersFolderNorAnotherUsersCallerIsTrusted)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    constexpr uid_t kNobody = 65534;
    Holder holder(folder());

    // The runtime folder's place belongs to someone else: refused, and the
    // holder listens in the other folder.
    const QString foreign = runtime() + QStringLiteral("/trellium");
    createDirectories(foreign);
    ASSERT_EQ(::chmod(QFile::encodeName(foreign).constData(), 0700), 0);
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), kNobody, kNobody), 0);
    const QString inRuntime = InstanceChannel::socketPaths(folder()).first();
    EXPECT_TRUE(errorOf([&] { InstanceChannel().listen(inRuntime, nullptr); }).contains(foreign));
    const QString socket = holder.serve(folder());
    EXPECT_EQ(socket, InstanceChannel::socketPaths(folder()).last());

    // Nor does a launch trust a record another user wrote, or speak to a
    // socket in such a folder.
    const auto launch = [&] {
        return offThread([&] { return SingleInstance::launch(folder(), {QStringLiteral("settings")}, 60s); });
    };
    const QString record = SingleInstance::addressPath(folder());
    ASSERT_EQ(::chown(QFile::encodeName(record).constData(), kNobody, kNobody), 0);
    auto refused = launch();
    EXPECT_EQ(refused.outcome, Outcome::unreachable);
    EXPECT_TRUE(refused.message.contains(record)) << refused.message.toStdString();
    SingleInstance::recordAddress(folder(), inRuntime);
    refused = launch();
    EXPECT_EQ(refused.outcome, Outcome::unreachable);
    EXPECT_TRUE(refused.message.contains(inRuntime)) << refused.message.toStdString();

    // A caller of another user, let in by the folder and socket modes, gets
    // no answer and nothing is done.
    const QTemporaryDir open(QStringLiteral("/tmp/rt-XXXXXX"));
    const QString reachable = open.path() + QStringLiteral("/trellium/") + QFileInfo(socket).fileName();
    holder.channel.listen(reachable, [&](const QStringList &request) {
        holder.received.append(request);
        return std::optional<QString>();
    });
    for (const QString &path : {open.path(), QFileInfo(reachable).absolutePath()})
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0711), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(reachable).constData(), 0777), 0);
    const sockaddr_un address = addressOf(reachable);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(10);
        const int caller = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(caller, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            ::_exit(11);
        // The holder drops this caller as soon as it accepts it, which may
        // come before the send: a send refused for that is the same answer.
        const char request[] = "[\"settings\"]\n";
        const ssize_t sent = ::send(caller, request, sizeof request - 1, MSG_NOSIGNAL);
        if (sent < 0 && errno != EPIPE && errno != ECONNRESET)
            ::_exit(12);
        pollfd entry{caller, POLLIN, 0};
        if (::poll(&entry, 1, 60000) != 1)
            ::_exit(13);
        char byte = 0;
        const ssize_t n = ::recv(caller, &byte, 1, 0);
        ::_exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 14);
    }
    int status = -1;
    EXPECT_TRUE(waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 120s));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no user change, 11: no connection, 12: send failed otherwise, "
                                         "13: no end, 14: answered";
    EXPECT_TRUE(holder.received.isEmpty());
}

// A record names the socket as the holder wrote it: an absolute path in
// clean form. Any other form is refused before anything is sent, since the
// kernel resolves it otherwise than a check of its cleaned form would.
TEST_F(SingleInstanceTest, ARecordWhoseSocketPathIsNotAbsoluteAndCleanIsRefusedAtOnce)
{
    Holder holder(folder());
    const QString socket = holder.serve(folder());
    ASSERT_TRUE(socket.startsWith(runtime() + QStringLiteral("/trellium/"))) << socket.toStdString();
    const QString name = QFileInfo(socket).fileName();
    const QString record = SingleInstance::addressPath(folder());
    const auto refusedFor = [&](const QString &recorded, const QString &why) {
        SCOPED_TRACE(recorded.toStdString());
        SingleInstance::recordAddress(folder(), recorded);
        const auto launch =
            offThread([&] { return SingleInstance::launch(folder(), {QStringLiteral("settings")}, 60s); });
        EXPECT_EQ(launch.outcome, Outcome::unreachable);
        EXPECT_TRUE(launch.message.contains(record)) << launch.message.toStdString();
        EXPECT_TRUE(launch.message.contains(why)) << launch.message.toStdString();
        return launch.message;
    };

    // Each of these reaches the holder's socket from here.
    refusedFor(runtime() + QStringLiteral("/trellium/../trellium/") + name, QStringLiteral("nicht bereinigt"));
    refusedFor(runtime() + QStringLiteral("//trellium/") + name, QStringLiteral("nicht bereinigt"));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(runtime()));
    refusedFor(QStringLiteral("trellium/") + name, QStringLiteral("relativen Pfad"));
    refusedFor(QString(), QStringLiteral("nennt keinen Socket"));
    QDir::setCurrent(previous);
    EXPECT_TRUE(holder.received.isEmpty());

    // What the record names reaches the terminal as plain text.
    const QString shown =
        refusedFor(runtime() + QStringLiteral("/\x1b]0;Titel\x07weg\x1b[2J/../") + name, QStringLiteral("weg/../"));
    EXPECT_FALSE(shown.contains(QChar(0x1b)) || shown.contains(QChar(0x07))) << shown.toStdString();

    SingleInstance::recordAddress(folder(), socket);
    EXPECT_EQ(offThread([&] { return SingleInstance::launch(folder(), {QStringLiteral("settings")}, 60s); }).outcome,
              Outcome::handedOver);
}

// A socket that is gone while its holder lives (a cleaner of /tmp, a runtime
// folder removed at the end of the user's last session) cannot come back: a
// launch says so at once. A holder that is ending records it first, and a
// launch then waits for it to let go of the folder.
TEST_F(SingleInstanceTest, AMissingSocketIsReportedAtOnceWhileAnEndingHolderIsWaitedFor)
{
    Holder holder(folder());
    const QStringList request{QStringLiteral("settings")};
    const auto launch = [&](std::chrono::milliseconds bound) {
        return offThread([&] { return SingleInstance::launch(folder(), request, bound, 20ms); });
    };
    QString socket = holder.serve(folder());
    ASSERT_EQ(::unlink(QFile::encodeName(socket).constData()), 0);
    auto missing = launch(60s);
    EXPECT_EQ(missing.outcome, Outcome::unreachable);
    EXPECT_EQ(missing.message, QStringLiteral("Der Socket %1 des laufenden Prozesses fehlt.").arg(socket));

    const QString socketFolder = QFileInfo(socket).absolutePath();
    removeItem(socketFolder);
    missing = launch(60s);
    EXPECT_EQ(missing.outcome, Outcome::unreachable);
    EXPECT_EQ(missing.message,
              QStringLiteral("Der Ordner %1 mit dem Socket des laufenden Prozesses fehlt.").arg(socketFolder));
    EXPECT_TRUE(holder.received.isEmpty());

    socket = holder.serve(folder());
    SingleInstance::withdraw(folder(), holder.channel);
    EXPECT_FALSE(QFileInfo::exists(socket));
    EXPECT_EQ(launch(300ms).outcome, Outcome::ending);
    // The holder ends while a launch waits: the launch holds the folder then.
    auto successor = std::async(std::launch::async, [&] { return SingleInstance::launch(folder(), request, 60s, 20ms); });
    holder.launch.lock.reset();
    const auto after = successor.get();
    EXPECT_EQ(after.outcome, Outcome::holder);
    EXPECT_TRUE(after.lock);
    EXPECT_FALSE(QFileInfo::exists(SingleInstance::addressPath(folder())));
}

// However the holder's folder came to be reachable, a launch speaks only to
// a process of its own user: the one the kernel says listens there.
TEST_F(SingleInstanceTest, AsRootALaunchSendsNothingToAListenerOfAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "listening as another user needs root";
    constexpr uid_t kNobody = 65534;
    Holder holder(folder());
    const QString socket = InstanceChannel::socketPaths(folder()).first();
    createDirectories(QFileInfo(socket).absolutePath());
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(socket).absolutePath()).constData(), 0700), 0);
    ForeignListener listener(socket, kNobody);
    QString whyNot;
    ASSERT_TRUE(listener.listening(&whyNot)) << whyNot.toStdString();
    SingleInstance::recordAddress(folder(), socket);

    const auto launch =
        offThread([&] { return SingleInstance::launch(folder(), {QStringLiteral("settings")}, 60s); });
    EXPECT_EQ(launch.outcome, Outcome::unreachable);
    EXPECT_EQ(launch.message, QStringLiteral("Am Socket %1 hört ein Prozess eines anderen Benutzers (Kennung 65534); "
                                             "ihm wurde nichts gesendet.")
                                  .arg(socket));
    EXPECT_EQ(listener.received(), QByteArray());
}
