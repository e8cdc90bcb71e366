#include "core/Settings.h"

#include <QStandardPaths>

namespace trellium {

std::unique_ptr<QSettings> userDefaults()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/TRELLIUM/agent.conf");
    return std::make_unique<QSettings>(path, QSettings::IniFormat);
}

} // namespace trellium
