#include "host/SystemCheckResult.h"

#include <algorithm>

namespace trellium {

qsizetype SystemCheckResult::count(SystemCheckState state) const
{
    return std::count_if(items.begin(), items.end(), [state](const SystemCheckItem &item) { return item.state == state; });
}

} // namespace trellium
