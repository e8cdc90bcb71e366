#pragma once

#include "core/Async.h"
#include "model/RuntimeConfig.h"
#include "runtime/linux/LinuxSSHManager.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace trellium {

// Finds a guest's address after each boot. Candidates come from the host's
// ARP table and DHCP lease files (matched by MAC address and host name) and
// from the machine's forwarded SSH port; a candidate counts only when the
// guest there, asked over SSH, reports the runtime's host name.
class LinuxRuntimeIPResolver {
public:
    struct ARPEntry {
        QString ipAddress;
        QString macAddress;  // normalized
        bool operator==(const ARPEntry &) const = default;
    };

    struct Sources {
        QString arpPath = QStringLiteral("/usr/sbin/arp");
        // Lease files in either the block format ({ name=… ip_address=… hw_address=1,… })
        // or dnsmasq's line format (expiry mac ip host clientid).
        QStringList leaseFiles{QStringLiteral("/var/db/dhcpd_leases")};
        // The NAT network: the gateway (.1) and broadcast (.255) are never candidates.
        QString subnetPrefix = QStringLiteral("192.168.64.");
        // Supplied by the machine layer: the address at which the guest's
        // forwarded SSH port answers (127.0.0.1), with the port registered.
        std::function<std::optional<QString>(const RuntimeConfig &)> forwardedAddress;
    };

    LinuxRuntimeIPResolver(std::shared_ptr<SSHCommandRunner> ssh, std::shared_ptr<Sleeper> sleeper, Sources sources);

    // Tries the last known address, then up to `attempts` rounds of
    // candidates with `delaySeconds` between them. A cancelled token ends a
    // pause or an SSH check at once with CancelledError; no further
    // candidate or attempt follows.
    QCoro::Task<QString> resolveIPAddress(RuntimeConfig runtime, int attempts, int delaySeconds, CancelToken token = {});
    // False for a failed check; CancelledError passes through.
    QCoro::Task<bool> verifyRuntimeHostname(QString ip, RuntimeConfig runtime, CancelToken token = {});

    QStringList candidateIPs(const RuntimeConfig &runtime) const;
    QStringList readARPTable(const std::optional<QString> &macAddress) const;
    QStringList leaseCandidates(const RuntimeConfig &runtime) const;

    // Pure parsers.
    static QList<ARPEntry> parseARPOutput(const QString &output, const QString &subnetPrefix);
    static QStringList leaseBlockCandidates(const QString &text, const RuntimeConfig &runtime);
    static QStringList dnsmasqLeaseCandidates(const QString &text, const RuntimeConfig &runtime);
    static std::optional<QString> leaseFieldValue(const QString &key, const QString &block);
    static QString normalizeMACAddress(const QString &text);

    static const QString kHostnameCommand;

private:
    QStringList withoutExcluded(QStringList addresses) const;

    std::shared_ptr<SSHCommandRunner> m_ssh;
    std::shared_ptr<Sleeper> m_sleeper;
    Sources m_sources;
};

} // namespace trellium
