#include "core/Async.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "core/Process.h"
#include "runtime/images/LinuxCloudInitManager.h"

#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

// The documents as cloud-init reads them: PyYAML's safe loader (the reader
// cloud-init itself uses), handed over as JSON. A value that YAML turns into
// something JSON has no word for (a date) arrives as {"yamlType": ...}.
const QString kYamlToJson = QStringLiteral(
    "import json, sys, yaml\n"
    "def other(value):\n"
    "    return {'yamlType': type(value).__name__, 'value': str(value)}\n"
    "json.dump(yaml.safe_load(sys.stdin.buffer), sys.stdout, default=other)\n");

QJsonObject readYaml(const QString &document)
{
    ProcessOptions options;
    options.input = document.toUtf8();
    const ProcessResult result =
        runProcessBlocking(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), kYamlToJson}, options);
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    const QJsonDocument json = QJsonDocument::fromJson(result.standardOutput);
    EXPECT_TRUE(json.isObject()) << result.standardOutput.toStdString();
    return json.object();
}

// The parts of user-data most tests look at.
struct ParsedUserData {
    QJsonObject root;
    QStringList paths;
    QMap<QString, QString> files;
    QStringList bootcmd;
    QStringList runcmd;
};

// A literal block keeps one final line feed; the texts compared here have none.
QString withoutFinalLineFeed(QString text)
{
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

ParsedUserData parse(const QString &document)
{
    ParsedUserData out;
    out.root = readYaml(document);
    for (const QJsonValue entry : out.root.value("write_files").toArray()) {
        const QString path = entry.toObject().value("path").toString();
        out.paths << path;
        out.files[path] = withoutFinalLineFeed(entry.toObject().value("content").toString());
    }
    for (const QJsonValue item : out.root.value("bootcmd").toArray())
        out.bootcmd << withoutFinalLineFeed(item.toString());
    for (const QJsonValue item : out.root.value("runcmd").toArray())
        out.runcmd << withoutFinalLineFeed(item.toString());
    return out;
}

ProcessResult run(const QString &program, const QStringList &arguments)
{
    return runProcessBlocking(program, arguments);
}

class LinuxCloudInitManagerTest : public test::DataHomeTest {
protected:
    void writeText(const QString &path, const QString &text) { writeFileAtomically(path, text.toUtf8()); }

    QString scriptTool(const QString &name, const QString &body) { return test::shellScript(scratch("tools") + "/" + name, body); }

    LinuxCloudInitManager manager;
};

struct Variant {
    QString distro;
    bool forRuntime;
};

const QList<Variant> kVariants{{kUbuntu, true}, {kUbuntu, false}, {kRocky, true},   {kRocky, false},
                               {kArch, true},   {kArch, false},   {kUnknown, true}, {kUnknown, false}};

} // namespace

TEST_F(LinuxCloudInitManagerTest, DocumentsReadAsTheGuestContractWithSegmentsByDistributionAndMode)
{
    const QString doc = LinuxCloudInitManager::userData(runtimeFor(kUbuntu), kKey, true);
    EXPECT_TRUE(doc.startsWith(QStringLiteral("#cloud-config\n")));
    EXPECT_FALSE(doc.endsWith(QLatin1Char('\n')));
    const ParsedUserData parsed = parse(doc);
    // The desktop probe reads the journal through sudo without a password.
    const QJsonObject user = parsed.root.value("users").toArray().at(0).toObject();
    EXPECT_EQ(user.value("sudo"), QJsonValue("ALL=(ALL) NOPASSWD:ALL"));
    EXPECT_EQ(user.value("ssh_authorized_keys"), QJsonArray({kKey}));
    // The key is in place before anything else runs; the desktop is enabled
    // before its delayed start; the banner is rendered last.
    EXPECT_EQ(parsed.runcmd.value(1), "printf '%s\\n' \"" + kKey + "\" > /home/trellium/.ssh/authorized_keys");
    EXPECT_LT(parsed.runcmd.indexOf("systemctl enable trellium-desktop.service"),
              parsed.runcmd.indexOf("systemd-run --unit=trellium-desktop-delayed-start --on-active=15s /bin/systemctl "
                                    "start trellium-desktop.service"));
    EXPECT_EQ(parsed.runcmd.last(), "chmod 0644 /etc/update-motd.d/99-trellium");

    // Labels and escaping reach the configuration file and the wallpaper.
    const auto confAndWallpaper = [](const RuntimeConfig &config) {
        const ParsedUserData parsed = parse(LinuxCloudInitManager::userData(config, kKey, true));
        return std::pair(parsed.files.value("/etc/trellium-runtime.conf"),
                         parsed.files.value("/usr/local/bin/trellium-setup-desktop"));
    };

    RuntimeConfig config = runtimeFor(QStringLiteral("my\"$distro"));
    config.name = QStringLiteral("a\"b$c`d\\e");
    config.workspaceName = QStringLiteral("<Q&A> {{MIRROR_ID}}");
    config.mirrorID = QUuid::fromString(QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"));
    auto [conf, setup] = confAndWallpaper(config);
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

    // Distribution and mode decide the optional segments.
    const ParsedUserData archRuntime = parse(LinuxCloudInitManager::userData(runtimeFor(kArch), kKey, true));
    EXPECT_EQ(archRuntime.bootcmd.value(1),
              "mountpoint -q /workspace || mount -t virtiofs workspace /workspace || true");
    EXPECT_TRUE(archRuntime.bootcmd.value(2).contains("/workspace/trellium-network-debug-" + kId + "-early.txt"));
    EXPECT_TRUE(archRuntime.paths.contains("/usr/local/bin/trellium-network-diagnostics"));
    EXPECT_TRUE(archRuntime.files.value("/usr/local/bin/trellium-network-diagnostics")
                    .contains("TARGET=\"/workspace/trellium-network-debug-" + kId + ".txt\""));
    EXPECT_TRUE(archRuntime.runcmd.contains("systemctl enable trellium-network-diagnostics.service || true"));

    const QString archTemplateDoc = LinuxCloudInitManager::userData(runtimeFor(kArch), kKey, false);
    const ParsedUserData archTemplate = parse(archTemplateDoc);
    EXPECT_TRUE(archTemplate.bootcmd.isEmpty());
    EXPECT_FALSE(archTemplateDoc.contains("network-diagnostics"));
    EXPECT_FALSE(archTemplateDoc.contains("systemd-run"));
    EXPECT_FALSE(archTemplate.root.contains("apt"));
    // The provisioning block keeps its continuation lines whole.
    EXPECT_TRUE(archTemplate.runcmd.value(4).startsWith("set -eux\npacman -Syu --noconfirm --needed \\\n"
                                                        "  linux linux-firmware \\\n"));

    const ParsedUserData rockyRuntime = parse(LinuxCloudInitManager::userData(runtimeFor(kRocky), kKey, true));
    EXPECT_TRUE(rockyRuntime.bootcmd.isEmpty());
    EXPECT_TRUE(rockyRuntime.runcmd.contains("systemctl restart sshd"));
    EXPECT_TRUE(rockyRuntime.runcmd.join('\n').contains("systemd-run --unit=trellium-desktop-delayed-start"));
}

TEST_F(LinuxCloudInitManagerTest, RecordValuesStayTextAndKeysPassOnlyInTheOpenSshForm)
{
    // Valid names that an unquoted YAML 1.1 scalar turns into numbers,
    // truth values or nothing.
    const QList<std::pair<QString, QString>> hostsAndUsers{
        {"007", "null"}, {"yes", "on"}, {"1e3", "no"}, {"0x1F", "y"}, {"null", "off"}};
    for (const auto &[host, user] : hostsAndUsers) {
        for (const Variant &variant : {Variant{kUbuntu, true}, Variant{kArch, true}, Variant{kArch, false}}) {
            RuntimeConfig config = runtimeFor(variant.distro);
            config.hostname = host;
            config.username = user;
            const std::string label = (host + "/" + user + " " + variant.distro).toStdString();
            const ParsedUserData parsed = parse(LinuxCloudInitManager::userData(config, kKey, variant.forRuntime));
            EXPECT_EQ(parsed.root.value("hostname"), QJsonValue(host)) << label;
            EXPECT_EQ(parsed.root.value("users").toArray().at(0).toObject().value("name"), QJsonValue(user)) << label;
            const QJsonArray passwords = parsed.root.value("chpasswd").toObject().value("users").toArray();
            EXPECT_EQ(passwords.at(0).toObject().value("name"), QJsonValue(user)) << label;
            EXPECT_TRUE(parsed.paths.contains("/home/" + user + "/.xinitrc")) << label;
            for (const QJsonValue list : {parsed.root.value("runcmd"), parsed.root.value("bootcmd")}) {
                for (const QJsonValue item : list.toArray())
                    EXPECT_TRUE(item.isString()) << label;
            }
            EXPECT_TRUE(parsed.runcmd.contains("install -d -m 0700 -o " + user + " -g " + user + " /home/" + user + "/.ssh"))
                << label;

            const QJsonObject meta = readYaml(LinuxCloudInitManager::metaData(config));
            EXPECT_EQ(meta.value("instance-id"), QJsonValue(kId)) << label;
            EXPECT_EQ(meta.value("local-hostname"), QJsonValue(host)) << label;
        }
    }

    // Keys are trimmed, and only the OpenSSH form passes.
    const QString rsa = QStringLiteral("ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQ==");
    const ParsedUserData parsed = parse(LinuxCloudInitManager::userData(runtimeFor(kUbuntu), "  " + rsa + "\n", true));
    EXPECT_EQ(parsed.root.value("users").toArray().at(0).toObject().value("ssh_authorized_keys"), QJsonArray({rsa}));
    EXPECT_TRUE(parsed.runcmd.contains("printf '%s\\n' \"" + rsa + "\" > /home/trellium/.ssh/authorized_keys"));
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
        EXPECT_EQ(test::errorOf([&] { LinuxCloudInitManager::userData(runtimeFor(kUbuntu), key, true); }),
                  "Ungültige Runtime-Konfiguration: Der SSH-Schlüssel muss eine Zeile im OpenSSH-Format sein.")
            << key.toStdString();
    }
}

TEST_F(LinuxCloudInitManagerTest, WritesTheDocumentsRemovesAStaleNetworkConfigAndRefusesBadRecords)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, true);
    EXPECT_EQ(readWholeFile(folder + "/user-data"),
              LinuxCloudInitManager::userData(runtimeFor(kArch), kKey, true).toUtf8());
    EXPECT_EQ(readWholeFile(folder + "/meta-data"), LinuxCloudInitManager::metaData(runtimeFor(kArch)).toUtf8());
    EXPECT_EQ(readWholeFile(folder + "/network-config"), LinuxCloudInitManager::networkConfig().toUtf8());

    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, false);
    EXPECT_FALSE(itemExists(folder + "/network-config"));
    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, true);
    manager.writeCloudInitFiles(runtimeFor(kUbuntu), folder, kKey, true);
    EXPECT_EQ(listDirectory(folder), (QStringList{"meta-data", "user-data"}));
    EXPECT_TRUE(readWholeFile(folder + "/user-data").startsWith("#cloud-config\n"));  // no byte-order mark

    // Refused records write nothing.
    removeItem(folder);
    createDirectories(folder);
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
    // No YAML reader takes these: the whole document would be unreadable.
    add("workspaceName", [](RuntimeConfig &c) { c.workspaceName = QString("x") + QChar(0xFFFE); });
    add("name", [](RuntimeConfig &c) { c.name = QString("x") + QChar(0xD83D); });

    for (const auto &[label, config] : cases) {
        const RuntimeConfig &refused = config;
        EXPECT_TRUE(test::errorOf([&] { manager.writeCloudInitFiles(refused, folder, kKey, true); })
                        .startsWith("Ungültige Runtime-Konfiguration: " + QString::fromStdString(label) + " "))
            << label;
    }
    EXPECT_THROW(manager.writeCloudInitFiles(runtimeFor(kArch), folder, "ssh-ed25519 AAAA a: b", true), DomainError);
    EXPECT_THROW(LinuxCloudInitManager::metaData(cases[1].second), DomainError);
    EXPECT_TRUE(listDirectory(folder).isEmpty());
}

TEST_F(LinuxCloudInitManagerTest, EveryVariantPassesCloudInitsSchemaAndBashAndHomeFilesWaitForTheUser)
{
    const QString cloudInit = QStringLiteral("/usr/bin/cloud-init");
    for (const Variant &variant : kVariants) {
        // Names that look like other YAML types must not break the schema either.
        RuntimeConfig config = runtimeFor(variant.distro);
        if (variant.forRuntime) {
            config.hostname = QStringLiteral("007");
            config.username = QStringLiteral("null");
        }
        const QString document = LinuxCloudInitManager::userData(config, kKey, variant.forRuntime);
        const std::string label = variant.distro.toStdString() + (variant.forRuntime ? " runtime" : " template");
        if (itemExists(cloudInit)) {
            const QString file = scratch() + "/user-data";
            writeText(file, document);
            const ProcessResult result = run(cloudInit, {"schema", "-c", file});
            EXPECT_EQ(result.exitCode, 0) << label << "\n"
                                          << result.standardOutput.toStdString() << result.standardError.toStdString();
            EXPECT_TRUE(result.standardOutput.contains("Valid cloud-config"));
        }
        const ParsedUserData parsed = parse(document);
        // Written before the user exists, a file would create the home
        // without /etc/skel (no .bashrc, no .profile).
        int inHome = 0;
        for (const QJsonValue entry : parsed.root.value("write_files").toArray()) {
            const QJsonObject file = entry.toObject();
            const bool home = file.value("path").toString().startsWith("/home/");
            inHome += home ? 1 : 0;
            EXPECT_EQ(file.value("defer"), home ? QJsonValue(true) : QJsonValue(QJsonValue::Undefined))
                << file.value("path").toString().toStdString();
        }
        EXPECT_EQ(inHome, 1) << label;
        QStringList scripts = parsed.runcmd + parsed.bootcmd;
        qsizetype withShebang = 0;
        for (const QString &content : parsed.files) {
            if (content.startsWith("#!/bin/bash\n")) {
                scripts << content;
                ++withShebang;
            }
        }
        EXPECT_EQ(withShebang, variant.forRuntime && variant.distro == kArch ? 4 : 3) << label;
        for (const QString &script : scripts) {
            const QString file = scratch() + "/script.sh";
            writeText(file, script);
            const ProcessResult result = run("/bin/bash", {"-n", file});
            EXPECT_EQ(result.exitCode, 0) << script.toStdString() << "\n" << result.standardError.toStdString();
        }
    }
    if (!itemExists(cloudInit))
        GTEST_SKIP() << "cloud-init is not installed";
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

    // The share's line goes in once and replaces the template's, whose share
    // name ends in this one's; other lines stay.
    writeText(root + "/etc/fstab", "UUID=3f4c / ext4 defaults 0 1\ntrellium_workspace /workspace virtiofs rw,nofail 0 0\n");
    for (int boot = 0; boot < 2; ++boot)
        EXPECT_EQ(runScript("fstab", rooted(parsed.runcmd.filter("/etc/fstab").value(0))).exitCode, 0);
    EXPECT_EQ(readWholeFile(root + "/etc/fstab"), "UUID=3f4c / ext4 defaults 0 1\nworkspace /workspace virtiofs rw,nofail 0 0\n");

    // Only entries for /workspace itself give way, however their fields are
    // separated: another mount point that begins with it and comments stay.
    const QByteArray others = "# trellium_workspace /workspace virtiofs rw,nofail 0 0\n"
                              "cache /workspace-cache virtiofs rw,nofail 0 0\n"
                              "  #/workspace is the agent's share\n"
                              "data /srv/workspace virtiofs rw 0 0\n";
    writeText(root + "/etc/fstab", others + "old_share\t/workspace\tvirtiofs\trw 0 0\n"
                                              "  earlier   /workspace   virtiofs rw 0 0\n");
    for (int boot = 0; boot < 2; ++boot)
        EXPECT_EQ(runScript("fstab", rooted(parsed.runcmd.filter("/etc/fstab").value(0))).exitCode, 0);
    EXPECT_EQ(readWholeFile(root + "/etc/fstab"), others + "workspace /workspace virtiofs rw,nofail 0 0\n");

    EXPECT_FALSE(itemExists(marker));
}

// systemd takes "/workspace/" and "/workspace//" for "/workspace": those
// entries give way to the share's like the plain one, over two boots.
// Comments and mount points that only begin or end like it stay whole.
TEST_F(LinuxCloudInitManagerTest, WorkspaceFstabLineReplacesEntriesForItsMountPointAndLeavesOtherLinesWhole)
{
    const RuntimeConfig config = runtimeFor(kUbuntu);
    const QString fstab = scratch() + "/fstab";
    QString command = parse(LinuxCloudInitManager::userData(config, kKey, true)).runcmd.filter("/etc/fstab").value(0);
    ASSERT_FALSE(command.isEmpty());
    command.replace("/etc/fstab", fstab);
    const QString share = config.mountName + " /workspace virtiofs rw,nofail 0 0\n";

    writeText(fstab, "#old_share /workspace virtiofs rw 0 0\n"
                     "old /workspace/ virtiofs rw 0 0\n"
                     "sub /workspace/sub virtiofs rw 0 0\n"
                     "older\t/workspace//\tvirtiofs\trw,nofail 0 0\n"
                     "data /srv/workspace/ virtiofs rw 0 0\n"
                     "cache /workspace-cache/ virtiofs rw 0 0\n");
    for (int boot = 0; boot < 2; ++boot) {
        const ProcessResult result = run("/bin/bash", {"-c", command});
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    }
    const QString kept = "#old_share /workspace virtiofs rw 0 0\n"
                         "sub /workspace/sub virtiofs rw 0 0\n"
                         "data /srv/workspace/ virtiofs rw 0 0\n"
                         "cache /workspace-cache/ virtiofs rw 0 0\n";
    EXPECT_EQ(readWholeFile(fstab).toStdString(), (kept + share).toStdString());

    // A last line without its line feed keeps its fields.
    writeText(fstab, "UUID=3f4c / ext4 defaults 0 1");
    EXPECT_EQ(run("/bin/bash", {"-c", command}).exitCode, 0);
    EXPECT_EQ(readWholeFile(fstab).toStdString(), ("UUID=3f4c / ext4 defaults 0 1\n" + share).toStdString());
}

TEST_F(LinuxCloudInitManagerTest, SeedImageCarriesTheDocumentsUnderVolumeCidataOrFailsTheBuild)
{
    const QString folder = scratch(QStringLiteral("runtime"));
    createDirectories(folder + "/seed");
    writeText(folder + "/seed/stale", "old");
    writeText(folder + "/seed.iso", "old");
    manager.writeCloudInitFiles(runtimeFor(kUbuntu), folder, kKey, true);

    runSync(manager.createSeedISO(folder));
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

    // An Arch seed carries the network document; xorriso stands in for genisoimage.
    manager.writeCloudInitFiles(runtimeFor(kArch), folder, kKey, true);
    LinuxCloudInitManager fallback({.genisoimage = scratch() + "/missing/genisoimage"});
    test::LogCapture log;
    runSync(fallback.createSeedISO(folder));
    EXPECT_TRUE(log.lines().contains("xorriso finished: 0"));
    EXPECT_EQ(listDirectory(folder + "/seed"), (QStringList{"meta-data", "network-config", "user-data"}));

    EXPECT_TRUE(run("/usr/bin/isoinfo", {"-d", "-i", iso}).standardOutput.contains("Volume id: cidata"));
    EXPECT_EQ(run("/usr/bin/isoinfo", {"-J", "-x", "/network-config", "-i", iso}).standardOutput,
              LinuxCloudInitManager::networkConfig().toUtf8());

    // A failing or missing tool, or a missing document, ends the build.
    manager.writeCloudInitFiles(runtimeFor(kRocky), folder, kKey, true);
    removeItem(folder + "/seed");
    LinuxCloudInitManager failing({.genisoimage = scriptTool("fake-iso", "exit 3")});
    EXPECT_EQ(test::errorOf([&] { runSync(failing.createSeedISO(folder)); }), "seed.iso konnte nicht erzeugt werden.");
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
