#pragma once

#include "model/RuntimeConfig.h"
#include "runtime/linux/LinuxRuntimeProvider.h"

#include <QString>
#include <QUuid>

namespace trellium {

// Makes a distribution's template disk: boots the converted cloud image once
// as a temporary template runtime whose seed carries the provisioning
// command, cleans the guest's identity, stops it and copies its disk, EFI
// store and machine identifier into the base-image folder.
class LinuxTemplatePreparation {
public:
    explicit LinuxTemplatePreparation(LinuxRuntimeProvider::Dependencies dependencies);

    QCoro::Task<void> prepareTemplate(QString distro, QString sourceDisk, QString templateDisk);
    // The same on a preparation that lives in the task itself.
    static QCoro::Task<void> run(LinuxRuntimeProvider::Dependencies dependencies, QString distro, QString sourceDisk,
                                 QString templateDisk);

    // The template runtime's record, built fresh for each preparation.
    static RuntimeConfig templateRecord(const QString &distro, const QUuid &id, const QString &runtimeFolder);
    static QString templateName(const QString &distro);

    // The guest commands, exactly as sent.
    static QString defaultCleanupCommand();
    static QString archPreparationCommand();
    static QString archFinalCleanupCommand();

private:
    // The template runtimes recorded in a base-image folder.
    static QList<QUuid> recordedTemplateRuntimes(const QString &baseFolder);
    static void recordTemplateRuntimes(const QString &baseFolder, const QList<QUuid> &ids);
    // Template runtimes an earlier, failed preparation of this distribution
    // left for diagnosis; a new preparation replaces them, except one whose
    // machine still runs. Nothing but recorded ones is ever removed.
    void removeEarlierTemplateRuntimes(const QString &baseFolder) const;
    QCoro::Task<void> cleanGuest(RuntimeConfig record);

    LinuxRuntimeProvider::Dependencies m_dependencies;
};

} // namespace trellium
