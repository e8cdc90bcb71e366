#include "core/Lifetime.h"

#include "core/Errors.h"

namespace trellium {

void Lifetime::Guard::requireAlive() const
{
    if (!isAlive())
        throw CancelledError();
}

} // namespace trellium
