#include "core/Files.h"
#include "runtime/linux/LinuxRuntimeIPResolver.h"

#include "support/Samples.h"
#include "support/TestEnvironment.h"
#include "support/VirtualTime.h"

using namespace trellium;
using Resolver = LinuxRuntimeIPResolver;

namespace {

const QString kArpOutput = QStringLiteral(
    "? (192.168.64.7) at 52:54:00:0a:0b:0c [ether] on br0\n"
    "? (192.168.64.10) at 52:54:0:a:b:c [ether] on br0\n"
    "? (192.168.64.1) at 52:54:0:a:b:c [ether] on br0\n"
    "? (10.0.0.5) at 52:54:00:0a:0b:0c [ether] on eth0\n"
    "? (192.168.64.9) at 66:77:88:99:aa:bb [ether] on br0\n"
    "? (192.168.64.11) at <incomplete> on br0\n");

const QString kLeaseBlocks = QStringLiteral(
    "{\n\tname=other\n\tip_address=192.168.64.20\n\thw_address=1,52:54:0:a:b:c\n\tlease=0x1\n}\n"
    "{\n\tname=runtime1\n\tip_address=192.168.64.21\n\thw_address=1,de:ad:be:ef:0:1\n}\n"
    "{\n\tname=stranger\n\tip_address=192.168.64.22\n\thw_address=1,de:ad:be:ef:0:2\n}\n"
    "{\n\tname=runtime1\n}\n");

class ResolverTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        runtime = test::sampleRuntime();
        runtime.macAddress = QStringLiteral("52:54:00:0A:0B:0C");
        sleeper = std::make_shared<test::VirtualSleeper>();
    }

    QString script(const QString &name, const QString &body)
    {
        return test::shellScript(scratch() + "/" + name, body);
    }

    // A guest at `address` answering with `hostname`; every other address unreachable.
    std::shared_ptr<test::FakeSSHRunner> guestAt(QString address, QString hostname)
    {
        return std::make_shared<test::FakeSSHRunner>([address, hostname](const RuntimeConfig &r, const QString &command) {
            EXPECT_EQ(command, Resolver::kHostnameCommand);
            if (r.ipAddress == address)
                return hostname + "\n";
            throw DomainError(QStringLiteral("SSH"), 255, QStringLiteral("ssh: connect to host: Connection refused"));
        });
    }

    Resolver::Sources noHostSources()
    {
        Resolver::Sources sources;
        sources.arpPath = scratch() + "/no-arp";
        sources.leaseFiles = {scratch() + "/no-leases"};
        return sources;
    }

    RuntimeConfig runtime;
    std::shared_ptr<test::VirtualSleeper> sleeper;
};

} // namespace

TEST(ResolverParsers, NormalizeMacAddressesAndParseArpAndLeases)
{
    EXPECT_EQ(Resolver::normalizeMACAddress("a:B:3:0:ff:1e"), QStringLiteral("0a:0b:03:00:ff:1e"));
    EXPECT_EQ(Resolver::normalizeMACAddress("52:54:0:a:b:c"), QStringLiteral("52:54:00:0a:0b:0c"));
    EXPECT_EQ(Resolver::normalizeMACAddress("zz::1"), QStringLiteral("00:01"));

    const auto entries = Resolver::parseARPOutput(kArpOutput, "192.168.64.");
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries.at(0), (Resolver::ARPEntry{"192.168.64.7", "52:54:00:0a:0b:0c"}));
    EXPECT_EQ(entries.at(1), (Resolver::ARPEntry{"192.168.64.10", "52:54:00:0a:0b:0c"}));
    EXPECT_EQ(Resolver::parseARPOutput(kArpOutput, "10.0.0.").size(), 1);

    EXPECT_EQ(Resolver::leaseFieldValue("name", "{\n  name= runtime1 \n}"), QStringLiteral("runtime1"));
    EXPECT_EQ(Resolver::leaseFieldValue("ip_address", "{\n name=x\n}"), std::nullopt);

    RuntimeConfig runtime = test::sampleRuntime();
    runtime.macAddress = QStringLiteral("52:54:00:0a:0b:0c");
    // By MAC (written 1,52:54:0:a:b:c) and by host name whatever the MAC.
    EXPECT_EQ(Resolver::leaseBlockCandidates(kLeaseBlocks, runtime), (QStringList{"192.168.64.20", "192.168.64.21"}));
    runtime.macAddress.reset();
    EXPECT_EQ(Resolver::leaseBlockCandidates(kLeaseBlocks, runtime), (QStringList{"192.168.64.21"}));

    const QString dnsmasq = QStringLiteral(
        "1733500000 52:54:00:0a:0b:0c 10.0.2.15 other *\n"
        "1733500000 de:ad:be:ef:00:01 10.0.2.16 runtime1 01:de:ad:be:ef:00:01\n"
        "1733500000 de:ad:be:ef:00:02 10.0.2.17 * *\n");
    runtime.macAddress = QStringLiteral("52:54:0:a:b:c");
    EXPECT_EQ(Resolver::dnsmasqLeaseCandidates(dnsmasq, runtime), (QStringList{"10.0.2.15", "10.0.2.16"}));
}

TEST_F(ResolverTest, CandidatesJoinArpLeasesAndTheForwardedPortSortedAsText)
{
    Resolver::Sources sources;
    sources.arpPath = script("arp", "[ \"$1\" = -an ] && cat <<'END'\n" + kArpOutput + "END");
    const QString leases = scratch() + "/leases";
    writeFileAtomically(leases, kLeaseBlocks.toUtf8());
    sources.leaseFiles = {leases, scratch() + "/missing"};
    sources.forwardedAddress = [](const RuntimeConfig &) { return std::optional<QString>("127.0.0.1"); };
    Resolver resolver(guestAt("x", "y"), sleeper, sources);

    EXPECT_EQ(resolver.readARPTable(runtime.macAddress), (QStringList{"192.168.64.10", "192.168.64.7"}));
    EXPECT_EQ(resolver.readARPTable(std::nullopt),
              (QStringList{"192.168.64.10", "192.168.64.7", "192.168.64.9"}));
    EXPECT_EQ(resolver.candidateIPs(runtime),
              (QStringList{"127.0.0.1", "192.168.64.10", "192.168.64.20", "192.168.64.21", "192.168.64.7"}));

    // A missing arp tool and lease file contribute nothing.
    Resolver empty(guestAt("x", "y"), sleeper, noHostSources());
    EXPECT_TRUE(empty.candidateIPs(runtime).isEmpty());
}

TEST_F(ResolverTest, LastKnownAddressThatStillAnswersSkipsTheSearch)
{
    runtime.ipAddress = QStringLiteral("192.168.64.30");
    auto ssh = guestAt("192.168.64.30", "runtime1");
    Resolver resolver(ssh, sleeper, noHostSources());
    test::LogCapture log;
    EXPECT_EQ(runSync(resolver.resolveIPAddress(runtime, 30, 2)), QStringLiteral("192.168.64.30"));
    EXPECT_EQ(log.lines(), (QStringList{"Trying last known IP: 192.168.64.30", "Verify 192.168.64.30: runtime1",
                                        "Runtime IP via last known IP: 192.168.64.30"}));
    EXPECT_EQ(ssh->calls.size(), 1);
    EXPECT_TRUE(sleeper->pauses.isEmpty());
}

TEST_F(ResolverTest, FindsTheForwardedGuestAndGivesUpOnAWrongCaseHostNameAfterTheLastPause)
{
    int forwardedFrom = 3;  // the port appears at the third attempt
    int attempt = 0;
    Resolver::Sources sources = noHostSources();
    sources.forwardedAddress = [&](const RuntimeConfig &) -> std::optional<QString> {
        return ++attempt >= forwardedFrom ? std::optional<QString>("127.0.0.1") : std::nullopt;
    };
    Resolver resolver(guestAt("127.0.0.1", "runtime1"), sleeper, sources);
    test::LogCapture log;
    EXPECT_EQ(runSync(resolver.resolveIPAddress(runtime, 30, 2)), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(sleeper->pauses.size(), 2);
    EXPECT_TRUE(log.contains("Runtime IP resolve attempt 1: runtime1"));
    EXPECT_TRUE(log.contains("Runtime IP candidates: []"));
    EXPECT_TRUE(log.contains("Runtime IP candidates: [\"127.0.0.1\"]"));
    EXPECT_TRUE(log.contains("Runtime IP found: 127.0.0.1"));

    // A host name in another case is no match: the search gives up after
    // the last attempt's pause.
    attempt = 0;
    forwardedFrom = 1;
    sleeper->pauses.clear();
    sleeper->elapsed = {};
    Resolver wrongCase(guestAt("127.0.0.1", "Runtime1"), sleeper, sources);
    EXPECT_EQ(test::errorOf([&] { runSync(wrongCase.resolveIPAddress(runtime, 3, 2)); }),
              QStringLiteral("Keine Runtime-IP gefunden für runtime1"));
    EXPECT_EQ(sleeper->pauses.size(), 3);
    EXPECT_EQ(sleeper->elapsed, std::chrono::seconds(6));
}

TEST_F(ResolverTest, CancellationDuringAnSSHCheckOrAPauseEndsTheSearchThere)
{
    Resolver::Sources sources = noHostSources();
    sources.arpPath = script("arp", "cat <<'END'\n" + kArpOutput + "END");
    for (const bool lastKnown : {true, false}) {
        CancelToken token;
        // The first check is cut off (a stop of the runtime): ssh is killed.
        auto ssh = std::make_shared<test::FakeSSHRunner>([&token](const RuntimeConfig &, const QString &) -> QString {
            token.cancel();
            throw DomainError(QStringLiteral("SSH"), 255, QStringLiteral("Killed by signal 9."));
        });
        Resolver resolver(ssh, sleeper, sources);
        runtime.ipAddress = lastKnown ? std::optional<QString>("192.168.64.30") : std::nullopt;
        test::LogCapture log;
        EXPECT_THROW(runSync(resolver.resolveIPAddress(runtime, 30, 2, token)), CancelledError);
        ASSERT_EQ(ssh->calls.size(), 1) << "last known address: " << lastKnown;
        // A session that hangs after connecting does not hold the start forever.
        EXPECT_TRUE(ssh->calls.at(0).timeout);
        EXPECT_EQ(log.count("Runtime IP resolve attempt "), lastKnown ? 0 : 1);
        EXPECT_EQ(log.count("Verify failed "), 0);
        EXPECT_TRUE(sleeper->pauses.isEmpty());
    }

    // Cancelled during a pause: the search ends within that attempt.
    CancelToken token;
    sleeper->onPause = [&token](int pause) {
        if (pause == 3)
            token.cancel();
    };
    Resolver resolver(guestAt("x", "y"), sleeper, noHostSources());
    test::LogCapture log;
    EXPECT_THROW(runSync(resolver.resolveIPAddress(runtime, 90, 2, token)), CancelledError);
    EXPECT_EQ(log.count("Runtime IP resolve attempt "), 3);
}
