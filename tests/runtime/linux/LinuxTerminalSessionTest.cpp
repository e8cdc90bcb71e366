#include "core/Files.h"
#include "runtime/RuntimeSessionManager.h"
#include "runtime/linux/LinuxSSHKeyManager.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"
#include "runtime/linux/LinuxTerminalSession.h"

#include "support/Samples.h"
#include "support/SshServer.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace trellium;

namespace {

constexpr int kWaitMs = 30000;
constexpr qsizetype kFloodBytes = 3 * 1024 * 1024;

// What one output handler received. Shared with the handler so that a late
// delivery never outlives it.
struct Received {
    QByteArray bytes;
    QList<QByteArray> chunks;

    static RuntimeSessionManager::OutputHandler into(const std::shared_ptr<Received> &received)
    {
        return [received](const QByteArray &chunk) {
            received->bytes += chunk;
            received->chunks.append(chunk);
        };
    }
};

bool waitFor(const std::function<bool()> &condition, int timeoutMs = kWaitMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

bool waitForText(const Received &received, const QByteArray &text, int timeoutMs = kWaitMs)
{
    return waitFor([&]() { return received.bytes.contains(text); }, timeoutMs);
}

// Until a whole line starting with the prefix has arrived.
bool waitForLine(const Received &received, const QByteArray &prefix)
{
    return waitFor([&]() {
        const qsizetype start = received.bytes.indexOf(prefix);
        return start >= 0 && received.bytes.indexOf('\n', start) >= 0;
    });
}

QStringList linesWithPrefix(const QByteArray &output, const QByteArray &prefix)
{
    QStringList found;
    for (QByteArray line : output.split('\n')) {
        // The terminal turns each line feed into CR LF.
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith(prefix))
            found << QString::fromUtf8(line.mid(prefix.size()));
    }
    return found;
}

// The same bytes the shells below print for "flood": no line feeds, so the
// terminal passes them through unchanged, and no period that could hide a
// window taken from the wrong place.
QByteArray floodText()
{
    QByteArray text;
    text.reserve(kFloodBytes + 16);
    for (int n = 1; text.size() < kFloodBytes; ++n)
        text += QByteArray::number(n) + ' ';
    text.truncate(kFloodBytes);
    return text;
}

const char *const kFloodCommand = "seq 1 600000 | tr '\\n' ' ' | head -c 3145728";

bool processGone(pid_t pid)
{
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

class LinuxTerminalSessionTest : public test::DataHomeTest {
protected:
    // Stands in for ssh: a shell script in the scratch folder.
    QString sshScript(const QString &body)
    {
        return test::shellScript(scratch() + "/ssh", body);
    }

    // Reports how it was started, then answers one command per line.
    QString interactiveScript()
    {
        return sshScript(QStringLiteral(R"SH(for a in "$@"; do printf 'arg:%s\n' "$a"; done
printf 'env:%s:%s:%s\n' "$TERM" "$COLORTERM" "$LANG"
if : </dev/tty; then echo ctty:yes; fi
echo "size:$(stty size)"
while IFS= read -r line; do
  case "$line" in
    size) echo "size:$(stty size)" ;;
    flood) )SH") + QLatin1String(kFloodCommand) + QStringLiteral(R"SH(; echo; echo FLOOD-DONE ;;
    exit) exit 3 ;;
    *) echo "got:$line" ;;
  esac
done)SH"));
    }

    RuntimeConfig loopbackRuntime(uint16_t port = 40022)
    {
        RuntimeConfig runtime = test::sampleRuntime();
        runtime.ipAddress = QStringLiteral("127.0.0.1");
        LinuxSSHPortRegistry::shared().setPort(runtime.id, port);
        return runtime;
    }
};

} // namespace

TEST(TerminalOutputBufferTest, KeepsExactlyTheNewestBytes)
{
    TerminalOutputBuffer buffer(8);
    buffer.append("0123456789", 10);  // more than fits at once
    EXPECT_EQ(buffer.contents(), QByteArray("23456789"));
    buffer.clear();
    EXPECT_TRUE(buffer.isEmpty());

    // Any sequence of chunk sizes (wrapping past the storage's end) against the obvious model.
    QRandomGenerator random(20240131);
    TerminalOutputBuffer ring(13);
    QByteArray everything;
    for (int i = 0; i < 3000; ++i) {
        const int length = int(random.bounded(30));
        QByteArray chunk(length, Qt::Uninitialized);
        for (char &c : chunk)
            c = char('a' + random.bounded(26));
        ring.append(chunk.constData(), chunk.size());
        everything += chunk;
        ASSERT_EQ(ring.contents(), everything.right(13)) << "after chunk " << i;
    }
}

TEST_F(LinuxTerminalSessionTest, StartsSshWithExactArgumentsInATerminalOfItsOwnKeptPerRuntimeAndResized)
{
    const QString ssh = interactiveScript();
    RuntimeSessionManager manager(ssh);
    const RuntimeConfig runtime = loopbackRuntime(40022);

    // A descriptor the agent forgot to mark close-on-exec must not reach ssh.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    auto received = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(received));
    ::close(leaky);
    ASSERT_TRUE(manager.hasSession(runtime.id));
    ASSERT_TRUE(waitForLine(*received, "size:")) << received->bytes.constData();

    const QString key = LinuxSSHKeyManager().privateKeyPath(runtime.id);
    EXPECT_EQ(linesWithPrefix(received->bytes, "arg:"),
              (QStringList{"-tt", "-i", key, "-o", "IdentitiesOnly=yes", "-o", "StrictHostKeyChecking=no", "-o",
                           "UserKnownHostsFile=/dev/null", "-p", "40022", "--", "trellium@127.0.0.1"}));
    const QString lang = qEnvironmentVariableIsEmpty("LANG") ? QStringLiteral("en_US.UTF-8") : qEnvironmentVariable("LANG");
    EXPECT_EQ(linesWithPrefix(received->bytes, "env:"), QStringList{"xterm-256color:truecolor:" + lang});
    EXPECT_EQ(linesWithPrefix(received->bytes, "ctty:"), QStringList{"yes"});
    EXPECT_EQ(linesWithPrefix(received->bytes, "size:"), QStringList{"32 120"});

    // Session leader with only the terminal (and the script itself, which
    // sh keeps open) as descriptors.
    const pid_t pid = manager.session(runtime.id)->processId();
    EXPECT_EQ(::getsid(pid), pid);
    const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &entry : QDir(fdFolder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = QFile::symLinkTarget(fdFolder + "/" + entry);
        if (entry.toInt() <= 2)
            EXPECT_TRUE(target.startsWith("/dev/pts/")) << entry.toStdString() << " -> " << target.toStdString();
        else
            EXPECT_EQ(target, QFileInfo(ssh).canonicalFilePath()) << "descriptor " << entry.toStdString();
    }

    // One session per runtime: opening again keeps it and its first handler.
    auto second = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(second));
    EXPECT_EQ(manager.session(runtime.id)->processId(), pid);
    manager.resizeTerminal(runtime.id, 100, 40);
    EXPECT_EQ(manager.session(runtime.id)->windowSize().columns, 100);
    EXPECT_EQ(manager.session(runtime.id)->windowSize().rows, 40);
    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("size")));
    ASSERT_TRUE(waitForText(*received, "size:40 100\r\n")) << received->bytes.constData();

    // Text and raw bytes arrive as given; the line feed comes from the line.
    ASSERT_TRUE(manager.sendTerminalText(runtime.id, QStringLiteral("grüß ")));
    ASSERT_TRUE(manager.sendTerminalData(runtime.id, QByteArray("\x01raw\n")));
    ASSERT_TRUE(waitForText(*received, "got:" + QStringLiteral("grüß ").toUtf8() + "\x01raw\r\n"))
        << received->bytes.constData();

    EXPECT_EQ(linesWithPrefix(received->bytes, "arg:-tt").size(), 1);
    EXPECT_TRUE(second->bytes.isEmpty());

    // Unknown runtimes are ignored.
    const QUuid stranger = QUuid::createUuid();
    EXPECT_FALSE(manager.sendTerminalLine(stranger, QStringLiteral("x")));
    EXPECT_FALSE(manager.attachTerminalOutput(stranger, {}));
    manager.resizeTerminal(stranger, 80, 24);
    manager.closeTerminalSession(stranger);
    EXPECT_TRUE(manager.hasSession(runtime.id));
}

TEST_F(LinuxTerminalSessionTest, AFailedStartLeavesNoSession)
{
    RuntimeSessionManager manager(interactiveScript());
    RuntimeConfig runtime = test::sampleRuntime();
    runtime.ipAddress.reset();
    EXPECT_EQ(test::errorOf([&] { manager.openTerminalSession(runtime, {}); }), QStringLiteral("Keine Runtime-IP."));
    EXPECT_FALSE(manager.hasSession(runtime.id));

    // Loopback without a forwarded port would reach the host's own sshd.
    runtime.ipAddress = QStringLiteral("127.0.0.1");
    EXPECT_THROW(manager.openTerminalSession(runtime, {}), DomainError);
    EXPECT_FALSE(manager.hasSession(runtime.id));

    RuntimeSessionManager missing(scratch() + QStringLiteral("/no-ssh"));
    EXPECT_THROW(missing.openTerminalSession(loopbackRuntime(), {}), FileError);

    // Exec itself failing (a script for an interpreter that is not there)
    // is reported, not mistaken for a running shell.
    const QString broken = scratch() + QStringLiteral("/broken-ssh");
    writeFileAtomically(broken, "#!/nonexistent/interpreter\n");
    QFile::setPermissions(broken, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    RuntimeSessionManager unstartable(broken);
    const RuntimeConfig other = loopbackRuntime();
    EXPECT_THROW(unstartable.openTerminalSession(other, {}), FileError);
    EXPECT_FALSE(unstartable.hasSession(other.id));
}

TEST_F(LinuxTerminalSessionTest, KeepsTheNewestOutputAndReplaysItOnAttachAndNothingBeforeAnyOutput)
{
    RuntimeSessionManager manager(interactiveScript());
    const RuntimeConfig runtime = loopbackRuntime();
    auto live = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(live));
    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("flood")));
    ASSERT_TRUE(waitForText(*live, "FLOOD-DONE\r\n")) << live->bytes.size();

    // Live delivery is never cut.
    EXPECT_TRUE(live->bytes.contains(floodText()));

    auto attached = std::make_shared<Received>();
    ASSERT_TRUE(manager.attachTerminalOutput(runtime.id, Received::into(attached)));
    ASSERT_TRUE(waitFor([&]() { return !attached->chunks.isEmpty(); }));
    // Every chunk read before the attach reached the first handler before
    // the replay, so the replay is exactly the tail of what it saw.
    const QByteArray replay = attached->chunks.first();
    EXPECT_EQ(replay.size(), LinuxTerminalSession::maxOutputBufferBytes);
    EXPECT_TRUE(replay == live->bytes.right(LinuxTerminalSession::maxOutputBufferBytes));
    EXPECT_TRUE(replay.endsWith("FLOOD-DONE\r\n"));
    EXPECT_TRUE(replay == manager.session(runtime.id)->outputSnapshot());

    // Later output goes to the new handler only, after the replay.
    const QByteArray before = live->bytes;
    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("after")));
    ASSERT_TRUE(waitForText(*attached, "got:after\r\n"));
    EXPECT_EQ(attached->bytes.left(replay.size()), replay);
    EXPECT_EQ(live->bytes, before);

    // Attaching before any output replays nothing.
    RuntimeSessionManager quiet(test::shellScript(scratch() + QStringLiteral("/cat"), QStringLiteral("exec cat")));
    quiet.openTerminalSession(runtime, {});
    auto first = std::make_shared<Received>();
    ASSERT_TRUE(quiet.attachTerminalOutput(runtime.id, Received::into(first)));
    ASSERT_TRUE(quiet.sendTerminalLine(runtime.id, QStringLiteral("x")));
    // The terminal's echo, then cat's copy; nothing in front of them.
    ASSERT_TRUE(waitFor([&]() { return first->bytes.size() >= 6; }));
    EXPECT_EQ(first->bytes, QByteArray("x\r\nx\r\n"));
    for (const QByteArray &chunk : first->chunks)
        EXPECT_FALSE(chunk.isEmpty());
}

TEST_F(LinuxTerminalSessionTest, AShellThatEndsStaysUntilClosedAndCloseEndsEverything)
{
    RuntimeSessionManager manager(interactiveScript());
    const RuntimeConfig runtime = loopbackRuntime();
    auto received = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(received));
    LinuxTerminalSession *session = manager.session(runtime.id);
    const pid_t pid = session->processId();

    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("last words")));
    ASSERT_TRUE(waitForText(*received, "got:last words\r\n"));
    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("exit")));
    ASSERT_TRUE(waitFor([&]() { return !session->isRunning(); }));
    // Reaped by the session, not left as a zombie.
    EXPECT_TRUE(waitFor([&]() { return processGone(pid); }));

    // Writing to an ended shell fails at once instead of filling the
    // terminal; far more than it could buffer.
    EXPECT_FALSE(manager.sendTerminalData(runtime.id, QByteArray(4 * 1024 * 1024, 'x')));
    EXPECT_FALSE(manager.sendTerminalLine(runtime.id, QStringLiteral("echo nobody")));
    manager.resizeTerminal(runtime.id, 90, 30);

    EXPECT_TRUE(manager.hasSession(runtime.id));
    EXPECT_TRUE(session->outputSnapshot().contains("got:last words"));
    auto late = std::make_shared<Received>();
    ASSERT_TRUE(manager.attachTerminalOutput(runtime.id, Received::into(late)));
    ASSERT_TRUE(waitForText(*late, "got:last words"));

    // Closing a running shell ends and reaps it too.
    manager.closeTerminalSession(runtime.id);
    auto again = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(again));
    const pid_t second = manager.session(runtime.id)->processId();
    ASSERT_TRUE(waitForText(*again, "size:32 120"));
    manager.closeTerminalSession(runtime.id);
    EXPECT_FALSE(manager.hasSession(runtime.id));
    EXPECT_TRUE(waitFor([&]() { return processGone(second); }));

    EXPECT_FALSE(manager.sendTerminalLine(runtime.id, QStringLiteral("x")));
    EXPECT_FALSE(manager.sendTerminalText(runtime.id, QStringLiteral("x")));
    EXPECT_FALSE(manager.sendTerminalData(runtime.id, "x"));
    EXPECT_FALSE(manager.attachTerminalOutput(runtime.id, Received::into(late)));
}

TEST_F(LinuxTerminalSessionTest, InputTheShellDoesNotTakeIsQueuedWithoutBlocking)
{
    const QString go = scratch() + QStringLiteral("/go");
    // Raw mode, like ssh puts its terminal in: unread input then really
    // backs up instead of being dropped by the line editor.
    RuntimeSessionManager manager(sshScript(QStringLiteral(R"(stty raw -echo
echo ready
while [ ! -e '%1' ]; do sleep 0.05; done
head -c 716800 | md5sum
exec cat >/dev/null)")
                                                .arg(go)));
    const RuntimeConfig runtime = loopbackRuntime();
    auto received = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(received));
    ASSERT_TRUE(waitForText(*received, "ready"));

    QByteArray payload(716800, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (char &c : payload)
        c = char('a' + random.bounded(26));
    test::LogCapture log;
    EXPECT_TRUE(manager.sendTerminalData(runtime.id, payload));
    // Together with what still waits this exceeds the queue: refused whole.
    EXPECT_FALSE(manager.sendTerminalData(runtime.id, QByteArray(716800, 'z')));
    EXPECT_TRUE(log.contains(QStringLiteral("Terminal input dropped:")));

    writeFileAtomically(go, "");
    const QByteArray digest = QCryptographicHash::hash(payload, QCryptographicHash::Md5).toHex();
    ASSERT_TRUE(waitForText(*received, digest)) << received->bytes.constData();
    EXPECT_TRUE(manager.sendTerminalData(runtime.id, QByteArray(716800, 'y')));
}

TEST_F(LinuxTerminalSessionTest, WorksOverARealSshServer)
{
    RuntimeConfig runtime = loopbackRuntime();
    runtime.username = test::SshServer::currentUser();
    QString whyNot;
    auto server = test::SshServer::start(LinuxSSHKeyManager().publicKey(runtime), &whyNot);
    if (!server)
        GTEST_SKIP() << whyNot.toStdString();
    LinuxSSHPortRegistry::shared().setPort(runtime.id, server->port());

    RuntimeSessionManager manager;
    auto live = std::make_shared<Received>();
    manager.openTerminalSession(runtime, Received::into(live));
    LinuxTerminalSession *session = manager.session(runtime.id);

    // The quotes keep the typed command's echo from matching.
    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("echo TE''RM=$TERM; stty size")));
    ASSERT_TRUE(waitForText(*live, "TERM=xterm-256color")) << live->bytes.constData();
    ASSERT_TRUE(waitForText(*live, "32 120")) << live->bytes.constData();
    manager.resizeTerminal(runtime.id, 100, 40);
    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("stty size")));
    ASSERT_TRUE(waitForText(*live, "40 100")) << live->bytes.constData();

    ASSERT_TRUE(manager.sendTerminalLine(runtime.id,
                                         QLatin1String(kFloodCommand) + QStringLiteral("; echo; echo FLOOD''-DONE")));
    ASSERT_TRUE(waitForText(*live, "FLOOD-DONE", 120000));
    EXPECT_TRUE(live->bytes.contains(floodText()));

    ASSERT_TRUE(manager.sendTerminalLine(runtime.id, QStringLiteral("exit")));
    ASSERT_TRUE(waitFor([&]() { return !session->isRunning(); }));
    EXPECT_FALSE(manager.sendTerminalLine(runtime.id, QStringLiteral("echo too late")));
    EXPECT_FALSE(manager.sendTerminalData(runtime.id, QByteArray(4 * 1024 * 1024, 'x')));
    manager.closeTerminalSession(runtime.id);
}
