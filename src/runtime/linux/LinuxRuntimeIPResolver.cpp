#include "runtime/linux/LinuxRuntimeIPResolver.h"

#include "core/Files.h"
#include "core/Log.h"
#include "core/Process.h"

#include <QRegularExpression>

#include <algorithm>

namespace trellium {

const QString LinuxRuntimeIPResolver::kHostnameCommand =
    QStringLiteral("sh -c 'if [ -f /etc/hostname ]; then cat /etc/hostname; else hostname; fi'");

namespace {

// Swift-style list description: ["a", "b"].
QString describeList(const QStringList &items)
{
    QStringList quoted;
    for (const QString &item : items)
        quoted << QLatin1Char('"') + item + QLatin1Char('"');
    return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QStringList uniqueSorted(QStringList addresses)
{
    // Plain text order: 192.168.64.10 before 192.168.64.2.
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

} // namespace

LinuxRuntimeIPResolver::LinuxRuntimeIPResolver(std::shared_ptr<SSHCommandRunner> ssh, std::shared_ptr<Sleeper> sleeper,
                                               Sources sources)
    : m_ssh(std::move(ssh)), m_sleeper(std::move(sleeper)), m_sources(std::move(sources))
{
}

QString LinuxRuntimeIPResolver::normalizeMACAddress(const QString &text)
{
    QStringList parts;
    for (const QString &part : text.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qulonglong value = part.toULongLong(&ok, 16);
        parts << QString::number(ok ? value : 0, 16).rightJustified(2, QLatin1Char('0'));
    }
    return parts.join(QLatin1Char(':'));
}

QList<LinuxRuntimeIPResolver::ARPEntry> LinuxRuntimeIPResolver::parseARPOutput(const QString &output,
                                                                              const QString &subnetPrefix)
{
    const QRegularExpression pattern(QStringLiteral(R"(\((%1\d+)\)\s+at\s+([0-9a-fA-F:]+))")
                                         .arg(QRegularExpression::escape(subnetPrefix)));
    QList<ARPEntry> entries;
    auto matches = pattern.globalMatch(output);
    while (matches.hasNext()) {
        const auto match = matches.next();
        entries.append({match.captured(1), normalizeMACAddress(match.captured(2))});
    }
    return entries;
}

std::optional<QString> LinuxRuntimeIPResolver::leaseFieldValue(const QString &key, const QString &block)
{
    const QRegularExpression pattern(QStringLiteral("(?m)^\\s*") + QRegularExpression::escape(key)
                                     + QStringLiteral("=([^\\n]+)"));
    const auto match = pattern.match(block);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).trimmed();
}

QStringList LinuxRuntimeIPResolver::leaseBlockCandidates(const QString &text, const RuntimeConfig &runtime)
{
    const std::optional<QString> mac =
        runtime.macAddress ? std::optional(normalizeMACAddress(*runtime.macAddress)) : std::nullopt;
    QStringList found;
    for (const QString &piece : text.split(QLatin1Char('}'))) {
        const QString block = piece + QLatin1Char('}');
        const auto ip = leaseFieldValue(QStringLiteral("ip_address"), block);
        if (!ip)
            continue;
        const auto name = leaseFieldValue(QStringLiteral("name"), block);
        if (name && *name == runtime.hostname) {
            found << *ip;
            continue;
        }
        const auto hardware = leaseFieldValue(QStringLiteral("hw_address"), block);
        if (mac && hardware) {
            QString address = *hardware;
            if (address.startsWith(QLatin1String("1,")))
                address.remove(0, 2);
            address.replace(QLatin1Char(','), QLatin1Char(':'));
            if (normalizeMACAddress(address) == *mac)
                found << *ip;
        }
    }
    return found;
}

QStringList LinuxRuntimeIPResolver::dnsmasqLeaseCandidates(const QString &text, const RuntimeConfig &runtime)
{
    const std::optional<QString> mac =
        runtime.macAddress ? std::optional(normalizeMACAddress(*runtime.macAddress)) : std::nullopt;
    QStringList found;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        if (fields.size() < 4)
            continue;
        const QString &address = fields.at(2);
        if (fields.at(3) == runtime.hostname || (mac && normalizeMACAddress(fields.at(1)) == *mac))
            found << address;
    }
    return found;
}

QStringList LinuxRuntimeIPResolver::withoutExcluded(QStringList addresses) const
{
    const QString gateway = m_sources.subnetPrefix + QStringLiteral("1");
    const QString broadcast = m_sources.subnetPrefix + QStringLiteral("255");
    addresses.removeAll(gateway);
    addresses.removeAll(broadcast);
    return uniqueSorted(addresses);
}

QStringList LinuxRuntimeIPResolver::readARPTable(const std::optional<QString> &macAddress) const
{
    QString output;
    try {
        ProcessOptions options;
        options.timeout = std::chrono::seconds(10);
        // -n: no reverse lookups, which can stall for seconds.
        output = QString::fromUtf8(
            runProcessBlocking(m_sources.arpPath, {QStringLiteral("-an")}, options).standardOutput);
    } catch (const std::exception &) {
        return {};
    }
    const std::optional<QString> mac = macAddress ? std::optional(normalizeMACAddress(*macAddress)) : std::nullopt;
    QStringList addresses;
    for (const ARPEntry &entry : parseARPOutput(output, m_sources.subnetPrefix)) {
        if (!mac || entry.macAddress == *mac)
            addresses << entry.ipAddress;
    }
    return withoutExcluded(addresses);
}

QStringList LinuxRuntimeIPResolver::leaseCandidates(const RuntimeConfig &runtime) const
{
    QStringList found;
    for (const QString &file : m_sources.leaseFiles) {
        QString text;
        try {
            text = QString::fromUtf8(readWholeFile(file));
        } catch (const std::exception &) {
            continue;
        }
        found << (text.contains(QLatin1Char('{')) ? leaseBlockCandidates(text, runtime)
                                                   : dnsmasqLeaseCandidates(text, runtime));
    }
    return found;
}

QStringList LinuxRuntimeIPResolver::candidateIPs(const RuntimeConfig &runtime) const
{
    QStringList all = readARPTable(runtime.macAddress);
    all << leaseCandidates(runtime);
    if (m_sources.forwardedAddress) {
        if (auto forwarded = m_sources.forwardedAddress(runtime))
            all << *forwarded;
    }
    return withoutExcluded(all);
}

QCoro::Task<bool> LinuxRuntimeIPResolver::verifyRuntimeHostname(QString ip, RuntimeConfig runtime, CancelToken token)
{
    RuntimeConfig candidate = runtime;
    candidate.ipAddress = ip;
    try {
        // ConnectTimeout bounds the connection; this bounds a session that hangs after it.
        const QString output =
            (co_await m_ssh->runCommand(candidate, kHostnameCommand, token, std::chrono::seconds(60))).trimmed();
        logLine(QStringLiteral("Verify ") + ip + QLatin1Char(':'), output);
        co_return output == runtime.hostname;
    } catch (const CancelledError &) {
        throw;
    } catch (const std::exception &error) {
        logLine(QStringLiteral("Verify failed ") + ip + QLatin1Char(':'), describeError(error));
        co_return false;
    }
}

QCoro::Task<QString> LinuxRuntimeIPResolver::resolveIPAddress(RuntimeConfig runtime, int attempts, int delaySeconds,
                                                               CancelToken token)
{
    if (runtime.ipAddress) {
        const QString last = *runtime.ipAddress;
        logLine(QStringLiteral("Trying last known IP:"), last);
        if (co_await verifyRuntimeHostname(last, runtime, token)) {
            logLine(QStringLiteral("Runtime IP via last known IP:"), last);
            co_return last;
        }
    }
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        token.throwIfCancelled();
        logLine(QStringLiteral("Runtime IP resolve attempt %1:").arg(attempt), runtime.hostname);
        const QStringList candidates = candidateIPs(runtime);
        logLine(QStringLiteral("Runtime IP candidates:"), describeList(candidates));
        for (const QString &candidate : candidates) {
            if (co_await verifyRuntimeHostname(candidate, runtime, token)) {
                logLine(QStringLiteral("Runtime IP found:"), candidate);
                co_return candidate;
            }
            token.throwIfCancelled();
        }
        co_await m_sleeper->sleep(std::chrono::seconds(delaySeconds), token);
    }
    throw DomainError(QStringLiteral("RuntimeIP"), 1, QStringLiteral("Keine Runtime-IP gefunden für ") + runtime.hostname);
}

} // namespace trellium
