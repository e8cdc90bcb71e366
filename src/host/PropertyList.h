#pragma once

#include <QByteArray>
#include <QVariant>

namespace trellium {

// Reads XML property lists (as printed by hdiutil -plist): dict as
// QVariantMap, array as QVariantList, string, integer (qint64), real, true and
// false, data (QByteArray) and date (QDateTime, UTC).
class PropertyList {
public:
    // Throws DecodingError for anything that is not one well-formed property list.
    static QVariant parse(const QByteArray &xml);
};

} // namespace trellium
