#include "host/ComponentStateText.h"

namespace trellium {

ComponentStateText componentStateText(const AgentComponentManager::State &state)
{
    using Kind = AgentComponentManager::State::Kind;
    const QString circle = QStringLiteral("circle");
    const QString working = QStringLiteral("arrow.triangle.2.circlepath");
    switch (state.kind()) {
    case Kind::checking:
        return {QStringLiteral("Wird geprüft …"), circle, SymbolTint::secondary};
    case Kind::notInstalled:
        return {QStringLiteral("Nicht installiert"), circle, SymbolTint::secondary};
    case Kind::downloading:
        return {QStringLiteral("Wird heruntergeladen …"), working, SymbolTint::secondary};
    case Kind::verifying:
        return {QStringLiteral("Download wird geprüft …"), working, SymbolTint::secondary};
    case Kind::installing:
        return {QStringLiteral("Wird installiert …"), working, SymbolTint::secondary};
    case Kind::installed:
        return {QStringLiteral("Installiert"), QStringLiteral("checkmark.circle.fill"), SymbolTint::green};
    case Kind::failed:
        return {QStringLiteral("Installation fehlgeschlagen"), QStringLiteral("exclamationmark.triangle.fill"),
                SymbolTint::red};
    }
    return {};
}

} // namespace trellium
