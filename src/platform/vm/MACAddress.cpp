#include "platform/vm/MACAddress.h"

#include "core/Json.h"

#include <QRandomGenerator>
#include <QRegularExpression>

namespace trellium {

std::optional<MACAddress> MACAddress::fromString(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9A-Fa-f]{2})(:[0-9A-Fa-f]{2}){5}$"));
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    MACAddress address;
    const QStringList parts = text.split(QLatin1Char(':'));
    for (int i = 0; i < 6; ++i)
        address.m_bytes[size_t(i)] = uint8_t(parts.at(i).toUInt(nullptr, 16));
    if (address.m_bytes[0] & 0x01)
        return std::nullopt;
    return address;
}

MACAddress MACAddress::randomLocallyAdministered()
{
    MACAddress address;
    auto *generator = QRandomGenerator::global();
    for (auto &byte : address.m_bytes)
        byte = uint8_t(generator->bounded(256));
    address.m_bytes[0] = uint8_t((address.m_bytes[0] | 0x02) & ~0x01);
    return address;
}

QString MACAddress::string() const
{
    QStringList parts;
    for (const uint8_t byte : m_bytes)
        parts << QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
    return parts.join(QLatin1Char(':'));
}

GenericMachineIdentifier::GenericMachineIdentifier() : m_uuid(QUuid::createUuid()) {}

std::optional<GenericMachineIdentifier> GenericMachineIdentifier::fromDataRepresentation(const QByteArray &data)
{
    const auto uuid = parseUuid(QString::fromUtf8(data).trimmed());
    if (!uuid || uuid->isNull())
        return std::nullopt;
    return GenericMachineIdentifier(*uuid);
}

QByteArray GenericMachineIdentifier::dataRepresentation() const
{
    return uuidText(m_uuid).toUtf8();
}

} // namespace trellium
