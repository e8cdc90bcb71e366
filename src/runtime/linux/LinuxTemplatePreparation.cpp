#include "runtime/linux/LinuxTemplatePreparation.h"

#include "core/Descriptor.h"
#include "core/Files.h"
#include "core/Json.h"
#include "core/Log.h"
#include "platform/vm/MACAddress.h"
#include "runtime/RuntimeError.h"
#include "runtime/RuntimeStore.h"
#include "runtime/images/LinuxCloudInitManager.h"
#include "runtime/images/LinuxImageManager.h"
#include "runtime/linux/LinuxSSHKeyManager.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>

namespace trellium {

namespace {

const QString kArch = QStringLiteral("archlinux-x86_64");
// In the base-image folder: the template runtimes a preparation made and has
// not removed yet, one id a line.
const QString kRecordFile = QStringLiteral("/template-runtimes");
// The cleanup commands (cloud-init clean, a few removals, a sync of what the
// kernel has long written back) take seconds, at most a few minutes on a busy
// 2-CPU guest without hardware acceleration; a guest that hangs in one must
// not hold the preparation and its 6 GiB machine.
constexpr std::chrono::milliseconds kCleanupLimit = std::chrono::minutes(10);

// Whether a machine, of this process or another, runs on the disk image:
// QEMU holds byte locks on an image while it uses it (the locks that make a
// second QEMU on the same disk fail).
bool isDiskInUse(const QString &path)
{
    const Descriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.isValid())
        return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

} // namespace

LinuxTemplatePreparation::LinuxTemplatePreparation(LinuxRuntimeProvider::Dependencies dependencies)
    : m_dependencies(std::move(dependencies))
{
}

QCoro::Task<void> LinuxTemplatePreparation::run(LinuxRuntimeProvider::Dependencies dependencies, QString distro,
                                                QString sourceDisk, QString templateDisk)
{
    LinuxTemplatePreparation preparation(std::move(dependencies));
    co_await preparation.prepareTemplate(distro, sourceDisk, templateDisk);
}

QString LinuxTemplatePreparation::templateName(const QString &distro)
{
    return QStringLiteral("TRELLIUM ") + distro + QStringLiteral(" Template");
}

RuntimeConfig LinuxTemplatePreparation::templateRecord(const QString &distro, const QUuid &id,
                                                       const QString &runtimeFolder)
{
    RuntimeConfig record;
    record.id = id;
    record.name = templateName(distro);
    record.kind = RuntimeKind::linux;
    record.state = RuntimeState::created;
    record.cpuCount = 4;
    record.memoryGB = 6;
    record.diskGB = 30;
    record.workspacePath = runtimeFolder + QStringLiteral("/template-workspace");
    record.workspaceName = QStringLiteral("Template");
    record.mountName = QStringLiteral("trellium_workspace");
    record.distro = distro;
    record.hostname = QStringLiteral("trellium-template-") + id.toString(QUuid::WithoutBraces).left(8).toLower();
    record.username = QStringLiteral("trellium");
    record.macAddress = MACAddress::randomLocallyAdministered().string();
    record.createdAt = QDateTime::currentDateTimeUtc();
    record.updatedAt = record.createdAt;
    record.includeAssets = false;
    record.desktopEnvironment = QStringLiteral("xfce");
    record.displayWidth = 1600;
    record.displayHeight = 1120;
    return record;
}

QString LinuxTemplatePreparation::defaultCleanupCommand()
{
    return QStringLiteral(
        "sudo systemctl stop trellium-desktop.service || true\n"
        "sudo cloud-init clean --logs --machine-id\n"
        "sudo rm -f /etc/ssh/ssh_host_*\n"
        "sudo rm -f /home/trellium/.trellium-desktop-ready\n"
        "sudo sync");
}

QString LinuxTemplatePreparation::archPreparationCommand()
{
    return QStringLiteral(
        "sudo systemctl enable systemd-networkd.service || true\n"
        "sudo systemctl enable systemd-resolved.service || true\n"
        "\n"
        "sudo mkdir -p /etc/systemd/network\n"
        "sudo tee /etc/systemd/network/20-trellium-dhcp.network >/dev/null <<'EOF'\n"
        "[Match]\n"
        "Name=e*\n"
        "\n"
        "[Network]\n"
        "DHCP=yes\n"
        "IPv6AcceptRA=yes\n"
        "\n"
        "[DHCPv4]\n"
        "ClientIdentifier=mac\n"
        "EOF\n"
        "\n"
        "sudo ln -sf /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf || true\n"
        "\n"
        "echo \"=== EFI FALLBACK DEBUG ===\"\n"
        "findmnt || true\n"
        "ls -la /efi /boot /boot/efi 2>/dev/null || true\n"
        "find /efi /boot /boot/efi -type f -iname '*.efi' 2>/dev/null || true\n"
        "\n"
        "EFI_DIR=\"\"\n"
        "if mountpoint -q /efi; then\n"
        "  EFI_DIR=\"/efi\"\n"
        "elif mountpoint -q /boot/efi; then\n"
        "  EFI_DIR=\"/boot/efi\"\n"
        "elif [ -d /efi ]; then\n"
        "  EFI_DIR=\"/efi\"\n"
        "elif [ -d /boot/efi ]; then\n"
        "  EFI_DIR=\"/boot/efi\"\n"
        "fi\n"
        "\n"
        "echo \"EFI_DIR=$EFI_DIR\"\n"
        "\n"
        "GRUB_EFI=\"$(find /efi /boot /boot/efi -type f -iname 'grubx64.efi' 2>/dev/null | head -n 1)\"\n"
        "echo \"GRUB_EFI=$GRUB_EFI\"\n"
        "\n"
        "if [ -n \"$EFI_DIR\" ] && [ -n \"$GRUB_EFI\" ]; then\n"
        "  mkdir -p \"$EFI_DIR/EFI/BOOT\"\n"
        "  cp \"$GRUB_EFI\" \"$EFI_DIR/EFI/BOOT/BOOTX64.EFI\"\n"
        "  echo \"EFI fallback installed\"\n"
        "else\n"
        "  echo \"EFI fallback skipped\"\n"
        "fi\n"
        "\n"
        "sync");
}

QString LinuxTemplatePreparation::archFinalCleanupCommand()
{
    return QStringLiteral(
        "sudo systemctl stop trellium-desktop.service || true\n"
        "sudo systemctl enable systemd-networkd.service || true\n"
        "sudo systemctl enable systemd-resolved.service || true\n"
        "\n"
        "sudo cloud-init clean --logs --machine-id --seed || true\n"
        "sudo rm -rf /var/lib/cloud/*\n"
        "sudo rm -f /etc/machine-id\n"
        "sudo touch /etc/machine-id\n"
        "sudo rm -f /etc/hostname\n"
        "sudo rm -f /etc/ssh/ssh_host_*\n"
        "sudo rm -f /home/trellium/.trellium-desktop-ready\n"
        "\n"
        "sudo sync");
}

QList<QUuid> LinuxTemplatePreparation::recordedTemplateRuntimes(const QString &baseFolder)
{
    QList<QUuid> ids;
    try {
        for (const QByteArray &line : readWholeFile(baseFolder + kRecordFile).split('\n')) {
            const QUuid id = QUuid::fromString(QString::fromLatin1(line.trimmed()));
            if (!id.isNull())
                ids.append(id);
        }
    } catch (const std::exception &) {
    }
    return ids;
}

void LinuxTemplatePreparation::recordTemplateRuntimes(const QString &baseFolder, const QList<QUuid> &ids)
{
    if (ids.isEmpty()) {
        removeItem(baseFolder + kRecordFile);
        return;
    }
    QByteArray lines;
    for (const QUuid &id : ids)
        lines += uuidText(id).toLatin1() + '\n';
    createDirectories(baseFolder);
    writeFileAtomically(baseFolder + kRecordFile, lines);
}

void LinuxTemplatePreparation::removeEarlierTemplateRuntimes(const QString &baseFolder) const
{
    const LinuxDiskManager disks;
    QList<QUuid> kept;
    for (const QUuid &id : recordedTemplateRuntimes(baseFolder)) {
        const QString folder = disks.runtimeDirectory(id);
        if (isDiskInUse(folder + QStringLiteral("/disk.img"))) {
            logLine(QStringLiteral("Earlier template runtime still runs, kept:"), uuidText(id));
            kept.append(id);
            continue;
        }
        try {
            removeItem(folder);
            logLine(QStringLiteral("Earlier template runtime removed:"), uuidText(id));
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Earlier template runtime not removed:"), describeError(error));
            kept.append(id);
        }
    }
    recordTemplateRuntimes(baseFolder, kept);
}

QCoro::Task<void> LinuxTemplatePreparation::cleanGuest(RuntimeConfig record)
{
    const auto ssh = m_dependencies.ssh ? m_dependencies.ssh : std::make_shared<LinuxSSHManager>();
    if (record.distro == kArch) {
        try {
            co_await ssh->runCommand(record, archPreparationCommand(), {}, kCleanupLimit);
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Arch preparation command failed but ignored:"), describeError(error));
        }
        try {
            co_await ssh->runCommand(record, archFinalCleanupCommand(), {}, kCleanupLimit);
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Arch final cleanup command failed but ignored:"), describeError(error));
        }
    } else if (record.distro == QLatin1String("ubuntu-24.04-amd64") || record.distro == QLatin1String("rocky-9-amd64")) {
        co_await ssh->runCommand(record, defaultCleanupCommand(), {}, kCleanupLimit);
    } else {
        try {
            co_await ssh->runCommand(record, defaultCleanupCommand(), {}, kCleanupLimit);
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Default cleanup failed but ignored:"), describeError(error));
        }
    }
}

QCoro::Task<void> LinuxTemplatePreparation::prepareTemplate(QString distro, QString sourceDisk, QString templateDisk)
{
    const QString base = QFileInfo(templateDisk).absolutePath();
    removeEarlierTemplateRuntimes(base);

    const LinuxDiskManager disks;
    const RuntimeStore store;
    const QUuid id = QUuid::createUuid();
    // Recorded before it exists: a preparation cut off at any point leaves
    // only runtimes that the next one knows to be its own.
    recordTemplateRuntimes(base, recordedTemplateRuntimes(base) << id);
    const QString folder = disks.runtimeDirectory(id);
    disks.ensureRuntimeDirectory(id);
    createDirectories(folder + QStringLiteral("/template-workspace"));
    auto copySource = [sourceDisk, folder]() { copyFileSparse(sourceDisk, folder + QStringLiteral("/disk.img")); };
    co_await runOnWorker(copySource);

    const RuntimeConfig record = templateRecord(distro, id, folder);
    disks.resizeRuntimeDisk(record);
    if (!itemExists(folder + QStringLiteral("/efi-variable-store")))
        LinuxImageManager::createEFIVariableStore(folder + QStringLiteral("/efi-variable-store"));
    const LinuxSSHKeyManager keys(disks);
    const QString publicKey = keys.publicKey(record);
    logLine(QStringLiteral("TEMPLATE ID:"), uuidText(id));
    logLine(QStringLiteral("PUBLIC KEY:"));
    logLine(publicKey);
    LinuxCloudInitManager cloudInit;
    cloudInit.writeCloudInitFiles(record, folder, publicKey, false);
    logLine(QStringLiteral("========== USER DATA =========="));
    logLine(QString::fromUtf8(readWholeFile(folder + QStringLiteral("/user-data"))));
    logLine(QStringLiteral("==============================="));
    co_await cloudInit.createSeedISO(folder);
    store.saveRuntimeConfig(record);

    // A provider of its own: the runtime manager's never holds this machine.
    LinuxRuntimeProvider provider(store, m_dependencies);
    co_await provider.startTemplateRuntime(id);

    std::exception_ptr failure;
    try {
        const RuntimeConfig running = store.readRuntime(id);
        if (running.state != RuntimeState::running)
            throw DomainError(QStringLiteral("LinuxImageManager"), 3,
                              QStringLiteral("Das TRELLIUM-Template konnte nicht vollständig provisioniert werden."));
        co_await cleanGuest(running);
        co_await provider.stopRuntime(id, {});
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Stopped in any case; the folder stays for diagnosis until the next preparation.
        try {
            co_await provider.stopRuntime(id, {});
        } catch (const std::exception &error) {
            logLine(QStringLiteral("Template stop failed:"), describeError(error));
        }
        logLine(QStringLiteral("Template preparation failed:"), describeException(failure));
        std::rethrow_exception(failure);
    }

    // Each base file is copied under a temporary name beside it and renamed
    // over the old one: a failed copy leaves the earlier template whole.
    createDirectories(base);
    auto copyBaseFiles = [folder, base, templateDisk]() {
        copyFileSparse(folder + QStringLiteral("/disk.img"), templateDisk);
        for (const QString &name : {QStringLiteral("efi-variable-store"), QStringLiteral("machine-identifier")}) {
            if (itemExists(folder + QLatin1Char('/') + name))
                copyFileSparse(folder + QLatin1Char('/') + name, base + QLatin1Char('/') + name);
        }
    };
    co_await runOnWorker(copyBaseFiles);

    try {
        store.deleteRuntimeFolder(id);
        QList<QUuid> ids = recordedTemplateRuntimes(base);
        ids.removeAll(id);
        recordTemplateRuntimes(base, ids);
    } catch (const std::exception &error) {
        logLine(QStringLiteral("Template runtime folder not removed:"), describeError(error));
    }
}

} // namespace trellium
