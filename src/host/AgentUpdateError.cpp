#include "host/AgentUpdateError.h"

namespace trellium {

AgentUpdateError AgentUpdateError::invalidManifest(QString reason)
{
    return AgentUpdateError(Case::invalidManifest, std::move(reason));
}

AgentUpdateError AgentUpdateError::invalidResponse()
{
    return AgentUpdateError(Case::invalidResponse);
}

AgentUpdateError AgentUpdateError::downloadTooLarge()
{
    return AgentUpdateError(Case::downloadTooLarge);
}

AgentUpdateError AgentUpdateError::verificationFailed()
{
    return AgentUpdateError(Case::verificationFailed);
}

AgentUpdateError AgentUpdateError::installerCouldNotBeOpened(QString path)
{
    return AgentUpdateError(Case::installerCouldNotBeOpened, std::move(path));
}

QString AgentUpdateError::localizedDescription() const
{
    switch (m_case) {
    case Case::invalidManifest:
        return QStringLiteral("Das Update-Manifest ist ungültig: ") + m_value;
    case Case::invalidResponse:
        return QStringLiteral("Der Update-Server hat keine gültige Antwort geliefert.");
    case Case::downloadTooLarge:
        return QStringLiteral("Der Installer überschreitet die erlaubte Dateigröße.");
    case Case::verificationFailed:
        return QStringLiteral("Die Update-Datei konnte nicht verifiziert werden.");
    case Case::installerCouldNotBeOpened:
        return QStringLiteral("Der Installer konnte nicht geöffnet werden.");
    }
    return {};
}

} // namespace trellium
