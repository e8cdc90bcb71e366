#include "core/Async.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "core/Process.h"
#include "runtime/images/LinuxCloudInitManager.h"

#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QMap>

using namespace trellium;

namespace {

const QString kKey = QStringLiteral("ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIGq3+/Zb0vQ= trellium@host:agent-1");
const QString kUbuntu = QStringLiteral("ubuntu-24.04-amd64");
const QString kRocky = QStringLiteral("rocky-9-amd64");
const QString kArch = QStringLiteral("archlinux-x86_64");
const QString kUnknown = QStringLiteral("gentoo-amd64");
const QString kId = QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

RuntimeConfig runtimeFor(const QString &distro)
{
    RuntimeConfig config = test::sampleRuntime();
    config.id = QUuid::fromString(kId);
    config.distro = distro;
    return config;
}

// Just enough of a YAML reader for the layout the writer produces: the
// write_files contents by path, and the items of bootcmd and runcmd.
struct ParsedUserData {
    QStringList paths;
    QMap<QString, QString> files;
    QStringList bootcmd;
    QStringList runcmd;
};

ParsedUserData parse(const QString &document)
{
    ParsedUserData out;
    const QStringList lines = document.split(QLatin1Char('\n'));
    const auto indentOf = [](const QString &line) {
        qsizetype n = 0;
        while (n < line.size() && line[n] == QLatin1Char(' '))
            ++n;
        return n;
    };
    QString section;
    QString path;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines[i];
        // A literal block: every following line that is empty or indented
        // like its first line.
        const auto block = [&]() {
            qsizetype indent = 0;
            for (qsizetype j = i + 1; j < lines.size() && indent == 0; ++j)
                indent = lines[j].isEmpty() ? 0 : indentOf(lines[j]);
            QStringList body;
            while (i + 1 < lines.size() && (lines[i + 1].isEmpty() || indentOf(lines[i + 1]) >= indent))
                body << lines[++i].mid(indent);
            while (!body.isEmpty() && body.last().isEmpty())
                body.removeLast();
            return body.join(QLatin1Char('\n'));
        };
        if (!line.isEmpty() && !line.startsWith(QLatin1Char(' '))) {
            section = line.section(QLatin1Char(':'), 0, 0);
        } else if (section == QLatin1String("write_files")) {
            if (line.startsWith(QLatin1String("  - path: "))) {
                path = line.mid(10);
                out.paths << path;
            } else if (line == QLatin1String("    content: |")) {
                out.files[path] = block();
            }
        } else if (section == QLatin1String("runcmd") || section == QLatin1String("bootcmd")) {
            QStringList &items = section == QLatin1String("runcmd") ? out.runcmd : out.bootcmd;
            if (line == QLatin1String("  - |"))
                items << block();
            else if (line.startsWith(QLatin1String("  - ")))
                items << line.mid(4);
        }
    }
    return out;
}

ProcessResult run(const QString &program, const QStringList &arguments)
{
    return runProcessBlocking(program, arguments);
}

class LinuxCloudInitManagerTest : public test::DataHomeTest {
protected:
    void writeText(const QString &path, const QString &text) { writeFileAtomically(path, text.toUtf8()); }

    QString scriptTool(const QString &name, const QString &body)
    {
        const QString path = scratch(QStringLiteral("tools")) + QLatin1Char('/') + name;
        writeText(path, QStringLiteral("#!/bin/sh\n") + body + QLatin1Char('\n'));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    LinuxCloudInitManager manager;
};

struct Variant {
    QString distro;
    bool forRuntime;
};

const QList<Variant> kVariants{{kUbuntu, true}, {kUbuntu, false}, {kRocky, true},   {kRocky, false},
                               {kArch, true},   {kArch, false},   {kUnknown, true}, {kUnknown, false}};

} // namespace

TEST(LinuxCloudInitIndentTest, IndentsOnlyNonEmptyLines)
{
    EXPECT_EQ(LinuxCloudInitManager::indentLines(QStringLiteral("a\n\n  b\n"), 2), QStringLiteral("  a\n\n    b\n"));
    EXPECT_EQ(LinuxCloudInitManager::indentLines(QString(), 6), QString());
}

TEST_F(LinuxCloudInitManagerTest, UbuntuRuntimeDocumentHasTheFixedLinesInOrder)
{
    const QString doc = LinuxCloudInitManager::userData(runtimeFor(kUbuntu), kKey, true);
    EXPECT_TRUE(doc.startsWith(QStringLiteral("#cloud-config\n\nhostname: runtime1\n\nssh_pwauth: true\n\n"
                                              "apt:\n  conf: |\n    APT::Install-Recommends \"false\";\n"
                                              "    APT::Install-Suggests \"false\";\n")));
    EXPECT_TRUE(doc.contains(QStringLiteral("\nusers:\n  - name: trellium\n    groups: sudo\n"
                                            "    sudo: ALL=(ALL) NOPASSWD:ALL\n    shell: /bin/bash\n"
                                            "    lock_passwd: false\n    ssh_authorized_keys:\n      - ") +
                             kKey + QStringLiteral("\n\nchpasswd:\n  expire: false\n  users:\n    - name: trellium\n"
                                                   "      password: brindlex\n      type: text\n\nwrite_files:\n")));
    EXPECT_FALSE(doc.contains(QStringLiteral("bootcmd:")));
    EXPECT_FALSE(doc.endsWith(QLatin1Char('\n')));

    const ParsedUserData parsed = parse(doc);
    EXPECT_EQ(parsed.paths, (QStringList{"/etc/X11/Xwrapper.config", "/home/trellium/.xinitrc",
                                         "/usr/local/bin/trellium-xsession",
                                         "/etc/systemd/system/trellium-desktop.service", "/etc/trellium-runtime.conf",
                                         "/etc/update-motd.d/99-trellium", "/usr/local/bin/trellium-setup-desktop"}));
    EXPECT_EQ(parsed.runcmd,
              (QStringList{
                  "install -d -m 0700 -o trellium -g trellium /home/trellium/.ssh",
                  "printf '%s\\n' \"" + kKey + "\" > /home/trellium/.ssh/authorized_keys",
                  "chmod 0600 /home/trellium/.ssh/authorized_keys",
                  "chown trellium:trellium /home/trellium/.ssh/authorized_keys",
                  "mkdir -p /workspace",
                  "grep -q \"workspace /workspace virtiofs\" /etc/fstab || echo \"workspace /workspace virtiofs "
                  "rw,nofail 0 0\" >> /etc/fstab",
                  "mount -a || true",
                  "mkdir -p /home/trellium/Desktop",
                  "chown -R trellium:trellium /home/trellium",
                  "systemctl enable ssh",
                  "systemctl restart ssh",
                  "systemctl enable avahi-daemon",
                  "systemctl restart avahi-daemon",
                  "chown trellium:trellium /home/trellium/.xinitrc || true",
                  "systemctl daemon-reload",
                  "systemctl disable lightdm || true",
                  "systemctl stop lightdm || true",
                  "/usr/local/bin/trellium-setup-desktop || true",
                  "systemctl enable trellium-desktop.service",
                  "systemd-run --unit=trellium-desktop-delayed-start --on-active=15s /bin/systemctl start "
                  "trellium-desktop.service",
                  "chmod +x /etc/update-motd.d/99-trellium",
                  "/etc/update-motd.d/99-trellium > /etc/motd",
                  "chmod 0644 /etc/motd",
                  "chmod 0644 /etc/update-motd.d/99-trellium",
              }));

    const QString service = parsed.files.value("/etc/systemd/system/trellium-desktop.service");
    EXPECT_TRUE(service.contains("\nExecStartPre=/bin/rm -f /home/trellium/.trellium-desktop-ready\n"
                                 "ExecStart=/usr/bin/xinit /usr/sbin/runuser -u trellium "
                                 "/usr/local/bin/trellium-xsession -- /usr/bin/X :0 -nolisten tcp\n"
                                 "Restart=always\nRestartSec=3\n"));
    const QString session = parsed.files.value("/usr/local/bin/trellium-xsession");
    EXPECT_TRUE(session.contains("  if DISPLAY=:0 xset q >/dev/null 2>&1           && pgrep -x xfwm4 >/dev/null"));
    EXPECT_TRUE(session.contains("    touch /home/trellium/.trellium-desktop-ready\n"));

    const QStringList banner = parsed.files.value("/etc/update-motd.d/99-trellium").split('\n');
    EXPECT_TRUE(banner.contains("echo \"╔" + QString(38, QChar(0x2550)) + "╗\""));
    EXPECT_TRUE(banner.contains("printf \"%-12s %s\\n\" \"Workspace:\" \"$WORKSPACE_NAME\""));
}

TEST_F(LinuxCloudInitManagerTest, DistributionAndModeDecideTheOptionalSegments)
{
    const ParsedUserData archRuntime = parse(LinuxCloudInitManager::userData(runtimeFor(kArch), kKey, true));
    EXPECT_EQ(archRuntime.bootcmd.value(1),
              "mountpoint -q /workspace || mount -t virtiofs workspace /workspace || true");
    EXPECT_TRUE(archRuntime.bootcmd.value(2).contains("/workspace/trellium-network-debug-" + kId + "-early.txt"));
    EXPECT_TRUE(archRuntime.paths.contains("/usr/local/bin/trellium-network-diagnostics"));
    EXPECT_TRUE(archRuntime.files.value("/usr/local/bin/trellium-network-diagnostics")
                    .contains("TARGET=\"/workspace/trellium-network-debug-" + kId + ".txt\""));
    const qsizetype diagnostics =
        archRuntime.runcmd.indexOf("systemctl enable trellium-network-diagnostics.service || true");
    EXPECT_EQ(archRuntime.runcmd.value(diagnostics - 2), "systemctl restart avahi-daemon");
    EXPECT_EQ(archRuntime.runcmd.value(diagnostics + 2), "chown trellium:trellium /home/trellium/.xinitrc || true");
    EXPECT_FALSE(archRuntime.runcmd.join('\n').contains("systemd-run"));
    EXPECT_TRUE(archRuntime.files.value("/etc/systemd/system/trellium-desktop.service")
                    .contains("ExecStart=/usr/bin/xinit /usr/bin/runuser -u trellium "));

    const QString archTemplateDoc = LinuxCloudInitManager::userData(runtimeFor(kArch), kKey, false);
    const ParsedUserData archTemplate = parse(archTemplateDoc);
    EXPECT_TRUE(archTemplate.bootcmd.isEmpty());
    EXPECT_FALSE(archTemplateDoc.contains("network-diagnostics"));
    EXPECT_FALSE(archTemplateDoc.contains("systemd-run"));
    EXPECT_FALSE(archTemplateDoc.contains("apt:"));
    // The provisioning block follows the key items and keeps the
    // continuation lines' own indentation.
    EXPECT_TRUE(archTemplateDoc.contains("/home/trellium/.ssh/authorized_keys\n  - |\n      set -eux\n"
                                         "      pacman -Syu --noconfirm --needed \\\n"
                                         "        linux linux-firmware \\\n"));
    EXPECT_EQ(archTemplate.runcmd.value(4).split('\n').size(), 7);

    const ParsedUserData rockyRuntime = parse(LinuxCloudInitManager::userData(runtimeFor(kRocky), kKey, true));
    EXPECT_TRUE(rockyRuntime.bootcmd.isEmpty());
    EXPECT_TRUE(rockyRuntime.runcmd.contains("systemctl restart sshd"));
    EXPECT_TRUE(rockyRuntime.runcmd.join('\n').contains("systemd-run --unit=trellium-desktop-delayed-start"));
    EXPECT_EQ(rockyRuntime.runcmd.value(4), "mkdir -p /workspace");

    const ParsedUserData unknownTemplate = parse(LinuxCloudInitManager::userData(runtimeFor(kUnknown), kKey, false));
    EXPECT_EQ(unknownTemplate.runcmd.value(4), "set -eux");
    EXPECT_FALSE(unknownTemplate.runcmd.join('\n').contains("systemd-run"));
    EXPECT_TRUE(unknownTemplate.runcmd.contains("systemctl enable avahi-daemon"));

    EXPECT_EQ(LinuxCloudInitManager::metaData(runtimeFor(kArch)),
              "instance-id: " + kId + "\nlocal-hostname: runtime1");
    EXPECT_EQ(LinuxCloudInitManager::networkConfig(),
              "version: 2\nethernets:\n  trellium0:\n    match:\n      name: \"e*\"\n"
              "    dhcp4: true\n    dhcp6: false");
}

TEST_F(LinuxCloudInitManagerTest, LabelsAndEscapingReachConfigurationAndWallpaper)
{
    const auto confAndWallpaper = [](const RuntimeConfig &config) {
        const ParsedUserData parsed = parse(LinuxCloudInitManager::userData(config, kKey, true));
        return std::pair(parsed.files.value("/etc/trellium-runtime.conf"),
                         parsed.files.value("/usr/local/bin/trellium-setup-desktop"));
    };

    auto [conf, setup] = confAndWallpaper(runtimeFor(kUbuntu));
    EXPECT_EQ(conf, "RUNTIME_NAME=\"Meine Runtime\"\nWORKSPACE_NAME=\"Unbekannt\"\nDISTRO=\"ubuntu-24.04-amd64\"\n"
                    "RUNTIME_ID=\"" + kId + "\"\nMIRROR_ID=\"INITIAL\"\nRUNTIME_STATUS=\"Running\"");
    EXPECT_TRUE(setup.contains(">Workspace: Unbekannt</text>"));
    EXPECT_TRUE(setup.contains(">Mirror: INITIAL</text>"));
    EXPECT_TRUE(setup.contains("USER_NAME=\"trellium\"\n"));

    RuntimeConfig config = runtimeFor(QStringLiteral("my\"$distro"));
    config.name = QStringLiteral("a\"b$c`d\\e");
    config.workspaceName = QStringLiteral("<Q&A> {{MIRROR_ID}}");
    config.mirrorID = QUuid::fromString(QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"));
    std::tie(conf, setup) = confAndWallpaper(config);
    EXPECT_TRUE(conf.startsWith("RUNTIME_NAME=\"a\\\"b\\$c\\`d\\\\e\"\nWORKSPACE_NAME=\"<Q&A> {{MIRROR_ID}}\"\n"
                                "DISTRO=\"my\\\"\\$distro\"\n"));
    EXPECT_TRUE(conf.contains("\nMIRROR_ID=\"0A1B2C3D\"\n"));
    // A value that looks like a placeholder stays text.
    EXPECT_TRUE(setup.contains(">Workspace: &lt;Q&amp;A&gt; {{MIRROR_ID}}</text>"));
    EXPECT_TRUE(setup.contains(">Mirror: 0A1B2C3D</text>"));

    config.workspaceName = QString();
    std::tie(conf, setup) = confAndWallpaper(config);
    EXPECT_TRUE(conf.contains("\nWORKSPACE_NAME=\"\"\n"));
    EXPECT_TRUE(setup.contains(">Workspace: </text>"));
}

TEST_F(LinuxCloudInitManagerTest, KeysAreTrimmedAndOnlyTheOpenSshFormPasses)
{
    const QString rsa = QStringLiteral("ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQ==");
    const QString doc = LinuxCloudInitManager::userData(runtimeFor(kUbuntu), "  " + rsa + "\n", true);
    EXPECT_TRUE(doc.contains("      - " + rsa + "\n"));
    EXPECT_TRUE(parse(doc).runcmd.contains("printf '%s\\n' \"" + rsa + "\" > /home/trellium/.ssh/authorized_keys"));
    for (const QString &good : {QStringLiteral("ecdsa-sha2-nistp521 AAAAE2Vj a b"),
                                QStringLiteral("sk-ssh-ed25519@openssh.com AAAAGnNr user@host"),
                                QStringLiteral("sk-ecdsa-sha2-nistp256@openssh.com AAAAInNr")})
        EXPECT_NO_THROW(LinuxCloudInitManager::userData(runtimeFor(kUbuntu), good, true)) << good.toStdString();

    const QStringList bad{"",
                          "ssh-dss AAAAB3NzaC1kc3M=",
                          "ssh-ed25519",
                          "ssh-ed25519 AAAA=x",
                          "ssh-ed25519 AAAA\nfoo: bar",
                          "ssh-ed25519 AAAA a\tb",
                          "ssh-ed25519 AAAA key: value",
                          "ssh-ed25519 AAAA trailing:",
                          "ssh-ed25519 AAAA x #comment",
                          "ssh-ed25519 AAAA $(touch /tmp/x)",
                          "ssh-ed25519 AAAA `touch /tmp/x`",
                          "ssh-ed25519 AAAA \"; touch /tmp/x; \"",
                          "ssh-ed25519 AAAA ümlaut"};
    for (const QString &key : bad) {
        try {
            LinuxCloudInitManager::userData(runtimeFor(kUbuntu), key, true);
            ADD_FAILURE() << "accepted: " << key.toStdString();
        } catch (const DomainError &error) {
            EXPECT_EQ(error.domain(), "RuntimeConfig");
            EXPECT_EQ(error.code(), 1);
            EXPECT_EQ(error.localizedDescription(), "Ungültige Runtime-Konfiguration: Der SSH-Schlüssel muss eine "
                                                    "Zeile im OpenSSH-Format sein.");
        }
    }
}

TEST_F(LinuxCloudInitManagerTest, WritesTheDocumentsAndRemovesAStaleNetworkConfig)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, true);
    EXPECT_EQ(readWholeFile(folder + "/user-data"),
              LinuxCloudInitManager::userData(runtimeFor(kArch), kKey, true).toUtf8());
    EXPECT_EQ(readWholeFile(folder + "/meta-data"), "instance-id: " + kId.toUtf8() + "\nlocal-hostname: runtime1");
    EXPECT_EQ(readWholeFile(folder + "/network-config"), LinuxCloudInitManager::networkConfig().toUtf8());

    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, false);
    EXPECT_FALSE(itemExists(folder + "/network-config"));
    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, true);
    manager.writeCloudInitFiles(runtimeFor(kUbuntu), folder, kKey, true);
    EXPECT_EQ(listDirectory(folder), (QStringList{"meta-data", "user-data"}));
    EXPECT_TRUE(readWholeFile(folder + "/user-data").startsWith("#cloud-config\n"));  // no byte-order mark
}

TEST_F(LinuxCloudInitManagerTest, RefusedRecordsWriteNothing)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    std::vector<std::pair<std::string, RuntimeConfig>> cases;
    const auto add = [&cases](std::string label, auto change) {
        RuntimeConfig config = runtimeFor(kUbuntu);
        change(config);
        cases.emplace_back(std::move(label), config);
    };
    add("username", [](RuntimeConfig &c) { c.username = "root\n  - name: evil"; });
    add("hostname", [](RuntimeConfig &c) { c.hostname = "a;reboot"; });
    add("mountName", [](RuntimeConfig &c) { c.mountName = "ws /etc"; });
    add("name", [](RuntimeConfig &c) { c.name = "x\nruncmd: [reboot]"; });
    add("workspaceName", [](RuntimeConfig &c) { c.workspaceName = QString("x") + QChar(0x2028) + "y"; });

    for (const auto &[label, config] : cases) {
        try {
            manager.writeCloudInitFiles(config, folder, kKey, true);
            ADD_FAILURE() << "accepted " << label;
        } catch (const DomainError &error) {
            EXPECT_EQ(error.domain(), "RuntimeConfig") << label;
            EXPECT_TRUE(error.localizedDescription().startsWith(
                "Ungültige Runtime-Konfiguration: " + QString::fromStdString(label) + " "))
                << label;
        }
    }
    EXPECT_THROW(manager.writeCloudInitFiles(runtimeFor(kArch), folder, "ssh-ed25519 AAAA a: b", true), DomainError);
    EXPECT_THROW(LinuxCloudInitManager::metaData(cases[1].second), DomainError);
    EXPECT_TRUE(listDirectory(folder).isEmpty());
}

TEST_F(LinuxCloudInitManagerTest, CloudInitSchemaAcceptsEveryVariant)
{
    const QString cloudInit = QStringLiteral("/usr/bin/cloud-init");
    if (!itemExists(cloudInit))
        GTEST_SKIP() << "cloud-init is not installed";
    for (const Variant &variant : kVariants) {
        const QString file = scratch() + "/user-data";
        writeText(file, LinuxCloudInitManager::userData(runtimeFor(variant.distro), kKey, variant.forRuntime));
        const ProcessResult result = run(cloudInit, {"schema", "-c", file});
        EXPECT_EQ(result.exitCode, 0) << variant.distro.toStdString() << " runtime=" << variant.forRuntime << "\n"
                                      << result.standardOutput.toStdString() << result.standardError.toStdString();
        EXPECT_TRUE(result.standardOutput.contains("Valid cloud-config"));
    }
}

TEST_F(LinuxCloudInitManagerTest, BashParsesEveryScriptTheDocumentCarries)
{
    for (const Variant &variant : kVariants) {
        const ParsedUserData parsed =
            parse(LinuxCloudInitManager::userData(runtimeFor(variant.distro), kKey, variant.forRuntime));
        QStringList scripts = parsed.runcmd + parsed.bootcmd;
        qsizetype withShebang = 0;
        for (const QString &content : parsed.files) {
            if (content.startsWith("#!/bin/bash\n")) {
                scripts << content;
                ++withShebang;
            }
        }
        EXPECT_EQ(withShebang, variant.forRuntime && variant.distro == kArch ? 4 : 3);
        for (const QString &script : scripts) {
            const QString file = scratch() + "/script.sh";
            writeText(file, script);
            const ProcessResult result = run("/bin/bash", {"-n", file});
            EXPECT_EQ(result.exitCode, 0) << script.toStdString() << "\n" << result.standardError.toStdString();
        }
    }
}

TEST_F(LinuxCloudInitManagerTest, PayloadsInNamesArriveAsTextAndNeverRun)
{
    const QString marker = scratch() + "/pwned";
    const QString root = scratch(QStringLiteral("root"));
    RuntimeConfig config = runtimeFor(kUbuntu);
    config.name = QString("x\"; touch %1; \" $(touch %1) `touch %1` \\ end").arg(marker);
    config.workspaceName = QString("<W&'\"> $(touch %1) `touch %1` ${HOME} \\$ end").arg(marker);
    const ParsedUserData parsed = parse(LinuxCloudInitManager::userData(config, kKey, true));

    // The guest's absolute paths move below `root`; chown of a user that
    // does not exist here becomes a no-op.
    const auto rooted = [&root](QString script) {
        script.replace("/etc/", root + "/etc/");
        script.replace("/home/", root + "/home/");
        script.replace("/usr/share/backgrounds", root + "/usr/share/backgrounds");
        script.replace("chown ", "true ");
        return script;
    };
    const auto runScript = [this](const QString &name, const QString &script) {
        const QString file = scratch() + "/" + name;
        writeText(file, script);
        return run("/bin/bash", {file});
    };
    createDirectories(root + "/etc");
    createDirectories(root + "/home/trellium/.ssh");
    const QString conf = root + "/etc/trellium-runtime.conf";
    writeText(conf, parsed.files.value("/etc/trellium-runtime.conf") + "\n");

    const ProcessResult banner = runScript("banner", rooted(parsed.files.value("/etc/update-motd.d/99-trellium")));
    EXPECT_EQ(banner.exitCode, 0) << banner.standardError.toStdString();
    EXPECT_TRUE(banner.standardOutput.contains(("Runtime :    " + config.name + "\n").toUtf8()))
        << banner.standardOutput.toStdString();

    const QString printVariables = "source \"$1\"; printf '%s\\n' \"$RUNTIME_NAME\" \"$WORKSPACE_NAME\"";
    const ProcessResult sourced = run("/bin/bash", {"-c", printVariables, "bash", conf});
    EXPECT_EQ(QString::fromUtf8(sourced.standardOutput), config.name + "\n" + *config.workspaceName + "\n");

    const ProcessResult setup = runScript("setup", rooted(parsed.files.value("/usr/local/bin/trellium-setup-desktop")));
    ASSERT_EQ(setup.exitCode, 0) << setup.standardError.toStdString();
    const QString svg =
        QString::fromUtf8(readWholeFile(root + "/usr/share/backgrounds/trellium/runtime-wallpaper.svg"));
    EXPECT_TRUE(svg.contains(
        QString(">Workspace: &lt;W&amp;&apos;&quot;&gt; $(touch %1) `touch %1` ${HOME} \\$ end</text>").arg(marker)))
        << svg.toStdString();
    EXPECT_TRUE(itemExists(root + "/home/trellium/Desktop/Runtime Info.desktop"));
    EXPECT_TRUE(readWholeFile(root + "/home/trellium/.config/xfce4/xfconf/xfce-perchannel-xml/xfce4-desktop.xml")
                    .contains("/usr/share/backgrounds/trellium/runtime-wallpaper.svg\"/>"));

    const QString printfItem = parsed.runcmd.value(1);
    ASSERT_TRUE(printfItem.startsWith("printf "));
    const ProcessResult key = runScript("key", rooted(printfItem));
    EXPECT_EQ(key.exitCode, 0) << key.standardError.toStdString();
    EXPECT_EQ(readWholeFile(root + "/home/trellium/.ssh/authorized_keys"), kKey.toUtf8() + "\n");

    EXPECT_FALSE(itemExists(marker));
}

TEST_F(LinuxCloudInitManagerTest, SeedImageCarriesTheDocumentsUnderVolumeCidata)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    createDirectories(folder + "/seed");
    writeText(folder + "/seed/stale", "old");
    writeText(folder + "/seed.iso", "old");
    manager.writeCloudInitFiles(runtimeFor(kUbuntu), folder, kKey, true);

    test::LogCapture log;
    runSync(manager.createSeedISO(folder));
    EXPECT_EQ(log.lines(), (QStringList{"Creating seed ISO at: " + folder + "/seed.iso",
                                        "Seed source folder: " + folder + "/seed", "Seed files: meta-data, user-data",
                                        "genisoimage finished: 0"}));
    EXPECT_EQ(listDirectory(folder + "/seed"), (QStringList{"meta-data", "user-data"}));

    const QString iso = folder + "/seed.iso";
    const QString description = QString::fromUtf8(run("/usr/bin/isoinfo", {"-d", "-i", iso}).standardOutput);
    EXPECT_TRUE(description.contains("Volume id: cidata")) << description.toStdString();
    EXPECT_TRUE(description.contains("Joliet with UCS level"));
    EXPECT_TRUE(description.contains("Rock Ridge signatures"));
    EXPECT_EQ(run("/usr/bin/isoinfo", {"-J", "-x", "/user-data", "-i", iso}).standardOutput,
              readWholeFile(folder + "/user-data"));
    EXPECT_EQ(run("/usr/bin/isoinfo", {"-J", "-x", "/meta-data", "-i", iso}).standardOutput,
              readWholeFile(folder + "/meta-data"));
}

TEST_F(LinuxCloudInitManagerTest, ArchSeedCarriesNetworkConfigAndXorrisoStandsIn)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, true);
    LinuxCloudInitManager fallback({.genisoimage = scratch() + "/missing/genisoimage"});
    test::LogCapture log;
    runSync(fallback.createSeedISO(folder));
    EXPECT_TRUE(log.lines().contains("xorriso finished: 0"));
    EXPECT_EQ(listDirectory(folder + "/seed"), (QStringList{"meta-data", "network-config", "user-data"}));

    const QString iso = folder + "/seed.iso";
    EXPECT_TRUE(run("/usr/bin/isoinfo", {"-d", "-i", iso}).standardOutput.contains("Volume id: cidata"));
    EXPECT_EQ(run("/usr/bin/isoinfo", {"-J", "-x", "/network-config", "-i", iso}).standardOutput,
              LinuxCloudInitManager::networkConfig().toUtf8());
}

TEST_F(LinuxCloudInitManagerTest, ToolFailuresAndMissingDocumentsEndTheBuild)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    manager.writeCloudInitFiles(runtimeFor(kRocky), folder, kKey, true);

    LinuxCloudInitManager failing({.genisoimage = scriptTool("fake-iso", "exit 3")});
    test::LogCapture log;
    try {
        runSync(failing.createSeedISO(folder));
        ADD_FAILURE() << "a failing tool went unnoticed";
    } catch (const DomainError &error) {
        EXPECT_EQ(error.domain(), "CloudInit");
        EXPECT_EQ(error.code(), 3);
        EXPECT_EQ(error.localizedDescription(), "seed.iso konnte nicht erzeugt werden.");
    }
    EXPECT_TRUE(log.lines().contains("fake-iso finished: 3"));
    EXPECT_TRUE(itemExists(folder + "/seed/user-data"));

    LinuxCloudInitManager absent({.genisoimage = folder + "/none", .xorriso = folder + "/none"});
    EXPECT_THROW(runSync(absent.createSeedISO(folder)), FileError);

    // A missing document stops the build before the tool runs.
    const QString started = scratch() + "/started";
    LinuxCloudInitManager recording({.genisoimage = scriptTool("recording-iso", "touch " + started)});
    removeItem(folder + "/meta-data");
    EXPECT_THROW(runSync(recording.createSeedISO(folder)), FileError);
    EXPECT_FALSE(itemExists(started));
}
