#include "host/AgentComponentManager.h"
#include "host/AgentComponentManifest.h"
#include "host/InstalledAgentComponent.h"

#include <gtest/gtest.h>

#include <QTimeZone>

using namespace trellium;

namespace {
using Arch = AgentComponentArchitecture;
}

TEST(AgentComponentManifest, LooksUpByExactIdentifierAndCodesArtifactsAsAlternatingList)
{
    const AgentComponentManifest &manifest = AgentComponentManifest::builtIn();
    EXPECT_TRUE(manifest.component(QStringLiteral("blender")));
    EXPECT_FALSE(manifest.component(QStringLiteral("Blender")));
    EXPECT_FALSE(manifest.component(QString()));
    EXPECT_FALSE(AgentComponentManifest{}.component(QStringLiteral("blender")));
    // The same one value every time.
    EXPECT_EQ(&AgentComponentManifest::builtIn(), &AgentComponentManager::builtInManifest());

    // Artifacts are coded as an alternating list; strangers are refused.
    const QJsonObject json = manifest.toJson();
    const QJsonArray pairs = json[QStringLiteral("components")][0][QStringLiteral("artifacts")].toArray();
    ASSERT_EQ(pairs.size(), 4);
    EXPECT_EQ(pairs[0].toString(), QStringLiteral("arm64"));
    EXPECT_EQ(pairs[1][QStringLiteral("architecture")].toString(), QStringLiteral("arm64"));
    EXPECT_EQ(pairs[2].toString(), QStringLiteral("x86_64"));
    EXPECT_EQ(AgentComponentManifest::fromJson(json), manifest);

    auto withArtifacts = [&](const QJsonArray &artifacts) {
        QJsonObject blender = json[QStringLiteral("components")][0].toObject();
        blender.insert(QStringLiteral("artifacts"), artifacts);
        QJsonObject changed = json;
        changed.insert(QStringLiteral("components"), QJsonArray{blender});
        return changed;
    };
    QJsonArray unknown = pairs;
    unknown[0] = QStringLiteral("armv7");
    EXPECT_THROW(AgentComponentManifest::fromJson(withArtifacts(unknown)), DecodingError);
    QJsonArray odd = pairs;
    odd.removeLast();
    EXPECT_THROW(AgentComponentManifest::fromJson(withArtifacts(odd)), DecodingError);
    QJsonArray twice = pairs;
    twice[2] = QStringLiteral("arm64");
    EXPECT_THROW(AgentComponentManifest::fromJson(withArtifacts(twice)), DecodingError);

    QJsonObject noVersion = json;
    QJsonObject blender = json[QStringLiteral("components")][0].toObject();
    blender.remove(QStringLiteral("version"));
    noVersion.insert(QStringLiteral("components"), QJsonArray{blender});
    EXPECT_THROW(AgentComponentManifest::fromJson(noVersion), DecodingError);
}

TEST(InstalledAgentComponent, ReceiptBytesAreSortedIndentedWithEscapedSlashesAndDecodedOnlyWhole)
{
    const InstalledAgentComponent receipt{
        QStringLiteral("blender"),
        QStringLiteral("4.5.10"),
        Arch::arm64,
        QDateTime(QDate(2025, 1, 31), QTime(10, 15, 0, 750), QTimeZone(3600)),
        QUrl(QStringLiteral("https://download.example/release/Blender4.5/blender-4.5.10-macos-arm64.dmg")),
        QStringLiteral("cf3076fd531e74713f858830b558e71ffae7b26f104608c5c2cb2fc123535f16")};
    const QByteArray bytes = receipt.encodeReceipt();
    EXPECT_EQ(bytes,
              "{\n"
              "    \"architecture\": \"arm64\",\n"
              "    \"id\": \"blender\",\n"
              "    \"installedAt\": \"2025-01-31T09:15:00Z\",\n"
              "    \"sha256\": \"cf3076fd531e74713f858830b558e71ffae7b26f104608c5c2cb2fc123535f16\",\n"
              "    \"sourceURL\": \"https:\\/\\/download.example\\/release\\/Blender4.5\\/blender-4.5.10-macos-arm64.dmg\",\n"
              "    \"version\": \"4.5.10\"\n"
              "}\n");

    InstalledAgentComponent whole = receipt;
    whole.installedAt = QDateTime(QDate(2025, 1, 31), QTime(9, 15, 0), QTimeZone::utc());
    EXPECT_EQ(InstalledAgentComponent::decodeReceipt(bytes), whole);

    // Decoding needs every field in its form.
    const std::pair<const char *, const char *> spoilers[] = {
        {"\"arm64\"", "\"ppc\""},
        {"09:15:00Z", "09:15:00"},
        {"\"id\"", "\"ident\""},
        {"https:\\/\\/download.example\\/release\\/Blender4.5\\/blender-4.5.10-macos-arm64.dmg", "b.dmg"}};
    for (const auto &[from, to] : spoilers)
        EXPECT_THROW(InstalledAgentComponent::decodeReceipt(QByteArray(bytes).replace(from, to)), DecodingError) << from;
    EXPECT_THROW(InstalledAgentComponent::decodeReceipt(bytes.left(bytes.size() / 2)), DecodingError);
}
