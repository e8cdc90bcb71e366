#include "support/ComponentFixtures.h"

#include "core/Process.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace trellium {

void PrintTo(const AgentComponentManager::State &state, std::ostream *out)
{
    static const char *const names[] = {"failed", "checking", "notInstalled", "downloading",
                                        "verifying", "installing", "installed"};
    *out << names[int(state.kind())];
    if (state.kind() == AgentComponentManager::State::Kind::failed)
        *out << "(\"" << state.message().toStdString() << "\")";
}

} // namespace trellium

namespace trellium::test {

bool waitForCreationRefresh(const AgentComponentManager &manager)
{
    // Python is known once a refresh has published its results.
    return waitUntil(
        [&manager]() { return manager.pythonState().kind() != AgentComponentManager::State::Kind::checking; },
        std::chrono::seconds(30));
}

void writeZip(const QString &path, const QList<ZipEntry> &entries)
{
    // Python's zipfile sets each entry's Unix mode exactly.
    static const QString script = QStringLiteral(
        "import sys, zipfile\n"
        "modes = {'file': 0o100644, 'executable': 0o100755, 'link': 0o120777}\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as archive:\n"
        "    rest = sys.argv[2:]\n"
        "    for i in range(0, len(rest), 3):\n"
        "        info = zipfile.ZipInfo(rest[i + 1])\n"
        "        info.create_system = 3\n"
        "        info.external_attr = modes[rest[i]] << 16\n"
        "        archive.writestr(info, bytes.fromhex(rest[i + 2]))\n");
    QStringList arguments{QStringLiteral("-c"), script, path};
    for (const ZipEntry &entry : entries) {
        arguments << (entry.kind == ZipEntry::Kind::file         ? QStringLiteral("file")
                      : entry.kind == ZipEntry::Kind::executable ? QStringLiteral("executable")
                                                                 : QStringLiteral("link"))
                  << entry.name << QString::fromLatin1(entry.content.toHex());
    }
    ProcessOptions options;
    options.channels = ProcessOptions::Channels::Merged;
    const ProcessResult result = runProcessBlocking(QStringLiteral("/usr/bin/python3"), arguments, options);
    ASSERT_TRUE(result.succeeded()) << result.standardOutput.toStdString();
}

void installManagedComponents()
{
    const QString folder = AgentComponentManager::componentsDirectory();
    writeExecutable(folder + QStringLiteral("/Blender/4.5.10/Blender.app/Contents/MacOS/Blender"), "#!/bin/sh\n");
    writeExecutable(folder + QStringLiteral("/XcodeGen/2.45.4/xcodegen/bin/xcodegen"), "#!/bin/sh\n");
}

} // namespace trellium::test
