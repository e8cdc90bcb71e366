#include "core/Files.h"
#include "platform/vm/VirtiofsdCommand.h"

#include "support/OrdinaryUser.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

using namespace trellium;

namespace {

struct Outcome {
    bool ready = false;
    QByteArray errors;
};

// Runs the real virtiofsd as the command says until it waits for QEMU or ends.
Outcome runVirtiofsd(const QemuEnvironment &environment, const QString &folder, const QString &socket)
{
    Descriptor listener = VirtiofsdCommand::listen(socket);
    const VirtiofsdCommand command = VirtiofsdCommand::make(
        environment, {folder, listener.get(), QStringLiteral("namespace"), environment.resolvedVirtiofsdUserNamespace()});
    QProcess virtiofsd;
    Outcome outcome;
    outcome.ready = command.startUntilReady(virtiofsd, std::move(listener), std::chrono::seconds(10), outcome.errors);
    virtiofsd.kill();
    virtiofsd.waitForFinished(5000);
    return outcome;
}

} // namespace

TEST(VirtiofsdCommand, OddFolderNamesReachVirtiofsdWhole)
{
    QemuEnvironment environment;
    if (!itemExists(environment.virtiofsdPath))
        GTEST_SKIP() << "virtiofsd is not installed";
    if (environment.resolvedVirtiofsdUserNamespace() && !test::OrdinaryUser::hasSubordinateIds(::geteuid()))
        GTEST_SKIP() << "an ordinary user without subordinate ids cannot run virtiofsd";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString socket = dir.filePath(QStringLiteral("fs.sock"));

    // Read wrongly, each name points at a folder that is not there or at an
    // option virtiofsd refuses, and virtiofsd ends instead of waiting for QEMU.
    const QStringList names{
        QStringLiteral("a,sandbox=none"),
        QStringLiteral("back\\slash\\,comma"),
        QStringLiteral("trailing\\"),
        QStringLiteral("-o source=/, cache=none"),
        QStringLiteral("Zwölf \"Ordner\" mit ' und $HOME"),
    };
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        const QString folder = dir.filePath(name);
        createDirectories(folder);
        const Outcome outcome = runVirtiofsd(environment, folder, socket);
        EXPECT_TRUE(outcome.ready) << outcome.errors.toStdString();
    }

    // The check above can fail: a folder that is not there stops virtiofsd.
    const Outcome missing = runVirtiofsd(environment, dir.filePath(QStringLiteral("fehlt,auch")), socket);
    EXPECT_FALSE(missing.ready);
    EXPECT_TRUE(missing.errors.contains("fehlt,auch")) << missing.errors.toStdString();
}
