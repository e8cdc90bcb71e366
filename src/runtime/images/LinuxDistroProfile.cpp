#include "runtime/images/LinuxDistroProfile.h"

namespace trellium {

namespace {

const char *const kAptCommand =
    "apt-get update\n"
    "DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends   openssh-server avahi-daemon "
    "xserver-xorg xinit thunar   xfce4-session xfce4-panel xfce4-settings xfce4-terminal   xfdesktop4 xfwm4 "
    "dbus-x11 x11-xserver-utils x11-xkb-utils   git curl wget unzip build-essential python3 python3-pip   "
    "nodejs npm ca-certificates";

const char *const kDnfCommand =
    "dnf install -y epel-release\n"
    "dnf install -y   sudo openssh-server avahi xorg-x11-server-Xorg xorg-x11-xinit   xfce4-session "
    "xfce4-panel xfce4-settings xfdesktop xfwm4   Thunar xfce4-terminal dbus-x11 xorg-x11-xauth   "
    "xorg-x11-utils setxkbmap xkeyboard-config   git curl wget unzip   gcc gcc-c++ make python3 python3-pip "
    "nodejs npm";

const char *const kPacmanCommand =
    "pacman -Syu --noconfirm --needed \\\n"
    "  linux linux-firmware \\\n"
    "  sudo openssh avahi inetutils pciutils xorg-server xorg-xinit \\\n"
    "  xfce4-session xfce4-panel xfce4-settings xfdesktop xfwm4 \\\n"
    "  thunar xfce4-terminal dbus xorg-xset xorg-setxkbmap \\\n"
    "  git curl wget unzip base-devel python python-pip nodejs npm";

} // namespace

LinuxDistroProfile LinuxDistroProfile::profile(const QString &distro)
{
    if (distro == QLatin1String("rocky-9-amd64"))
        return {distro, QStringLiteral("wheel"), QStringLiteral("sshd"), QStringLiteral("/usr/sbin/runuser"), true,
                QString::fromUtf8(kDnfCommand)};
    if (distro == QLatin1String("archlinux-x86_64"))
        return {distro, QStringLiteral("wheel"), QStringLiteral("sshd"), QStringLiteral("/usr/bin/runuser"), true,
                QString::fromUtf8(kPacmanCommand)};
    if (distro == QLatin1String("ubuntu-24.04-amd64"))
        return {distro, QStringLiteral("sudo"), QStringLiteral("ssh"), QStringLiteral("/usr/sbin/runuser"), true,
                QString::fromUtf8(kAptCommand)};
    return {distro, QStringLiteral("sudo"), QStringLiteral("ssh"), QStringLiteral("/usr/sbin/runuser"), true, QString()};
}

} // namespace trellium
