#include "core/Async.h"
#include "core/Files.h"
#include "runtime/linux/LinuxSSHManager.h"
#include "runtime/linux/LinuxSSHPortRegistry.h"

#include "support/Samples.h"
#include "support/SshServer.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

using namespace trellium;

namespace {

const QString kKeyRejected = QStringLiteral(
    "SSH-Schlüssel wurde von der Runtime abgelehnt. Die Verbindung wurde nicht mit einer anderen Runtime oder per "
    "Passwort fortgesetzt. ");

class LinuxSSHManagerTest : public test::DataHomeTest {
protected:
    // A stand-in for a tool: a shell script written into the scratch folder.
    QString script(const QString &name, const QString &body)
    {
        return test::shellScript(scratch() + "/" + name, body);
    }

    RuntimeConfig runtimeAt(const QString &address)
    {
        RuntimeConfig runtime = test::sampleRuntime();
        runtime.ipAddress = address;
        return runtime;
    }

    DomainError failure(LinuxSSHManager &ssh, const RuntimeConfig &runtime, const QString &command)
    {
        try {
            runSync(ssh.runCommand(runtime, command));
        } catch (const DomainError &error) {
            return error;
        }
        return DomainError(QStringLiteral("none"), 0, QStringLiteral("no error"));
    }
};

} // namespace

TEST_F(LinuxSSHManagerTest, KeyPairIsMadeOnceAndNeverReplaced)
{
    const RuntimeConfig runtime = test::sampleRuntime();
    LinuxSSHKeyManager keys;
    const QString key = keys.publicKey(runtime);
    EXPECT_TRUE(key.startsWith("ssh-ed25519 "));
    EXPECT_FALSE(key.endsWith('\n'));
    EXPECT_TRUE(keys.publicKeyURL(runtime.id).endsWith(uuidText(runtime.id) + "/ssh/runtime_ed25519.pub"));
    EXPECT_EQ(QFile::permissions(keys.privateKeyPath(runtime.id)) & (QFile::ReadGroup | QFile::ReadOther), 0);

    // A second call must not run the tool at all: this one would fail.
    LinuxSSHKeyManager failing({}, script("keygen", "exit 4"));
    EXPECT_EQ(failing.publicKey(runtime), key);

    const RuntimeConfig other = test::sampleRuntime();
    EXPECT_THROW(failing.ensureKeyPair(other), DomainError);
}

TEST_F(LinuxSSHManagerTest, PassesExactlyTheseArgumentsWithTheForwardedPort)
{
    LinuxSSHManager ssh({}, script("ssh", R"(for a in "$@"; do printf '%s\n' "$a"; done)"));
    RuntimeConfig runtime = runtimeAt(QStringLiteral("127.0.0.1"));
    LinuxSSHPortRegistry::shared().setPort(runtime.id, 40022);
    const QString key = LinuxSSHKeyManager().privateKeyPath(runtime.id);
    const QString output = runSync(ssh.runCommand(runtime, QStringLiteral("echo 'a b'")));
    EXPECT_EQ(output.split('\n', Qt::SkipEmptyParts),
              (QStringList{"-i", key, "-o", "IdentitiesOnly=yes", "-o", "BatchMode=yes", "-o",
                           "PasswordAuthentication=no", "-o", "KbdInteractiveAuthentication=no", "-o",
                           "ConnectTimeout=5", "-o", "StrictHostKeyChecking=no", "-o", "LogLevel=ERROR", "-o",
                           "UserKnownHostsFile=/dev/null", "-p", "40022", "--", "trellium@127.0.0.1", "echo 'a b'"}));

    // The agent's own commands, those with a limit, give up on a guest
    // that stops answering; users' commands do not.
    const QString limited = runSync(ssh.runCommand(runtime, QStringLiteral("true"), {}, std::chrono::seconds(60)));
    EXPECT_EQ(limited.split('\n', Qt::SkipEmptyParts).mid(18, 6),
              (QStringList{"-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=4", "-p", "40022"}));

    // A guest on a real network is addressed without a port.
    const QStringList bridged = LinuxSSHManager::destinationArguments(runtimeAt(QStringLiteral("192.168.64.7")));
    EXPECT_EQ(bridged, (QStringList{"--", "trellium@192.168.64.7"}));

    // Loopback without a registered port would reach the host's own sshd.
    LinuxSSHPortRegistry::shared().removePort(runtime.id);
    const DomainError error = failure(ssh, runtime, QStringLiteral("true"));
    EXPECT_EQ(error.domain(), QStringLiteral("SSH"));
    EXPECT_EQ(error.code(), 255);
}

TEST_F(LinuxSSHManagerTest, MapsFailuresToTheirTexts)
{
    const RuntimeConfig runtime = runtimeAt(QStringLiteral("192.168.64.7"));
    struct Case {
        QString ssh;
        int code;
        QString text;
    };
    const std::vector<Case> cases{
        {"printf ' boom \\n' >&2; exit 3", 3, "boom"},
        {"exit 1", 1, "SSH-Befehl fehlgeschlagen."},
        {"echo 'trellium@x: Permission denied (publickey).' >&2; exit 255", 255,
         kKeyRejected + "trellium@x: Permission denied (publickey)."},
        // A remote command's own "Permission denied" is its output, not a key problem.
        {"echo 'cat: /root/x: Permission denied' >&2; exit 1", 1, "cat: /root/x: Permission denied"},
        // ssh killed by a signal never ran the command to its end: ssh's own failure.
        {"echo 'partial' >&2; kill -9 $$", 255, "partial"},
    };
    for (const Case &c : cases) {
        LinuxSSHManager ssh({}, script("ssh", c.ssh));
        const DomainError error = failure(ssh, runtime, QStringLiteral("x"));
        EXPECT_EQ(error.domain(), QStringLiteral("SSH")) << c.ssh.toStdString();
        EXPECT_EQ(error.code(), c.code) << c.ssh.toStdString();
        EXPECT_EQ(error.localizedDescription(), c.text) << c.ssh.toStdString();
    }

    LinuxSSHManager binary({}, script("ssh", R"(printf 'ok\377\n')"));
    EXPECT_EQ(runSync(binary.runCommand(runtime, QStringLiteral("x"))), QStringLiteral("ok\uFFFD\n"));
}

TEST_F(LinuxSSHManagerTest, LongCommandsEndByCancellationOrTheCallersOwnLimit)
{
    const RuntimeConfig runtime = runtimeAt(QStringLiteral("192.168.64.7"));
    const QString pidFile = scratch() + "/ssh.pid";
    LinuxSSHManager slow({}, script("ssh", "echo $$ > " + pidFile + "; exec sleep 60"));
    const auto pid = [&pidFile] { return readWholeFile(pidFile).trimmed().toLongLong(); };

    CancelToken token;
    QTimer::singleShot(std::chrono::milliseconds(300), [token]() mutable { token.cancel(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(runSync(slow.runCommand(runtime, QStringLiteral("make"), token), std::chrono::seconds(30)),
                 CancelledError);
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(pid()); }, std::chrono::seconds(10)));

    removeItem(pidFile);
    clock.restart();
    try {
        runSync(slow.runCommand(runtime, QStringLiteral("make"), {}, std::chrono::milliseconds(300)),
                std::chrono::seconds(30));
        ADD_FAILURE() << "the caller's limit was not applied";
    } catch (const TimeoutError &error) {
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("Zeitüberschreitung: ssh"));
    }
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_TRUE(test::waitUntil([&] { return !test::processAlive(pid()); }, std::chrono::seconds(10)));

    // Without a limit from the caller none applies: the process runner's own
    // default of minutes would kill a long build.
    EXPECT_FALSE(LinuxSSHManager::commandOptions({}, std::nullopt).timeout);
    EXPECT_EQ(LinuxSSHManager::commandOptions({}, std::chrono::milliseconds(300)).timeout, std::chrono::milliseconds(300));
}

TEST_F(LinuxSSHManagerTest, RunsCommandsOnARealServer)
{
    RuntimeConfig runtime = runtimeAt(QStringLiteral("127.0.0.1"));
    runtime.username = test::SshServer::currentUser();
    LinuxSSHKeyManager keys;
    QString whyNot;
    auto server = test::SshServer::start(keys.publicKey(runtime), &whyNot);
    if (!server)
        GTEST_SKIP() << whyNot.toStdString();
    LinuxSSHPortRegistry::shared().setPort(runtime.id, server->port());
    LinuxSSHManager ssh;

    EXPECT_EQ(runSync(ssh.runCommand(runtime, QStringLiteral("echo hallo; echo fehler >&2"))), QStringLiteral("hallo\n"));
    EXPECT_EQ(runSync(ssh.runCommand(runtime, QStringLiteral("true"))), QString());
    // The command's standard input is empty: cat ends at once.
    EXPECT_EQ(runSync(ssh.runCommand(runtime, QStringLiteral("cat")), std::chrono::seconds(30)), QString());

    // 8 MiB arrive byte for byte.
    const QString big = runSync(
        ssh.runCommand(runtime, QStringLiteral("yes 0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU | head -c 8388608")),
        std::chrono::seconds(120));
    const QString expected =
        QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU\n").repeated(144632).left(8388608);
    EXPECT_EQ(big.size(), expected.size());
    EXPECT_TRUE(big == expected);

    DomainError error = failure(ssh, runtime, QStringLiteral("echo ' boom ' >&2; exit 3"));
    EXPECT_EQ(error.code(), 3);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("boom"));
    error = failure(ssh, runtime, QStringLiteral("echo 'x: Permission denied' >&2; exit 1"));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("x: Permission denied"));

    server->setAuthorizedKey(QString());
    error = failure(ssh, runtime, QStringLiteral("true"));
    EXPECT_EQ(error.code(), 255);
    EXPECT_TRUE(error.localizedDescription().startsWith(kKeyRejected)) << error.localizedDescription().toStdString();
    EXPECT_TRUE(error.localizedDescription().contains("Permission denied"));
}
