#pragma once

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <array>
#include <cstdint>
#include <optional>

namespace trellium {

// A network device's Ethernet address.
class MACAddress {
public:
    // Six colon-separated hexadecimal pairs (either case). Multicast
    // addresses (low bit of the first octet set) cannot belong to a network
    // device and count as unparseable.
    static std::optional<MACAddress> fromString(const QString &text);
    // Random, locally administered, unicast.
    static MACAddress randomLocallyAdministered();

    QString string() const;  // lower-case, colon-separated
    const std::array<uint8_t, 6> &bytes() const { return m_bytes; }
    bool operator==(const MACAddress &) const = default;

private:
    std::array<uint8_t, 6> m_bytes{};
};

// The platform's machine identifier of a generic machine. Its data
// representation, stored in the runtime's "machine-identifier" file, is the
// canonical UUID text; QEMU gets it as the SMBIOS UUID.
class GenericMachineIdentifier {
public:
    GenericMachineIdentifier();  // a new identifier
    static std::optional<GenericMachineIdentifier> fromDataRepresentation(const QByteArray &data);

    QByteArray dataRepresentation() const;
    const QUuid &uuid() const { return m_uuid; }
    bool operator==(const GenericMachineIdentifier &) const = default;

private:
    explicit GenericMachineIdentifier(const QUuid &uuid) : m_uuid(uuid) {}
    QUuid m_uuid;
};

} // namespace trellium
