#include "host/SystemCheckCategory.h"

namespace trellium {

QString systemCheckCategoryTitle(SystemCheckCategory category)
{
    switch (category) {
    case SystemCheckCategory::agent:
        return QStringLiteral("Agent");
    case SystemCheckCategory::components:
        return QStringLiteral("Komponenten");
    case SystemCheckCategory::network:
        return QStringLiteral("Netzwerk");
    case SystemCheckCategory::appleToolchain:
        return QStringLiteral("Apple Toolchain");
    case SystemCheckCategory::projectTools:
        return QStringLiteral("Projektwerkzeuge");
    case SystemCheckCategory::runtime:
        return QStringLiteral("Runtime");
    case SystemCheckCategory::workspace:
        return QStringLiteral("Workspace");
    case SystemCheckCategory::system:
        return QStringLiteral("System");
    }
    return {};
}

std::optional<SystemCheckCategory> systemCheckCategoryFromTitle(const QString &title)
{
    for (const SystemCheckCategory category : kSystemCheckCategories) {
        if (systemCheckCategoryTitle(category) == title)
            return category;
    }
    return std::nullopt;
}

} // namespace trellium
