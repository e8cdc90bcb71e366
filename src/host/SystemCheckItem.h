#pragma once

#include "host/SystemCheckCategory.h"

#include <QString>
#include <QUuid>

namespace trellium {

enum class SystemCheckState { passed, warning, failed };

// One line of the system check.
struct SystemCheckItem {
    QUuid id = QUuid::createUuid();
    QString title;
    SystemCheckCategory category = SystemCheckCategory::system;
    SystemCheckState state = SystemCheckState::passed;
    QString detail;

    friend bool operator==(const SystemCheckItem &, const SystemCheckItem &) = default;
};

} // namespace trellium
