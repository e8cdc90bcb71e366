#pragma once

#include "host/SystemCheckItem.h"

#include <QList>

namespace trellium {

// The items of one system check in check order.
struct SystemCheckResult {
    QList<SystemCheckItem> items;

    qsizetype passedCount() const { return count(SystemCheckState::passed); }
    qsizetype warningCount() const { return count(SystemCheckState::warning); }
    qsizetype failedCount() const { return count(SystemCheckState::failed); }
    qsizetype count(SystemCheckState state) const;
};

} // namespace trellium
