#include "agent/ProjectRoot.h"

#include "core/Settings.h"

#include <QDir>
#include <QStandardPaths>

namespace trellium {

QString defaultProjectRootURL()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return documents + QStringLiteral("/TRELLIUM Projects");
}

QString projectRootURL()
{
    QString configured = userDefaults()->value(QStringLiteral("trellium.agent.projectRoot")).toString().trimmed();
    if (configured.isEmpty())
        return defaultProjectRootURL();
    if (configured == QLatin1String("~"))
        return QDir::homePath();
    if (configured.startsWith(QLatin1String("~/")))
        configured = QDir::homePath() + configured.mid(1);
    return configured;
}

} // namespace trellium
