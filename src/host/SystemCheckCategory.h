#pragma once

#include <QString>

#include <array>
#include <optional>

namespace trellium {

// The group of a system-check item; its title is the group's heading.
enum class SystemCheckCategory { agent, components, network, appleToolchain, projectTools, runtime, workspace, system };

inline constexpr std::array<SystemCheckCategory, 8> kSystemCheckCategories{
    SystemCheckCategory::agent,       SystemCheckCategory::components, SystemCheckCategory::network,
    SystemCheckCategory::appleToolchain, SystemCheckCategory::projectTools, SystemCheckCategory::runtime,
    SystemCheckCategory::workspace,   SystemCheckCategory::system};

// "Agent", "Komponenten", "Netzwerk", ...
QString systemCheckCategoryTitle(SystemCheckCategory category);
// The category with exactly this title, if any.
std::optional<SystemCheckCategory> systemCheckCategoryFromTitle(const QString &title);

} // namespace trellium
