#include "core/Async.h"
#include "core/Files.h"
#include "runtime/RuntimeConfigValidator.h"
#include "runtime/RuntimeError.h"
#include "runtime/RuntimeManager.h"

#include "support/Samples.h"
#include "support/TestEnvironment.h"

#include <QTimeZone>

using namespace trellium;

namespace {

// Stands in for the Linux provider: stores records the way a real one would
// and counts what it was asked to do.
class FakeLinuxProvider : public RuntimeProvider {
public:
    explicit FakeLinuxProvider(RuntimeStore &store) : m_store(store) {}

    RuntimeKind kind() const override { return RuntimeKind::linux; }

    QCoro::Task<void> createRuntime(RuntimeConfig config) override
    {
        ++creates;
        co_await sleepFor(std::chrono::milliseconds(1));
        m_store.createRuntimeFolder(config.id);
        m_store.saveRuntimeConfig(config);
    }

    QCoro::Task<void> startRuntime(QUuid id, RuntimeUpdateHandler onUpdate) override
    {
        RuntimeConfig record = m_store.readRuntime(id);
        record.state = RuntimeState::running;
        record.ipAddress = QStringLiteral("127.0.0.1");
        co_await sleepFor(std::chrono::milliseconds(1));
        m_store.saveRuntimeConfig(record);
        onUpdate(record);
        if (failStart)
            throw DomainError(QStringLiteral("RuntimeIP"), 1, QStringLiteral("Keine Runtime-IP gefunden für x"));
    }

    QCoro::Task<void> stopRuntime(QUuid id, RuntimeUpdateHandler onUpdate) override
    {
        RuntimeConfig record = m_store.readRuntime(id);
        record.state = RuntimeState::stopped;
        m_store.saveRuntimeConfig(record);
        onUpdate(record);
        co_return;
    }

    QCoro::Task<void> deleteRuntime(QUuid id) override
    {
        ++deletes;
        m_store.deleteRuntimeFolder(id);
        co_return;
    }

    int creates = 0;
    int deletes = 0;
    bool failStart = false;

private:
    RuntimeStore &m_store;
};

class RuntimeManagerTest : public test::DataHomeTest {
protected:
    void SetUp() override
    {
        DataHomeTest::SetUp();
        provider = std::make_shared<FakeLinuxProvider>(manager.store());
        manager.registerProvider(provider);
    }

    RuntimeConfig created()
    {
        return runSync(manager.createRuntime(test::sampleRuntime(scratch())));
    }

    RuntimeManager manager;
    std::shared_ptr<FakeLinuxProvider> provider;
};

} // namespace

TEST_F(RuntimeManagerTest, CreateChecksTheWorkspaceBeforeAnyProviderAndReturnsTheStoredRecordMacOSIsNotBuilt)
{
    RuntimeConfig config = test::sampleRuntime(scratch() + "/does-not-exist");
    EXPECT_EQ(test::errorOf([&] { runSync(manager.createRuntime(config)); }),
              "Ungültiger Arbeitsplatz Path: " + config.workspacePath);
    EXPECT_EQ(provider->creates, 0);

    const RuntimeConfig stored = created();
    EXPECT_EQ(provider->creates, 1);
    EXPECT_NE(stored.updatedAt, test::sampleRuntime().updatedAt);  // re-read from disk

    // macOS runtimes are not built.
    const QString notImplemented = QStringLiteral("Diese Runtimefeature ist noch nicht implementiert.");
    RuntimeConfig mac = test::sampleRuntime(scratch());
    mac.kind = RuntimeKind::macOS;
    EXPECT_EQ(test::errorOf([&] { runSync(manager.createRuntime(mac)); }), notImplemented);
    EXPECT_EQ(test::errorOf([&] { runSync(manager.startRuntime(mac.id, RuntimeKind::macOS, {})); }), notImplemented);
    EXPECT_EQ(test::errorOf([&] { runSync(manager.stopRuntime(mac.id, RuntimeKind::macOS, {})); }), notImplemented);
    EXPECT_EQ(test::errorOf([&] { runSync(manager.deleteRuntime(mac.id, RuntimeKind::macOS)); }), notImplemented);
}

TEST_F(RuntimeManagerTest, StartStopAndRenameReturnTheRecordOnDiskAndPassUpdatesThrough)
{
    const RuntimeConfig record = created();
    QList<RuntimeState> updates;
    auto onUpdate = [&updates](const RuntimeConfig &c) { updates.append(c.state); };

    const RuntimeConfig started = runSync(manager.startRuntime(record.id, RuntimeKind::linux, onUpdate));
    EXPECT_EQ(started.state, RuntimeState::running);
    EXPECT_EQ(started.ipAddress, QStringLiteral("127.0.0.1"));
    const RuntimeConfig stopped = runSync(manager.stopRuntime(record.id, RuntimeKind::linux, onUpdate));
    EXPECT_EQ(stopped.state, RuntimeState::stopped);
    EXPECT_EQ(updates, (QList<RuntimeState>{RuntimeState::running, RuntimeState::stopped}));

    provider->failStart = true;
    EXPECT_EQ(test::errorOf([&] { runSync(manager.startRuntime(record.id, RuntimeKind::linux, onUpdate)); }),
              QStringLiteral("Keine Runtime-IP gefunden für x"));

    // Renaming trims and enforces the length and the characters.
    const QString invalid = RuntimeError::invalidName().localizedDescription();

    EXPECT_EQ(manager.renameRuntime(record.id, QStringLiteral("  Neuer Name \n")).name, QStringLiteral("Neuer Name"));
    EXPECT_EQ(manager.store().readRuntime(record.id).name, QStringLiteral("Neuer Name"));

    // 80 user-perceived characters, each two scalars (e + combining acute).
    QString eighty;
    for (int i = 0; i < 80; ++i)
        eighty += QStringLiteral("e\u0301");
    EXPECT_EQ(manager.renameRuntime(record.id, eighty).name, eighty);
    // Too long, blank, a control or format (Cf) character, a noncharacter, a lone surrogate.
    for (const QString &bad : {eighty + "x", QStringLiteral("   "), QStringLiteral("a\tb"), QStringLiteral("a\u200Eb"),
                               QStringLiteral("a") + QChar(0xFFFF), QStringLiteral("a") + QChar(0xDBFF)})
        EXPECT_EQ(test::errorOf([&] { manager.renameRuntime(record.id, bad); }), invalid) << bad.toStdString();
    EXPECT_EQ(manager.store().readRuntime(record.id).name, eighty);

    const QUuid unknown = QUuid::createUuid();
    EXPECT_EQ(test::errorOf([&] { manager.renameRuntime(unknown, QStringLiteral("x")); }),
              "Runtime nicht gefunden: " + uuidText(unknown));

    runSync(manager.deleteRuntime(record.id, RuntimeKind::linux));
    EXPECT_EQ(provider->deletes, 1);
}

TEST_F(RuntimeManagerTest, CreationRejectsValuesThatCannotReachTheGuestSafely)
{
    struct Case {
        const char *field;
        std::function<void(RuntimeConfig &)> spoil;
    };
    const QList<Case> cases{
        {"cpuCount", [](RuntimeConfig &c) { c.cpuCount = 0; }},
        {"cpuCount", [](RuntimeConfig &c) { c.cpuCount = 65; }},
        {"memoryGB", [](RuntimeConfig &c) { c.memoryGB = 1025; }},
        {"diskGB", [](RuntimeConfig &c) { c.diskGB = int64_t(1) << 33; }},
        {"diskGB", [](RuntimeConfig &c) { c.diskGB = -1; }},
        {"username", [](RuntimeConfig &c) { c.username = QStringLiteral("Root"); }},
        {"username", [](RuntimeConfig &c) { c.username = QStringLiteral("a;rm -rf /"); }},
        {"username", [](RuntimeConfig &c) { c.username = QString(33, QLatin1Char('a')); }},
        {"hostname", [](RuntimeConfig &c) { c.hostname = QStringLiteral("-runtime"); }},
        {"hostname", [](RuntimeConfig &c) { c.hostname = QStringLiteral("run time"); }},
        {"hostname", [](RuntimeConfig &c) { c.hostname = QString(64, QLatin1Char('a')); }},
        {"mountName", [](RuntimeConfig &c) { c.mountName = QString(37, QLatin1Char('a')); }},
        {"mountName", [](RuntimeConfig &c) { c.mountName = QStringLiteral("work,space"); }},
        {"mountName", [](RuntimeConfig &c) { c.mountName = QString(); }},
        {"name", [](RuntimeConfig &c) { c.name = QStringLiteral("zwei\nZeilen"); }},
        {"distro", [](RuntimeConfig &c) { c.distro = QStringLiteral("../../etc"); }},
        {"workspaceName", [](RuntimeConfig &c) { c.workspaceName = QStringLiteral("a\nb"); }},
        // Characters no UTF-8 reader takes: they would make the guest's whole
        // cloud-init document unreadable.
        {"name", [](RuntimeConfig &c) { c.name = QStringLiteral("Runtime ") + QChar(0xFFFE); }},
        {"name", [](RuntimeConfig &c) { c.name = QStringLiteral("Runtime ") + QChar(0xD800) + QStringLiteral("x"); }},
        {"name", [](RuntimeConfig &c) { c.name = QStringLiteral("Runtime ") + QChar(0xDC00); }},
        {"name", [](RuntimeConfig &c) { c.name = QStringLiteral("Runtime ") + QString::fromUcs4(U"\U0010FFFF"); }},
        {"workspaceName", [](RuntimeConfig &c) { c.workspaceName = QStringLiteral("W") + QChar(0xFFFF); }},
        {"workspaceName", [](RuntimeConfig &c) { c.workspaceName = QStringLiteral("W") + QChar(0xFDD0); }},
        // A date past year 9999, as a relayed job's seconds since 2001 could name.
        {"createdAt ist kein speicherbares Datum (Jahr 1 bis 9999, UTC).",
         [](RuntimeConfig &c) { c.createdAt = QDateTime(QDate(10000, 1, 1), QTime(0, 0), QTimeZone::utc()); }},
        {"initialStartCompletedAt", [](RuntimeConfig &c) { c.initialStartCompletedAt = QDateTime(); }},
    };
    for (const Case &c : cases) {
        RuntimeConfig config = test::sampleRuntime(scratch());
        c.spoil(config);
        const QString text = test::errorOf([&] { runSync(manager.createRuntime(config)); });
        EXPECT_TRUE(text.startsWith(QStringLiteral("Ungültige Runtime-Konfiguration: ") + c.field))
            << c.field << ": " << text.toStdString();
    }
    EXPECT_EQ(provider->creates, 0);

    // The edges of each range are fine.
    RuntimeConfig edges = test::sampleRuntime(scratch());
    edges.cpuCount = 64;
    edges.memoryGB = 1;
    edges.username = QStringLiteral("_a-1");
    edges.hostname = QString(63, QLatin1Char('a'));
    edges.mountName = QString(36, QLatin1Char('m'));
    // Replacement characters and characters beyond the first plane are text like any other.
    edges.name = QString::fromUcs4(U"Runtime \uFFFD \U0001F680");
    edges.workspaceName = QString::fromUcs4(U"\uFDCF \uFDF0 \U0001FFFD");
    EXPECT_NO_THROW(RuntimeConfigValidator::validateForCreation(edges));
}
