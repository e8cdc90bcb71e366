#include "host/AgentComponentManager.h"
#include "host/AgentComponentManifest.h"
#include "host/InstalledAgentComponent.h"

#include <gtest/gtest.h>

#include <QTimeZone>

using namespace trellium;

namespace {
using Arch = AgentComponentArchitecture;
}

TEST(AgentComponentManifest, LooksUpByExactIdentifier)
{
    const AgentComponentManifest &manifest = AgentComponentManifest::builtIn();
    ASSERT_EQ(manifest.components.size(), 2);
    EXPECT_EQ(manifest.component(QStringLiteral("blender"))->displayName, QStringLiteral("Blender"));
    EXPECT_EQ(manifest.component(QStringLiteral("xcodegen"))->version, QStringLiteral("2.45.4"));
    EXPECT_FALSE(manifest.component(QStringLiteral("Blender")));
    EXPECT_FALSE(manifest.component(QString()));
    EXPECT_FALSE(AgentComponentManifest{}.component(QStringLiteral("blender")));
    // The same one value every time.
    EXPECT_EQ(&AgentComponentManifest::builtIn(), &AgentComponentManager::builtInManifest());
}

TEST(AgentComponentManifest, ArtifactsPerArchitecture)
{
    const AgentComponent blender = *AgentComponentManifest::builtIn().component(QStringLiteral("blender"));
    const auto arm = *blender.artifact(Arch::arm64);
    const auto intel = *blender.artifact(Arch::x86_64);
    EXPECT_TRUE(arm.downloadURL != intel.downloadURL && arm.sha256 != intel.sha256 && arm.downloadSize != intel.downloadSize);

    // One archive serves both: the two differ only in their architecture.
    const AgentComponent xcodegen = *AgentComponentManifest::builtIn().component(QStringLiteral("xcodegen"));
    auto armZip = *xcodegen.artifact(Arch::arm64);
    EXPECT_NE(armZip, *xcodegen.artifact(Arch::x86_64));
    armZip.architecture = Arch::x86_64;
    EXPECT_EQ(armZip, *xcodegen.artifact(Arch::x86_64));
}

TEST(AgentComponentManifest, CodesArtifactsAsAlternatingListAndRejectsStrangers)
{
    const AgentComponentManifest &manifest = AgentComponentManifest::builtIn();
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

TEST(InstalledAgentComponent, ReceiptBytesAreSortedIndentedWithEscapedSlashes)
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
}

TEST(InstalledAgentComponent, DecodingNeedsEveryFieldInItsForm)
{
    const QByteArray good = InstalledAgentComponent{QStringLiteral("blender"), QStringLiteral("4.5.10"), Arch::x86_64,
                                                    QDateTime(QDate(2025, 1, 31), QTime(9, 15), QTimeZone::utc()),
                                                    QUrl(QStringLiteral("https://a.example/b.dmg")), QStringLiteral("ab")}
                                .encodeReceipt();
    EXPECT_NO_THROW(InstalledAgentComponent::decodeReceipt(good));
    QByteArray broken = good;
    EXPECT_THROW(InstalledAgentComponent::decodeReceipt(broken.replace("x86_64", "ppc")), DecodingError);
    broken = good;
    EXPECT_THROW(InstalledAgentComponent::decodeReceipt(broken.replace("09:15:00Z", "09:15:00")), DecodingError);
    broken = good;
    EXPECT_THROW(InstalledAgentComponent::decodeReceipt(broken.replace("\"id\"", "\"ident\"")), DecodingError);
    broken = good;
    EXPECT_THROW(InstalledAgentComponent::decodeReceipt(broken.replace("https:\\/\\/a.example\\/b.dmg", "b.dmg")),
                 DecodingError);
    EXPECT_THROW(InstalledAgentComponent::decodeReceipt(good.left(good.size() / 2)), DecodingError);
}

TEST(AgentComponentManager, NoticeTextNamesVersionPurposeLicenceAndSource)
{
    const AgentComponent blender = *AgentComponentManifest::builtIn().component(QStringLiteral("blender"));
    const QString notice = AgentComponentManager::noticeText(blender);
    EXPECT_TRUE(notice.startsWith(QStringLiteral("Blender 4.5.10\n\nZweck innerhalb von TRELLIUM:\n") + blender.purpose
                                  + QStringLiteral("\n\nLizenz:\nGNU General Public License\n")
                                  + blender.licenseURL.toString() + QStringLiteral("\n\nQuellcode der verwendeten Version:\n")
                                  + blender.sourceCodeURL.toString() + QStringLiteral("\n\n")));
    EXPECT_TRUE(notice.endsWith(QStringLiteral("TRELLIUM startet Blender als separaten Prozess.")));
    EXPECT_TRUE(notice.contains(QStringLiteral("Blender Foundation\nsowie")));
}
