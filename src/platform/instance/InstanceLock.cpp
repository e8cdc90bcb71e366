#include "platform/instance/InstanceLock.h"

#include "core/Descriptor.h"
#include "core/Errors.h"
#include "core/Files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace trellium {

std::unique_ptr<InstanceLock> InstanceLock::tryAcquire(const QString &path)
{
    createDirectories(QFileInfo(path).absolutePath());
    const QByteArray encoded = QFile::encodeName(path);
    Descriptor file(::open(encoded.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file.isValid())
        throw FileError::fromErrno(QStringLiteral("Öffnen"), path, errno);
    int result;
    do {
        result = ::flock(file.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EWOULDBLOCK)
            return nullptr;
        throw FileError::fromErrno(QStringLiteral("Sperren"), path, errno);
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(path, file.release()));
}

InstanceLock::InstanceLock(QString path, int descriptor) : m_path(std::move(path)), m_descriptor(descriptor) {}

InstanceLock::~InstanceLock()
{
    // Closing the only descriptor of the open file releases the lock.
    ::close(m_descriptor);
}

} // namespace trellium
