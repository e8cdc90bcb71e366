#include "runtime/RuntimeError.h"

namespace trellium {

RuntimeError RuntimeError::unsupportedRuntime(RuntimeKind kind)
{
    return {Case::unsupportedRuntime, enumName(kind)};
}

RuntimeError RuntimeError::runtimeNotFound(const QUuid &id)
{
    return {Case::runtimeNotFound, uuidText(id)};
}

RuntimeError RuntimeError::runtimeAlreadyExists(const QUuid &id)
{
    return {Case::runtimeAlreadyExists, uuidText(id)};
}

RuntimeError RuntimeError::invalidWorkspacePath(const QString &path)
{
    return {Case::invalidWorkspacePath, path};
}

RuntimeError RuntimeError::invalidState(RuntimeState state)
{
    return {Case::invalidState, enumName(state)};
}

RuntimeError RuntimeError::invalidName()
{
    return {Case::invalidName, {}};
}

RuntimeError RuntimeError::notImplemented()
{
    return {Case::notImplemented, {}};
}

QString RuntimeError::localizedDescription() const
{
    switch (m_case) {
    case Case::unsupportedRuntime:
        return QStringLiteral("Runtime Typ wird nicht unterstützt: ") + m_value;
    case Case::runtimeNotFound:
        return QStringLiteral("Runtime nicht gefunden: ") + m_value;
    case Case::runtimeAlreadyExists:
        return QStringLiteral("Runtime schon vorhanden: ") + m_value;
    case Case::invalidWorkspacePath:
        return QStringLiteral("Ungültiger Arbeitsplatz Path: ") + m_value;
    case Case::invalidState:
        return QStringLiteral("Runtime kann im Zustand ") + m_value
            + QStringLiteral(" nicht gelöscht werden. Stoppe sie zuerst.");
    case Case::invalidName:
        return QStringLiteral("Der Runtime-Name muss zwischen 1 und 80 Zeichen lang sein und darf keine "
                              "Steuerzeichen enthalten.");
    case Case::notImplemented:
        return QStringLiteral("Diese Runtimefeature ist noch nicht implementiert.");
    }
    return {};
}

} // namespace trellium
