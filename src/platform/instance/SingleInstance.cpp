#include "platform/instance/SingleInstance.h"

#include "core/Descriptor.h"
#include "core/Errors.h"
#include "core/Files.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace trellium {

namespace {

constexpr qint64 kMaximumRecordBytes = 64 * 1024;
const QString kSocketKey = QStringLiteral("socket");
const QString kUnavailableKey = QStringLiteral("unavailable");

// What the holder recorded: the socket it listens on, or why it listens nowhere.
struct Address {
    QString socket;
    QString unavailable;
};

void writeRecord(const QString &folder, const QJsonObject &record)
{
    writeFileAtomically(SingleInstance::addressPath(folder), QJsonDocument(record).toJson(QJsonDocument::Compact));
}

// Nothing while the holder has recorded nothing (yet). A record that is not
// this user's own file, or not one the holder wrote, throws: it names no
// holder to trust.
std::optional<Address> readRecord(const QString &folder)
{
    const QString path = SingleInstance::addressPath(folder);
    Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isValid()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw FileError::fromErrno(QStringLiteral("Lesen"), path, errno);
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        throw FileError::fromErrno(QStringLiteral("Lesen"), path, errno);
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
        throw FileError(QStringLiteral("Lesen"), path, QStringLiteral("keine Datei dieses Benutzers"));
    QFile reader;
    if (!reader.open(file.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        throw FileError(QStringLiteral("Lesen"), path, reader.errorString());
    const QByteArray bytes = reader.read(kMaximumRecordBytes + 1);
    const QJsonObject record = QJsonDocument::fromJson(bytes).object();
    Address address{record.value(kSocketKey).toString(), record.value(kUnavailableKey).toString()};
    if (bytes.size() > kMaximumRecordBytes
        || (address.unavailable.isEmpty() && !QDir::isAbsolutePath(address.socket)))
        throw DecodingError(QStringLiteral("%1 nennt keinen Socket").arg(path));
    return address;
}

} // namespace

QString SingleInstance::lockPath(const QString &folder)
{
    return folder + QStringLiteral("/.instance.lock");
}

QString SingleInstance::addressPath(const QString &folder)
{
    return folder + QStringLiteral("/.instance.address");
}

SingleInstance::Launch SingleInstance::launch(const QString &folder, const QStringList &request,
                                              std::chrono::milliseconds bound, std::chrono::milliseconds retryPause)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        try {
            if (auto lock = InstanceLock::tryAcquire(lockPath(folder))) {
                // A killed holder's record: it names nobody now.
                ::unlink(QFile::encodeName(addressPath(folder)).constData());
                return {Outcome::holder, {}, std::move(lock)};
            }
        } catch (const std::exception &error) {
            return {Outcome::failed, describeError(error), nullptr};
        }
        if (request.isEmpty())
            return {Outcome::alreadyRunning, {}, nullptr};
        std::optional<Address> address;
        try {
            address = readRecord(folder);
        } catch (const std::exception &error) {
            return {Outcome::unreachable, describeError(error), nullptr};
        }
        if (address && !address->unavailable.isEmpty())
            return {Outcome::unreachable, address->unavailable, nullptr};
        if (address) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const InstanceChannel::Result result =
                InstanceChannel::send(address->socket, request, std::max(left, std::chrono::milliseconds(0)));
            switch (result.delivery) {
            case InstanceChannel::Delivery::answered:
                return {Outcome::handedOver, {}, nullptr};
            case InstanceChannel::Delivery::refused:
                return {Outcome::refused, result.message, nullptr};
            case InstanceChannel::Delivery::failed:
                return {Outcome::unreachable, result.message, nullptr};
            case InstanceChannel::Delivery::noAnswer:
                return {Outcome::noAnswer, {}, nullptr};
            case InstanceChannel::Delivery::unreachable:
                break;
            }
        }
        if (Clock::now() + retryPause >= deadline)
            return {Outcome::noAnswer, {}, nullptr};
        std::this_thread::sleep_for(retryPause);
    }
}

QString SingleInstance::serve(const QString &folder, InstanceChannel &channel, InstanceChannel::Handler handler,
                              InstanceChannel::Options options)
{
    try {
        const QString socket = channel.listenOnFirst(InstanceChannel::socketPaths(folder), std::move(handler), options);
        try {
            recordAddress(folder, socket);
        } catch (...) {
            channel.close();
            throw;
        }
        return socket;
    } catch (const std::exception &error) {
        // Else every launch would wait its whole bound for an answer that cannot come.
        try {
            writeRecord(folder, QJsonObject{{kUnavailableKey, describeError(error)}});
        } catch (const std::exception &) {
        }
        throw;
    }
}

void SingleInstance::recordAddress(const QString &folder, const QString &socketPath)
{
    writeRecord(folder, QJsonObject{{kSocketKey, socketPath}});
}

} // namespace trellium
