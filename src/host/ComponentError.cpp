#include "host/ComponentError.h"

namespace trellium {

ComponentError ComponentError::archiveContentMissing(const QString &path)
{
    return ComponentError(Case::archiveContentMissing, path);
}

ComponentError ComponentError::commandFailed(const QString &output)
{
    return ComponentError(Case::commandFailed, output);
}

QString ComponentError::localizedDescription() const
{
    const QString openComponents =
        QStringLiteral("Öffne die Agent-Einstellungen und installiere die fehlenden Komponenten.");
    switch (m_case) {
    case Case::archiveContentMissing:
        return QStringLiteral("Im Komponentenarchiv fehlt die erwartete Datei „") + m_value
            + QStringLiteral("\u201C.");
    case Case::commandFailed:
        return QStringLiteral("Die Komponenteninstallation ist fehlgeschlagen: ") + m_value;
    case Case::notInstalled:
        return QStringLiteral("Die Blender-Komponente ist nicht installiert. ") + openComponents;
    case Case::xcodeGenNotInstalled:
        return QStringLiteral("XcodeGen ist nicht installiert. ") + openComponents;
    case Case::unsupportedArchitecture:
        return QStringLiteral("Für die Architektur dieses Macs ist kein Blender-Paket verfügbar.");
    case Case::invalidServerResponse:
        return QStringLiteral("Der Blender-Downloadserver hat keine gültige Antwort geliefert.");
    case Case::checksumMismatch:
        return QStringLiteral("Die Prüfsumme des Blender-Downloads stimmt nicht. Die Datei wurde nicht installiert.");
    case Case::diskImageMountFailed:
        return QStringLiteral("Das Blender-Installationsabbild konnte nicht geöffnet werden.");
    case Case::applicationMissing:
        return QStringLiteral("Im Blender-Installationsabbild wurde keine Blender.app gefunden.");
    case Case::pythonIncomplete:
        return QStringLiteral("Python 3.11 oder neuer mit venv, pip und ensurepip ist nicht vollständig verfügbar. "
                              "Öffne die Komponentenverwaltung.");
    }
    return {};
}

} // namespace trellium
