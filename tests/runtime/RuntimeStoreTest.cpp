#include "core/Files.h"
#include "runtime/RuntimeError.h"
#include "runtime/RuntimeStore.h"

#include "support/FileSizeLimit.h"
#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <QTimeZone>

using namespace trellium;

namespace {

class RuntimeStoreTest : public test::DataHomeTest {
protected:
    RuntimeConfig saved(RuntimeState state, int createdOffset = 0)
    {
        RuntimeConfig config = test::sampleRuntime();
        config.state = state;
        config.createdAt = config.createdAt.addSecs(createdOffset);
        store.saveRuntimeConfig(config);
        return config;
    }

    RuntimeStore store;
};

} // namespace

TEST_F(RuntimeStoreTest, SavesPrettySortedJsonWithWholeSecondDatesStampsOnlyTheStoredCopyAndKeepsItOnFailure)
{
    RuntimeConfig config = test::sampleRuntime();
    config.ipAddress = QStringLiteral("127.0.0.1");
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    store.saveRuntimeConfig(config);

    EXPECT_EQ(config.updatedAt, test::sampleRuntime().updatedAt);  // caller's copy untouched
    const QByteArray bytes = readWholeFile(applicationSupportRoot() + "/Runtimes/" + uuidText(config.id) + "/runtime.json");
    EXPECT_TRUE(bytes.contains("\n    \""));  // pretty-printed
    EXPECT_LT(bytes.indexOf("\"cpuCount\""), bytes.indexOf("\"createdAt\""));
    EXPECT_LT(bytes.indexOf("\"username\""), bytes.indexOf("\"workspacePath\""));
    EXPECT_TRUE(bytes.contains("\"createdAt\": \"2025-01-31T09:15:00Z\""));

    const RuntimeConfig loaded = store.readRuntime(config.id);
    EXPECT_GE(loaded.updatedAt, before);
    EXPECT_EQ(loaded.updatedAt.time().msec(), 0);
    RuntimeConfig expected = config;
    expected.updatedAt = loaded.updatedAt;
    EXPECT_EQ(loaded, expected);

    // A save that cannot complete keeps the stored record.
    const QByteArray stored = readWholeFile(store.recordPath(config.id));
    config.name = QStringLiteral("Umbenannt");
    {
        // The disk fills up during the write.
        test::FileSizeLimit nearlyFull(16);
        EXPECT_THROW(store.saveRuntimeConfig(config), FileError);
    }
    // A date that could not be read back is not written at all.
    config.createdAt = QDateTime(QDate(9999, 12, 31), QTime(23, 0), QTimeZone::utc()).addDays(1);
    EXPECT_THROW(store.saveRuntimeConfig(config), EncodingError);
    EXPECT_EQ(readWholeFile(store.recordPath(config.id)), stored);
    ASSERT_EQ(store.loadAllRuntimes().size(), 1);
    EXPECT_EQ(store.readRuntime(config.id).name, test::sampleRuntime().name);
}

TEST_F(RuntimeStoreTest, LoadsSortedByCreationAndSkipsWhatItCannotRead)
{
    EXPECT_TRUE(store.loadAllRuntimes().isEmpty());  // creates the folder
    EXPECT_TRUE(isDirectory(store.runtimesDirectory()));

    const RuntimeConfig late = saved(RuntimeState::stopped, 60);
    const RuntimeConfig early = saved(RuntimeState::created, 0);
    const RuntimeConfig tieA = saved(RuntimeState::created, 30);
    const RuntimeConfig tieB = saved(RuntimeState::created, 30);

    createDirectories(store.runtimesDirectory() + "/EMPTY-FOLDER");
    writeFileAtomically(store.runtimesDirectory() + "/stray-file", "x");
    const QString broken = store.runtimesDirectory() + "/" + uuidText(QUuid::createUuid());
    createDirectories(broken);
    writeFileAtomically(broken + "/runtime.json", "{ not json");
    const QString fractional = store.runtimesDirectory() + "/" + uuidText(QUuid::createUuid());
    createDirectories(fractional);
    QByteArray withFraction = prettyJson(test::sampleRuntime().toJson(DateStyle::ISO8601));
    withFraction.replace("09:15:00Z", "09:15:00.500Z");
    writeFileAtomically(fractional + "/runtime.json", withFraction);

    test::LogCapture log;
    const QList<RuntimeConfig> all = store.loadAllRuntimes();
    ASSERT_EQ(all.size(), 4);
    EXPECT_EQ(all.at(0).id, early.id);
    EXPECT_EQ(all.at(3).id, late.id);
    EXPECT_TRUE((all.at(1).id == tieA.id && all.at(2).id == tieB.id)
                || (all.at(1).id == tieB.id && all.at(2).id == tieA.id));
    EXPECT_EQ(log.count(QStringLiteral("Fehler beim Laden der Runtime Config: ")), 2);
    EXPECT_EQ(log.lines().size(), 2);
    // Unreadable records stay on disk as they were.
    EXPECT_EQ(readWholeFile(broken + "/runtime.json"), "{ not json");
}

TEST_F(RuntimeStoreTest, RecoveryStopsInterruptedRuntimesAndLeavesOthersUntouched)
{
    RuntimeConfig running = test::sampleRuntime();
    running.state = RuntimeState::running;
    running.ipAddress = QStringLiteral("192.168.64.7");
    store.saveRuntimeConfig(running);
    const RuntimeConfig booting = saved(RuntimeState::booting, 10);
    RuntimeConfig failed = test::sampleRuntime();
    failed.state = RuntimeState::failed;
    failed.ipAddress = QStringLiteral("192.168.64.8");
    store.saveRuntimeConfig(failed);
    const QByteArray failedBytes = readWholeFile(store.recordPath(failed.id));

    const QList<RuntimeConfig> changed = store.recoverInterruptedRuntimes();
    ASSERT_EQ(changed.size(), 2);
    EXPECT_EQ(changed.at(0).id, running.id);
    EXPECT_EQ(changed.at(1).id, booting.id);

    const RuntimeConfig recovered = store.readRuntime(running.id);
    EXPECT_EQ(recovered.state, RuntimeState::stopped);
    EXPECT_EQ(recovered.ipAddress, std::nullopt);
    EXPECT_FALSE(readWholeFile(store.recordPath(running.id)).contains("ipAddress"));
    EXPECT_EQ(store.readRuntime(booting.id).state, RuntimeState::stopped);
    EXPECT_EQ(readWholeFile(store.recordPath(failed.id)), failedBytes);
}

TEST_F(RuntimeStoreTest, FolderOperationsReportExistingAndMissingRuntimes)
{
    const QUuid id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    store.createRuntimeFolder(id);
    EXPECT_TRUE(isDirectory(store.runtimesDirectory() + "/E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    EXPECT_EQ(test::errorOf([&] { store.createRuntimeFolder(id); }),
              QStringLiteral("Runtime schon vorhanden: E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    writeFileAtomically(store.runtimeDirectory(id) + "/disk.img", "data");
    store.deleteRuntimeFolder(id);
    EXPECT_FALSE(itemExists(store.runtimeDirectory(id)));
    EXPECT_EQ(test::errorOf([&] { store.deleteRuntimeFolder(id); }),
              QStringLiteral("Runtime nicht gefunden: E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    EXPECT_THROW(store.readRuntime(id), RuntimeError);
}
