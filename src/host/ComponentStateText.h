#pragma once

#include "host/AgentComponentManager.h"
#include "platform/desktop/SymbolIcon.h"

namespace trellium {

// How a tool's state is shown: its text, symbol and colour. The settings
// window's summary line uses the same texts.
struct ComponentStateText {
    QString text;
    QString symbol;
    SymbolTint tint = SymbolTint::secondary;
};

// A failed state shows "Installation fehlgeschlagen" whatever its message;
// the message belongs in the detail line.
ComponentStateText componentStateText(const AgentComponentManager::State &state);

} // namespace trellium
