#include "model/Hex.h"
#include "model/RemoteDesktopInputEvent.h"
#include "model/RemoteDesktopVideoHeader.h"
#include "model/RuntimeConfig.h"
#include "model/RuntimeImageInfo.h"

#include "support/Samples.h"

#include <gtest/gtest.h>

using namespace trellium;

TEST(RuntimeConfigCoding, RoundTripsInBothDateStylesOmitsAbsentOptionalsAndRefusesWhatDoesNotFit)
{
    RuntimeConfig config = test::sampleRuntime();
    const QJsonObject plain = config.toJson(DateStyle::ISO8601);
    EXPECT_FALSE(plain.contains(QStringLiteral("ipAddress")));
    EXPECT_FALSE(plain.contains(QStringLiteral("initialStartCompletedAt")));
    EXPECT_EQ(plain.value(QStringLiteral("id")).toString(), uuidText(config.id));
    EXPECT_EQ(plain.value(QStringLiteral("createdAt")).toString(), QStringLiteral("2025-01-31T09:15:00Z"));
    EXPECT_EQ(plain.value(QStringLiteral("state")).toString(), QStringLiteral("created"));
    EXPECT_EQ(RuntimeConfig::fromJson(plain, DateStyle::ISO8601), config);

    config.ipAddress = QStringLiteral("127.0.0.1");
    config.workspaceID = QUuid::createUuid();
    config.mirrorID = QUuid::createUuid();
    config.workspaceName = QString();  // empty but present
    config.initialStartCompletedAt = config.createdAt.addSecs(90);
    config.state = RuntimeState::desktopPreparing;
    config.kind = RuntimeKind::macOS;
    config.diskGB = (int64_t(1) << 33) - 1;
    config.displayWidth = 1200;
    config.displayHeight = 840;
    const QJsonObject full = config.toJson(DateStyle::SecondsSince2001);
    EXPECT_TRUE(full.value(QStringLiteral("createdAt")).isDouble());
    EXPECT_EQ(full.value(QStringLiteral("state")).toString(), QStringLiteral("desktopPreparing"));
    EXPECT_EQ(RuntimeConfig::fromJson(full, DateStyle::SecondsSince2001), config);

    // Missing keys, unknown enumerations and wrong types are refused.
    const QJsonObject good = plain;

    QJsonObject missing = good;
    missing.remove(QStringLiteral("hostname"));
    EXPECT_THROW(RuntimeConfig::fromJson(missing, DateStyle::ISO8601), DecodingError);

    QJsonObject unknownState = good;
    unknownState.insert(QStringLiteral("state"), QStringLiteral("paused"));
    EXPECT_THROW(RuntimeConfig::fromJson(unknownState, DateStyle::ISO8601), DecodingError);

    QJsonObject wrongType = good;
    wrongType.insert(QStringLiteral("cpuCount"), QStringLiteral("2"));
    EXPECT_THROW(RuntimeConfig::fromJson(wrongType, DateStyle::ISO8601), DecodingError);

    QJsonObject fractional = good;
    fractional.insert(QStringLiteral("createdAt"), QStringLiteral("2025-01-31T09:15:00.250Z"));
    EXPECT_THROW(RuntimeConfig::fromJson(fractional, DateStyle::ISO8601), DecodingError);

    QJsonObject nullOptional = good;
    nullOptional.insert(QStringLiteral("macAddress"), QJsonValue::Null);
    EXPECT_EQ(RuntimeConfig::fromJson(nullOptional, DateStyle::ISO8601).macAddress, std::nullopt);
}

TEST(RemoteDesktopRecords, CodeTheirFields)
{
    RemoteDesktopInputEvent event;
    event.kind = RemoteDesktopInputEvent::Kind::keyDown;
    event.normalizedX = 0.25;
    event.normalizedY = 1;
    event.keyCode = 65535;
    event.text = QStringLiteral("ä");
    const QJsonObject json = event.toJson();
    EXPECT_EQ(json.value(QStringLiteral("kind")).toString(), QStringLiteral("keyDown"));
    EXPECT_FALSE(json.contains(QStringLiteral("deltaX")));
    EXPECT_EQ(RemoteDesktopInputEvent::fromJson(json), event);

    QJsonObject tooLarge = json;
    tooLarge.insert(QStringLiteral("keyCode"), 65536);
    EXPECT_THROW(RemoteDesktopInputEvent::fromJson(tooLarge), DecodingError);
    QJsonObject unknownKind = json;
    unknownKind.insert(QStringLiteral("kind"), QStringLiteral("middleClick"));
    EXPECT_THROW(RemoteDesktopInputEvent::fromJson(unknownKind), DecodingError);

    RemoteDesktopVideoHeader header{1200, 840, QStringLiteral("jpeg"), 3, 1738314900.5, 1234, true, {}, {}};
    EXPECT_EQ(RemoteDesktopVideoHeader::fromJson(header.toJson()), header);

    RuntimeImageInfo info{QStringLiteral("archlinux-x86_64"), QStringLiteral("Arch Linux"),
                          RuntimeImageStatus::installed, int64_t(3) << 32, {}, QStringLiteral("v9")};
    EXPECT_EQ(info.toJson().value(QStringLiteral("status")).toString(), QStringLiteral("installed"));
    EXPECT_EQ(RuntimeImageInfo::fromJson(info.toJson()), info);
}

TEST(HexString, RendersDigestsAsLowerCaseDigitPairs)
{
    EXPECT_EQ(hexString(QByteArray::fromHex("00ff0a")), (QStringList{"00", "ff", "0a"}));
    EXPECT_EQ(sha256Hex(QStringLiteral("abc")),
              QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}
