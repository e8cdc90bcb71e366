#include "host/AgentComponentManager.h"
#include "host/ComponentError.h"
#include "host/PropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimeZone>

using namespace trellium;

namespace {

QByteArray plist(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

} // namespace

TEST(PropertyList, ReadsEveryValueKindAndRefusesWhatIsNotOneWellFormedList)
{
    const QVariant value = PropertyList::parse(plist(
        "<dict>\n"
        "  <key>name</key><string>Blender &amp; Co</string>\n"
        "  <key>count</key><integer>-42</integer>\n"
        "  <key>ratio</key><real>2.5</real>\n"
        "  <key>yes</key><true/>\n"
        "  <key>no</key><false/>\n"
        "  <key>blob</key><data>\n  AAEC\n  /w==\n  </data>\n"
        "  <key>when</key><date>2025-01-31T09:15:00Z</date>\n"
        "  <key>list</key><array><string>a</string><array/><dict/></array>\n"
        "</dict>"));
    const QVariantMap map = value.toMap();
    EXPECT_EQ(map.value(QStringLiteral("name")), QStringLiteral("Blender & Co"));
    EXPECT_EQ(map.value(QStringLiteral("count")).toLongLong(), -42);
    EXPECT_EQ(map.value(QStringLiteral("ratio")).toDouble(), 2.5);
    EXPECT_EQ(map.value(QStringLiteral("yes")), QVariant(true));
    EXPECT_EQ(map.value(QStringLiteral("no")), QVariant(false));
    EXPECT_EQ(map.value(QStringLiteral("blob")).toByteArray(), QByteArray("\x00\x01\x02\xff", 4));
    EXPECT_EQ(map.value(QStringLiteral("when")).toDateTime(), QDateTime(QDate(2025, 1, 31), QTime(9, 15), QTimeZone::utc()));
    const QVariantList list = map.value(QStringLiteral("list")).toList();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[1].typeId(), QMetaType::QVariantList);
    EXPECT_EQ(list[2].typeId(), QMetaType::QVariantMap);

    for (const QByteArray &bad : {
             QByteArray("not xml at all"),
             QByteArray("<dict></dict>"),
             plist("<dict><key>a</key></dict>"),
             plist("<dict><string>no key</string></dict>"),
             plist("<integer>12x</integer>"),
             plist("<data>!!!</data>"),
             plist("<date>2025-01-31</date>"),
             plist("<true>1</true>"),
             plist("<string>a</string><string>b</string>"),
             plist("<unknown/>"),
             plist("<array><string>open</array>"),
             plist(QByteArray("<array>").repeated(200) + QByteArray("</array>").repeated(200)),
         }) {
        EXPECT_THROW(PropertyList::parse(bad), DecodingError) << bad.left(80).toStdString();
    }
}

TEST(DiskImageAttach, TakesTheFirstMountPointOfTheSystemEntities)
{
    const QByteArray attached = plist("<dict><key>system-entities</key><array>"
                                      "<dict><key>dev-entry</key><string>/dev/disk4</string></dict>"
                                      "<dict><key>mount-point</key><integer>1</integer></dict>"
                                      "<dict><key>mount-point</key><string>/Volumes/Blender</string></dict>"
                                      "<dict><key>mount-point</key><string>/Volumes/Other</string></dict>"
                                      "</array></dict>");
    EXPECT_EQ(AgentComponentManager::mountPointFromAttachOutput(attached), QStringLiteral("/Volumes/Blender"));

    for (const QByteArray &unusable : {
             plist("<array/>"),
             plist("<dict/>"),
             plist("<dict><key>system-entities</key><dict/></dict>"),
             plist("<dict><key>system-entities</key><array><string>x</string></array></dict>"),
             plist("<dict><key>system-entities</key><array><dict/></array></dict>"),
         })
        EXPECT_THROW(AgentComponentManager::mountPointFromAttachOutput(unusable), ComponentError) << unusable.toStdString();
    EXPECT_THROW(AgentComponentManager::mountPointFromAttachOutput("hdiutil: attach failed"), DecodingError);
}
