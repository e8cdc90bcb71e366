#include "host/InstalledAgentComponent.h"

namespace trellium {

QJsonObject InstalledAgentComponent::toJson() const
{
    JsonWriter w(DateStyle::ISO8601);
    w.set(QStringLiteral("id"), id);
    w.set(QStringLiteral("version"), version);
    w.set(QStringLiteral("architecture"), architecture);
    w.set(QStringLiteral("installedAt"), installedAt);
    w.set(QStringLiteral("sourceURL"), sourceURL.toString(QUrl::FullyEncoded));
    w.set(QStringLiteral("sha256"), sha256);
    return w.object();
}

InstalledAgentComponent InstalledAgentComponent::fromJson(const QJsonObject &object)
{
    const JsonReader r(object, DateStyle::ISO8601, QStringLiteral("InstalledAgentComponent"));
    InstalledAgentComponent receipt;
    receipt.id = r.string(QStringLiteral("id"));
    receipt.version = r.string(QStringLiteral("version"));
    receipt.architecture = r.enumeration<AgentComponentArchitecture>(QStringLiteral("architecture"));
    receipt.installedAt = r.date(QStringLiteral("installedAt"));
    receipt.sourceURL = decodeAbsoluteURL(r, QStringLiteral("sourceURL"));
    receipt.sha256 = r.string(QStringLiteral("sha256"));
    return receipt;
}

QByteArray InstalledAgentComponent::encodeReceipt() const
{
    // Outside texts JSON has no "/", so escaping every one in the output
    // escapes exactly those inside texts.
    QByteArray bytes = prettyJson(toJson());
    bytes.replace("/", "\\/");
    return bytes;
}

InstalledAgentComponent InstalledAgentComponent::decodeReceipt(const QByteArray &bytes)
{
    return fromJson(parseJsonObject(bytes));
}

} // namespace trellium
