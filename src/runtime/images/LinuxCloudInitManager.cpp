#include "runtime/images/LinuxCloudInitManager.h"

#include "core/Errors.h"
#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/Process.h"
#include "runtime/RuntimeConfigValidator.h"
#include "runtime/images/LinuxDistroProfile.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <utility>

namespace trellium {

namespace {

const char *const kArchDistro = "archlinux-x86_64";

// cloud-init joins these with "\n" into the document; the placeholders are
// filled by fillPlaceholders().
const char *const kXsessionScript = R"TXT(#!/bin/bash
export XDG_SESSION_TYPE=x11
export DESKTOP_SESSION=xfce
export XDG_CURRENT_DESKTOP=XFCE
export DBUS_SESSION_BUS_ADDRESS=

eval "$(dbus-launch --sh-syntax)"
setxkbmap -layout de -variant nodeadkeys

xfsettingsd &
xfwm4 --replace &
xfdesktop &
xfce4-panel &

for attempt in $(seq 1 60); do
  if DISPLAY=:0 xset q >/dev/null 2>&1           && pgrep -x xfwm4 >/dev/null           && pgrep -x xfdesktop >/dev/null           && pgrep -x xfce4-panel >/dev/null; then
    touch /home/{{RUNTIME_USER}}/.trellium-desktop-ready
    break
  fi
  sleep 1
done

wait)TXT";

const char *const kDesktopService = R"TXT([Unit]
Description=TRELLIUM Runtime Desktop
After=cloud-final.service multi-user.target
Wants=cloud-final.service

[Service]
Type=simple
WorkingDirectory=/home/{{RUNTIME_USER}}
Environment=HOME=/home/{{RUNTIME_USER}}
ExecStartPre=/bin/rm -f /home/{{RUNTIME_USER}}/.trellium-desktop-ready
ExecStart=/usr/bin/xinit {{RUNUSER}} -u {{RUNTIME_USER}} /usr/local/bin/trellium-xsession -- /usr/bin/X :0 -nolisten tcp
Restart=always
RestartSec=3

[Install]
WantedBy=multi-user.target)TXT";

const char *const kBannerScript = R"TXT(#!/bin/bash

source /etc/trellium-runtime.conf

echo ""
echo "╔══════════════════════════════════════╗"
echo "║          TRELLIUM RUNTIME           ║"
echo "╚══════════════════════════════════════╝"
echo ""

printf "%-12s %s\n" "Runtime :" "$RUNTIME_NAME"
printf "%-12s %s\n" "Workspace:" "$WORKSPACE_NAME"
printf "%-12s %s\n" "Mirror :" "$MIRROR_ID"
printf "%-12s %s\n" "Status :" "$RUNTIME_STATUS"
printf "%-12s %s\n" "Distro :" "$DISTRO"
printf "%-12s %s\n" "Hostname:" "$(hostname)"
printf "%-12s %s\n" "IP :" "$(hostname -I | awk '{print $1}')"

echo "")TXT";

// Here-documents are unquoted on purpose ($USER_HOME expands); the values put
// in for the placeholders are escaped for that.
const char *const kDesktopSetupScript = R"TXT(#!/bin/bash
set -e

USER_NAME="{{RUNTIME_USER}}"
USER_HOME="/home/$USER_NAME"

mkdir -p "$USER_HOME/Desktop"
mkdir -p "$USER_HOME/.config/xfce4/xfconf/xfce-perchannel-xml"
mkdir -p /usr/share/backgrounds/trellium

cat > /usr/share/backgrounds/trellium/runtime-wallpaper.svg <<EOF
<svg xmlns="http://www.w3.org/2000/svg" width="1600" height="1120" viewBox="0 0 1600 1120">
  <rect x="0" y="0" width="1600" height="1120" fill="#101014"/>
  <text x="800" y="470" text-anchor="middle" font-family="sans-serif" font-size="72" fill="#ffffff">TRELLIUM Runtime</text>
  <text x="800" y="550" text-anchor="middle" font-family="sans-serif" font-size="28" fill="#b8b8c8">Workspace: {{WORKSPACE_NAME}}</text>
  <text x="800" y="605" text-anchor="middle" font-family="sans-serif" font-size="22" fill="#7f8cff">Mirror: {{MIRROR_ID}}</text>
</svg>
EOF

cat > "$USER_HOME/.config/xfce4/xfconf/xfce-perchannel-xml/xfce4-desktop.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>

<channel name="xfce4-desktop" version="1.0">
  <property name="backdrop" type="empty">
    <property name="screen0" type="empty">
      <property name="monitorVirtual-1" type="empty">
        <property name="workspace0" type="empty">
          <property name="last-image" type="string" value="/usr/share/backgrounds/trellium/runtime-wallpaper.svg"/>
          <property name="image-style" type="int" value="5"/>
        </property>
      </property>
    </property>
  </property>
</channel>
EOF

cat > "$USER_HOME/.config/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>

<channel name="xsettings" version="1.0">
  <property name="Net" type="empty">
    <property name="ThemeName" type="string" value="Adwaita-dark"/>
    <property name="IconThemeName" type="string" value="Adwaita"/>
  </property>
</channel>
EOF

cat > "$USER_HOME/Desktop/Workspace.desktop" <<EOF
[Desktop Entry]
Version=1.0
Type=Application
Name=Workspace
Comment=TRELLIUM Workspace öffnen
Exec=thunar /workspace
Icon=folder
Terminal=false
EOF

cat > "$USER_HOME/Desktop/Runtime Info.desktop" <<EOF
[Desktop Entry]
Version=1.0
Type=Application
Name=Runtime Info
Comment=TRELLIUM Runtime Informationen
Exec=xfce4-terminal --hold -x bash -lc "cat /etc/trellium-runtime.conf; echo; hostname -I; echo; read -r -p 'Enter zum Schließen' _"
Icon=utilities-terminal
Terminal=false
EOF

chmod +x "$USER_HOME/Desktop/Workspace.desktop" "$USER_HOME/Desktop/Runtime Info.desktop"
chown -R "$USER_NAME:$USER_NAME" "$USER_HOME/Desktop" "$USER_HOME/.config")TXT";

const char *const kEarlyBootBlock = R"TXT(bootcmd:
  - mkdir -p /workspace
  - "mountpoint -q /workspace || mount -t virtiofs {{MOUNT}} /workspace || true"
  - |
    {
      echo "TRELLIUM early Arch network diagnostics"
      date -Is || date
      echo
      echo "hostname:"
      hostname || true
      echo
      echo "ip link:"
      ip link || true
      echo
      echo "ip addr:"
      ip addr || true
      echo
      echo "cloud-init status:"
      cloud-init status --long || true
    } > /workspace/trellium-network-debug-{{RUNTIME_ID}}-early.txt 2>&1 || true
  - mkdir -p /etc/systemd/network
  - |
    cat > /etc/systemd/network/20-trellium-dhcp.network <<'EOF'
    [Match]
    Name=e*

    [Network]
    DHCP=yes
    IPv6AcceptRA=yes

    [DHCPv4]
    ClientIdentifier=mac
    EOF
  - systemctl enable systemd-networkd.service || true
  - systemctl enable systemd-resolved.service || true
  - systemctl start systemd-networkd.service || true
  - systemctl start systemd-resolved.service || true
  - ln -sf /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf || true)TXT";

const char *const kNetworkDiagnosticsScript = R"TXT(#!/bin/bash
set +e

mkdir -p /workspace
mountpoint -q /workspace || mount -t virtiofs {{MOUNT}} /workspace || true

TARGET="/workspace/trellium-network-debug-{{RUNTIME_ID}}.txt"
FALLBACK="/var/log/trellium-network-debug.txt"

{
  echo "TRELLIUM Arch network diagnostics"
  date -Is || date
  echo "runtime-id: {{RUNTIME_ID}}"
  echo "hostname: $(hostname)"
  echo
  echo "kernel:"
  uname -a || true
  echo
  echo "cloud-init:"
  cloud-init status --long || true
  echo
  echo "network files:"
  ls -la /etc/systemd/network || true
  cat /etc/systemd/network/20-trellium-dhcp.network || true
  echo
  echo "systemd-networkd:"
  systemctl is-enabled systemd-networkd.service || true
  systemctl is-active systemd-networkd.service || true
  systemctl status systemd-networkd.service --no-pager --full || true
  echo
  echo "systemd-resolved:"
  systemctl is-enabled systemd-resolved.service || true
  systemctl is-active systemd-resolved.service || true
  echo
  echo "links:"
  ip link || true
  echo
  echo "addresses:"
  ip addr || true
  echo
  echo "routes:"
  ip route || true
  echo
  echo "resolv.conf:"
  ls -la /etc/resolv.conf || true
  cat /etc/resolv.conf || true
  echo
  echo "networkctl:"
  networkctl list || true
  networkctl status --all || true
  echo
  echo "journal systemd-networkd:"
  journalctl -b -u systemd-networkd --no-pager -n 200 || true
  echo
  echo "journal cloud-init:"
  journalctl -b -u cloud-init-local -u cloud-init -u cloud-config -u cloud-final --no-pager -n 200 || true
} > "$TARGET" 2>&1

cp "$TARGET" "$FALLBACK" 2>/dev/null || true)TXT";

const char *const kNetworkDiagnosticsService = R"TXT([Unit]
Description=TRELLIUM Arch Network Diagnostics
After=cloud-init.service systemd-networkd.service
Wants=systemd-networkd.service

[Service]
Type=oneshot
ExecStart=/usr/local/bin/trellium-network-diagnostics

[Install]
WantedBy=multi-user.target)TXT";

const char *const kNetworkConfig = R"TXT(version: 2
ethernets:
  trellium0:
    match:
      name: "e*"
    dhcp4: true
    dhcp6: false)TXT";

QString text(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// Replaces {{KEY}} markers in one pass, so a value that itself looks like a
// marker is never expanded.
QString fillPlaceholders(const QString &tmpl, const QList<std::pair<QString, QString>> &values)
{
    QString out;
    out.reserve(tmpl.size());
    qsizetype pos = 0;
    while (pos < tmpl.size()) {
        const qsizetype open = tmpl.indexOf(QLatin1String("{{"), pos);
        if (open < 0)
            break;
        out += QStringView(tmpl).mid(pos, open - pos);
        bool replaced = false;
        for (const auto &[key, value] : values) {
            const QString marker = QLatin1String("{{") + key + QLatin1String("}}");
            if (QStringView(tmpl).mid(open).startsWith(marker)) {
                out += value;
                pos = open + marker.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += QLatin1String("{{");
            pos = open + 2;
        }
    }
    out += QStringView(tmpl).mid(pos);
    return out;
}

// For values inside "..." in a shell script.
QString escapeForDoubleQuotes(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('"'), QLatin1String("\\\""));
    value.replace(QLatin1Char('$'), QLatin1String("\\$"));
    value.replace(QLatin1Char('`'), QLatin1String("\\`"));
    return value;
}

// In an unquoted here-document only these three are special.
QString escapeForHereDocument(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('$'), QLatin1String("\\$"));
    value.replace(QLatin1Char('`'), QLatin1String("\\`"));
    return value;
}

QString escapeForXml(QString value)
{
    value.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    value.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    value.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    value.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    value.replace(QLatin1Char('\''), QLatin1String("&apos;"));
    return value;
}

// A double-quoted YAML scalar: a value from a record stays text whatever it
// looks like (YAML 1.1 reads a plain 007 as 7, yes and on as true, null as
// nothing).
QString yamlQuoted(const QString &value)
{
    QString out(QLatin1Char('"'));
    for (const QChar c : value) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out + QLatin1Char('"');
}

[[noreturn]] void refuse(const QString &what)
{
    throw DomainError(QStringLiteral("RuntimeConfig"), 1, QStringLiteral("Ungültige Runtime-Konfiguration: ") + what);
}

// The key goes unquoted into YAML after "- " and into a double-quoted shell
// word, so only the plain OpenSSH form with a tame comment is accepted.
QString checkedPublicKey(const QString &sshPublicKey)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(?:ssh-ed25519|ssh-rsa|ecdsa-sha2-nistp256|ecdsa-sha2-nistp384|ecdsa-sha2-nistp521|"
        "sk-ssh-ed25519@openssh\\.com|sk-ecdsa-sha2-nistp256@openssh\\.com) [A-Za-z0-9+/]+={0,3}"
        "(?: [A-Za-z0-9@._+=/: -]*)?$"));
    const QString key = sshPublicKey.trimmed();
    // ": " or a trailing ":" would turn the list item into a YAML mapping.
    if (!pattern.match(key).hasMatch() || key.contains(QLatin1String(": ")) || key.endsWith(QLatin1Char(':')))
        refuse(QStringLiteral("Der SSH-Schlüssel muss eine Zeile im OpenSSH-Format sein."));
    return key;
}

// A line break in a text would end the YAML block scalar it sits in; a
// noncharacter or lone surrogate makes the whole document unreadable.
void requirePlainText(const QString &field, const QString &value)
{
    if (RuntimeConfigValidator::hasControlCharacters(value))
        refuse(field + QStringLiteral(" darf keine Steuerzeichen oder Zeilenumbrüche enthalten."));
    if (RuntimeConfigValidator::hasMalformedCharacters(value))
        refuse(field + QStringLiteral(" enthält ungültige Unicode-Zeichen."));
}

QString workspaceLabel(const RuntimeConfig &config)
{
    return config.workspaceName.value_or(QStringLiteral("Unbekannt"));
}

QString mirrorLabel(const RuntimeConfig &config)
{
    return config.mirrorID ? uuidText(*config.mirrorID).left(8).toUpper() : QStringLiteral("INITIAL");
}

bool isArch(const RuntimeConfig &config)
{
    return config.distro == QLatin1String(kArchDistro);
}

enum class Write { atOnce, afterUsers };

// One write_files entry at the left margin; callers shift the list by two.
// Files in the user's home are written after the user exists: written
// earlier, they create the home without /etc/skel's files.
QString fileEntry(const QString &path, const QString &mode, const QString &content, Write when = Write::atOnce)
{
    return QStringLiteral("- path: ") + yamlQuoted(path) + QStringLiteral("\n  permissions: '") + mode +
           (when == Write::afterUsers ? QStringLiteral("'\n  defer: true") : QStringLiteral("'")) +
           QStringLiteral("\n  content: |\n") + LinuxCloudInitManager::indentLines(content, 4) + QLatin1Char('\n');
}

QString runtimeConfFile(const RuntimeConfig &config)
{
    return QStringLiteral("RUNTIME_NAME=\"%1\"\nWORKSPACE_NAME=\"%2\"\nDISTRO=\"%3\"\nRUNTIME_ID=\"%4\"\n"
                          "MIRROR_ID=\"%5\"\nRUNTIME_STATUS=\"Running\"\n")
        .arg(escapeForDoubleQuotes(config.name), escapeForDoubleQuotes(workspaceLabel(config)),
             escapeForDoubleQuotes(config.distro), uuidText(config.id), mirrorLabel(config));
}

QString writeFilesSection(const RuntimeConfig &config, const LinuxDistroProfile &profile, bool archRuntime)
{
    const QList<std::pair<QString, QString>> values{
        {QStringLiteral("RUNTIME_USER"), config.username},
        {QStringLiteral("RUNUSER"), profile.runuserPath},
        {QStringLiteral("MOUNT"), config.mountName},
        {QStringLiteral("RUNTIME_ID"), uuidText(config.id)},
        {QStringLiteral("WORKSPACE_NAME"), escapeForHereDocument(escapeForXml(workspaceLabel(config)))},
        {QStringLiteral("MIRROR_ID"), mirrorLabel(config)},
    };
    const auto fill = [&values](const char *tmpl) { return fillPlaceholders(text(tmpl), values); };
    const QString home = QStringLiteral("/home/") + config.username;

    QStringList entries;
    entries << fileEntry(QStringLiteral("/etc/X11/Xwrapper.config"), QStringLiteral("0644"),
                         QStringLiteral("allowed_users=anybody\nneeds_root_rights=yes"));
    entries << fileEntry(home + QStringLiteral("/.xinitrc"), QStringLiteral("0644"),
                         QStringLiteral("exec /usr/local/bin/trellium-xsession"), Write::afterUsers);
    entries << fileEntry(QStringLiteral("/usr/local/bin/trellium-xsession"), QStringLiteral("0755"),
                         fill(kXsessionScript));
    entries << fileEntry(QStringLiteral("/etc/systemd/system/trellium-desktop.service"), QStringLiteral("0644"),
                         fill(kDesktopService));
    entries << fileEntry(QStringLiteral("/etc/trellium-runtime.conf"), QStringLiteral("0644"),
                         runtimeConfFile(config));
    if (archRuntime) {
        entries << fileEntry(QStringLiteral("/usr/local/bin/trellium-network-diagnostics"), QStringLiteral("0755"),
                             fill(kNetworkDiagnosticsScript));
        entries << fileEntry(QStringLiteral("/etc/systemd/system/trellium-network-diagnostics.service"),
                             QStringLiteral("0644"), text(kNetworkDiagnosticsService));
    }
    entries << fileEntry(QStringLiteral("/etc/update-motd.d/99-trellium"), QStringLiteral("0755"),
                         text(kBannerScript));
    entries << fileEntry(QStringLiteral("/usr/local/bin/trellium-setup-desktop"), QStringLiteral("0755"),
                         fill(kDesktopSetupScript));
    return QStringLiteral("write_files:\n") + LinuxCloudInitManager::indentLines(entries.join(QLatin1Char('\n')), 2);
}

QString runcmdSection(const RuntimeConfig &config, const LinuxDistroProfile &profile, const QString &key,
                      bool forRuntime)
{
    const QString &user = config.username;
    const QString home = QStringLiteral("/home/") + user;
    const QString keys = home + QStringLiteral("/.ssh/authorized_keys");
    const QString owner = user + QLatin1Char(':') + user;
    const QString share = config.mountName + QStringLiteral(" /workspace virtiofs rw,nofail 0 0");

    QString out = QStringLiteral("runcmd:\n\n");
    const auto item = [&out](const QString &command) { out += QStringLiteral("  - ") + command + QLatin1Char('\n'); };
    // Commands that carry a value from the record.
    const auto recordItem = [&item](const QString &command) { item(yamlQuoted(command)); };

    recordItem(QStringLiteral("install -d -m 0700 -o %1 -g %1 %2/.ssh").arg(user, home));
    recordItem(QStringLiteral("printf '%s\\n' \"") + escapeForDoubleQuotes(key) + QStringLiteral("\" > ") + keys);
    recordItem(QStringLiteral("chmod 0600 ") + keys);
    recordItem(QStringLiteral("chown ") + owner + QLatin1Char(' ') + keys);
    if (!forRuntime) {
        out += QStringLiteral("  - |\n      set -eux\n");
        if (!profile.templateProvisionCommand.isEmpty())
            out += LinuxCloudInitManager::indentLines(profile.templateProvisionCommand, 6) + QLatin1Char('\n');
    }
    out += QLatin1Char('\n');
    item(QStringLiteral("mkdir -p /workspace"));
    // The whole line: the template's own share ("trellium_workspace ...")
    // contains a runtime's "workspace ..." as a substring. It goes, too: of
    // two lines for one mount point, systemd mounts only the first at boot.
    // Only entries whose mount point is /workspace itself go, however their
    // fields are separated and with trailing slashes ("/workspace/" is the
    // same mount point to systemd); comments and other mount points stay.
    // A last line without its line feed gets one, else the share's entry
    // would be glued onto it.
    recordItem(QStringLiteral("grep -qxF \"%1\" /etc/fstab || "
                              "{ sed -i -e '\\%^[[:space:]]*[^#[:space:]][^[:space:]]*[[:space:]][[:space:]]*/workspace/*"
                              "[[:space:]]%d' -e '$a\\' /etc/fstab; echo \"%1\" >> /etc/fstab; }")
                   .arg(share));
    item(QStringLiteral("mount -a || true"));
    recordItem(QStringLiteral("mkdir -p ") + home + QStringLiteral("/Desktop"));
    recordItem(QStringLiteral("chown -R ") + owner + QLatin1Char(' ') + home);
    item(QStringLiteral("systemctl enable ") + profile.sshService);
    item(QStringLiteral("systemctl restart ") + profile.sshService);
    if (profile.enableAvahi) {
        item(QStringLiteral("systemctl enable avahi-daemon"));
        item(QStringLiteral("systemctl restart avahi-daemon"));
    }
    if (forRuntime && isArch(config)) {
        item(QStringLiteral("systemctl daemon-reload"));
        item(QStringLiteral("systemctl enable trellium-network-diagnostics.service || true"));
        item(QStringLiteral("systemctl start trellium-network-diagnostics.service || true"));
    }
    recordItem(QStringLiteral("chown ") + owner + QLatin1Char(' ') + home + QStringLiteral("/.xinitrc || true"));
    item(QStringLiteral("systemctl daemon-reload"));
    item(QStringLiteral("systemctl disable lightdm || true"));
    item(QStringLiteral("systemctl stop lightdm || true"));
    item(QStringLiteral("/usr/local/bin/trellium-setup-desktop || true"));
    item(QStringLiteral("systemctl enable trellium-desktop.service"));
    if (forRuntime && !isArch(config))
        item(QStringLiteral("systemd-run --unit=trellium-desktop-delayed-start --on-active=15s "
                            "/bin/systemctl start trellium-desktop.service"));
    item(QStringLiteral("chmod +x /etc/update-motd.d/99-trellium"));
    item(QStringLiteral("/etc/update-motd.d/99-trellium > /etc/motd"));
    item(QStringLiteral("chmod 0644 /etc/motd"));
    item(QStringLiteral("chmod 0644 /etc/update-motd.d/99-trellium"));
    out.chop(1);
    return out;
}

} // namespace

LinuxCloudInitManager::LinuxCloudInitManager() : LinuxCloudInitManager(Tools{}) {}

LinuxCloudInitManager::LinuxCloudInitManager(Tools tools) : m_tools(std::move(tools)) {}

QString LinuxCloudInitManager::indentLines(const QString &text, int count)
{
    const QString pad(count, QLatin1Char(' '));
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (!line.isEmpty())
            line.prepend(pad);
    }
    return lines.join(QLatin1Char('\n'));
}

QString LinuxCloudInitManager::userData(const RuntimeConfig &config, const QString &sshPublicKey, bool forRuntime)
{
    RuntimeConfigValidator::validateGuestIdentity(config);
    requirePlainText(QStringLiteral("name"), config.name);
    requirePlainText(QStringLiteral("workspaceName"), workspaceLabel(config));
    requirePlainText(QStringLiteral("distro"), config.distro);
    const QString key = checkedPublicKey(sshPublicKey);

    const LinuxDistroProfile profile = LinuxDistroProfile::profile(config.distro);
    const bool archRuntime = forRuntime && isArch(config);
    const QString &user = config.username;

    QString doc = QStringLiteral("#cloud-config\n\nhostname: ") + yamlQuoted(config.hostname) +
                  QStringLiteral("\n\nssh_pwauth: true\n\n");
    if (config.distro.startsWith(QLatin1String("ubuntu-")))
        doc += QStringLiteral("apt:\n  conf: |\n    APT::Install-Recommends \"false\";\n"
                              "    APT::Install-Suggests \"false\";");
    doc += QStringLiteral("\n\n");
    if (archRuntime) {
        const QList<std::pair<QString, QString>> values{{QStringLiteral("MOUNT"), config.mountName},
                                                        {QStringLiteral("RUNTIME_ID"), uuidText(config.id)}};
        doc += fillPlaceholders(text(kEarlyBootBlock), values);
    }
    doc += QStringLiteral("\n\n");
    doc += QStringLiteral("users:\n  - name: ") + yamlQuoted(user) + QStringLiteral("\n    groups: ") +
           profile.adminGroup +
           QStringLiteral("\n    sudo: ALL=(ALL) NOPASSWD:ALL\n    shell: /bin/bash\n    lock_passwd: false\n"
                          "    ssh_authorized_keys:\n      - ") +
           yamlQuoted(key) + QStringLiteral("\n\n");
    doc += QStringLiteral("chpasswd:\n  expire: false\n  users:\n    - name: ") + yamlQuoted(user) +
           QStringLiteral("\n      password: brindlex\n      type: text\n\n");
    doc += writeFilesSection(config, profile, archRuntime);
    doc += QLatin1Char('\n');
    doc += runcmdSection(config, profile, key, forRuntime);
    return doc;
}

QString LinuxCloudInitManager::metaData(const RuntimeConfig &config)
{
    RuntimeConfigValidator::validateGuestIdentity(config);
    return QStringLiteral("instance-id: ") + yamlQuoted(uuidText(config.id)) + QStringLiteral("\nlocal-hostname: ") +
           yamlQuoted(config.hostname);
}

QString LinuxCloudInitManager::networkConfig()
{
    return text(kNetworkConfig);
}

void LinuxCloudInitManager::writeCloudInitFiles(const RuntimeConfig &config, const QString &folder,
                                                const QString &sshPublicKey, bool forRuntime) const
{
    // Both documents are built (and so checked) before anything is written.
    const QString user = userData(config, sshPublicKey, forRuntime);
    const QString meta = metaData(config);
    writeFileAtomically(folder + QStringLiteral("/user-data"), user.toUtf8());
    writeFileAtomically(folder + QStringLiteral("/meta-data"), meta.toUtf8());
    const QString network = folder + QStringLiteral("/network-config");
    if (forRuntime && isArch(config))
        writeFileAtomically(network, networkConfig().toUtf8());
    else if (itemExists(network))
        removeItem(network);
}

QCoro::Task<void> LinuxCloudInitManager::createSeedISO(QString folder) const
{
    const QString isoPath = folder + QStringLiteral("/seed.iso");
    const QString seedFolder = folder + QStringLiteral("/seed");

    removeItem(isoPath);
    removeItem(seedFolder);
    createDirectories(seedFolder);
    for (const char *name : {"user-data", "meta-data"}) {
        const QString file = QString::fromLatin1(name);
        copyFileSparse(folder + QLatin1Char('/') + file, seedFolder + QLatin1Char('/') + file);
    }
    if (itemExists(folder + QStringLiteral("/network-config")))
        copyFileSparse(folder + QStringLiteral("/network-config"), seedFolder + QStringLiteral("/network-config"));

    QString program;
    QStringList arguments;
    if (itemExists(m_tools.genisoimage)) {
        program = m_tools.genisoimage;
        arguments = {QStringLiteral("-quiet"),  QStringLiteral("-input-charset"), QStringLiteral("utf-8"),
                     QStringLiteral("-output"), isoPath,                          QStringLiteral("-volid"),
                     QStringLiteral("cidata"),  QStringLiteral("-joliet"),        QStringLiteral("-rock"),
                     seedFolder};
    } else {
        program = m_tools.xorriso;
        arguments = {QStringLiteral("-as"), QStringLiteral("mkisofs"), QStringLiteral("-o"), isoPath,
                     QStringLiteral("-V"),  QStringLiteral("cidata"),  QStringLiteral("-J"), QStringLiteral("-R"),
                     seedFolder};
    }

    logLine(QStringLiteral("Creating seed ISO at:"), isoPath);
    logLine(QStringLiteral("Seed source folder:"), seedFolder);
    logLine(QStringLiteral("Seed files:"), listDirectory(seedFolder).join(QStringLiteral(", ")));

    // The tool's own output goes to the agent's log, as if not redirected.
    ProcessOptions options;
    options.onOutputLine = [](const QByteArray &line) { logLine(QString::fromUtf8(line)); };
    const ProcessResult result = co_await runProcess(program, arguments, std::move(options));
    LineSplitter errors;
    QList<QByteArray> errorLines = errors.feed(result.standardError);
    if (auto rest = errors.finish())
        errorLines.append(*rest);
    for (const QByteArray &line : errorLines)
        logLine(QString::fromUtf8(line));

    logLine(QFileInfo(program).fileName() + QStringLiteral(" finished:"), QString::number(result.exitCode));
    if (!result.succeeded())
        throw DomainError(QStringLiteral("CloudInit"), result.exitCode,
                          QStringLiteral("seed.iso konnte nicht erzeugt werden."));
}

} // namespace trellium
