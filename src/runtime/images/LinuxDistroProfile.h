#pragma once

#include <QString>

namespace trellium {

// The few facts in which the supported distributions differ when a guest is
// provisioned. The only place that names packages per distribution.
struct LinuxDistroProfile {
    QString distro;
    QString adminGroup;
    QString sshService;
    QString runuserPath;
    bool enableAvahi = true;
    QString templateProvisionCommand;

    bool operator==(const LinuxDistroProfile &) const = default;

    // Never fails: an unknown identifier gets the Debian-like defaults and
    // no provisioning command.
    static LinuxDistroProfile profile(const QString &distro);
};

} // namespace trellium
