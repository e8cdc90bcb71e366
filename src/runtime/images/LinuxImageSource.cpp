#include "runtime/images/LinuxImageSource.h"

namespace trellium {

QString LinuxImageSource::downloadFileName() const
{
    return downloadURLs.isEmpty() ? QString() : downloadURLs.first().fileName();
}

} // namespace trellium
