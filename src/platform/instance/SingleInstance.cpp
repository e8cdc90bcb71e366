#include "platform/instance/SingleInstance.h"

#include "core/Descriptor.h"
#include "core/Errors.h"
#include "core/Files.h"
#include "core/Text.h"

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
const QString kEndingKey = QStringLiteral("ending");

// What the holder recorded: the socket it listens on, or why it listens
// nowhere, or that it is ending.
struct Address {
    QString socket;
    QString unavailable;
    bool ending = false;
};

// Why the socket a record names is none to connect to: the kernel follows
// links before it resolves "..", which a check of the cleaned path would not.
std::optional<QString> whyNoSocketPath(const QString &socket)
{
    if (socket.isEmpty())
        return QStringLiteral("nennt keinen Socket");
    if (!QDir::isAbsolutePath(socket))
        return QStringLiteral("nennt den Socket „%1“ mit einem relativen Pfad").arg(socket);
    if (QDir::cleanPath(socket) != socket)
        return QStringLiteral("nennt den Socket „%1“ mit einem Pfad, der nicht bereinigt ist").arg(socket);
    return std::nullopt;
}

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
    if (bytes.size() > kMaximumRecordBytes)
        throw DecodingError(QStringLiteral("%1 ist zu groß").arg(path));
    const QJsonObject record = QJsonDocument::fromJson(bytes).object();
    Address address{record.value(kSocketKey).toString(), record.value(kUnavailableKey).toString(),
                    record.value(kEndingKey).toBool()};
    if (address.unavailable.isEmpty() && !address.ending) {
        if (const auto why = whyNoSocketPath(address.socket))
            throw DecodingError(QStringLiteral("%1 %2").arg(path, *why));
    }
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

namespace {

using Outcome = SingleInstance::Outcome;

SingleInstance::Launch launchWithin(const QString &folder, const QStringList &request, std::chrono::milliseconds bound,
                                    std::chrono::milliseconds retryPause)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + bound;
    bool ending = false;
    // A socket found missing, and why: reported when the next look, after
    // the lock and the record, finds the same holder without it. A holder
    // records that it is ending before it closes its socket, so a launch
    // that met the closing sees that record then.
    QString missingSocket;
    QString missingWhy;
    for (;;) {
        try {
            if (auto lock = InstanceLock::tryAcquire(SingleInstance::lockPath(folder))) {
                // A killed holder's record: it names nobody now.
                ::unlink(QFile::encodeName(SingleInstance::addressPath(folder)).constData());
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
        ending = address && address->ending;
        if (address && !ending) {
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
            case InstanceChannel::Delivery::missing:
                if (missingSocket == address->socket)
                    return {Outcome::unreachable, result.message, nullptr};
                missingSocket = address->socket;
                missingWhy = result.message;
                break;
            case InstanceChannel::Delivery::unreachable:
                missingSocket.clear();
                break;
            }
        } else {
            missingSocket.clear();
        }
        if (Clock::now() + retryPause >= deadline) {
            if (!missingSocket.isEmpty())
                return {Outcome::unreachable, missingWhy, nullptr};
            return {ending ? Outcome::ending : Outcome::noAnswer, {}, nullptr};
        }
        std::this_thread::sleep_for(retryPause);
    }
}

} // namespace

SingleInstance::Launch SingleInstance::launch(const QString &folder, const QStringList &request,
                                              std::chrono::milliseconds bound, std::chrono::milliseconds retryPause)
{
    Launch result = launchWithin(folder, request, bound, retryPause);
    // The holder's answer and the record are another process's words: they
    // reach the user's terminal only as plain text.
    result.message = withoutControlCharacters(result.message);
    return result;
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

void SingleInstance::withdraw(const QString &folder, InstanceChannel &channel)
{
    try {
        writeRecord(folder, QJsonObject{{kEndingKey, true}});
    } catch (const std::exception &) {
        // Launches then find the socket gone and say so: worse, not wrong.
    }
    channel.close();
}

} // namespace trellium
