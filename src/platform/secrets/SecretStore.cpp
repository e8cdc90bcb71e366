#include "platform/secrets/SecretStore.h"

#include "core/Async.h"
#include "core/Errors.h"

#include <qt6keychain/keychain.h>

namespace trellium {

namespace {

// Runs one QtKeychain job and waits for it without blocking the event loop.
QCoro::Task<void> runJob(QKeychain::Job *job)
{
    Completion<void> done;
    QObject::connect(job, &QKeychain::Job::finished, job, [done](QKeychain::Job *) mutable { done.resolve(); });
    job->setAutoDelete(false);
    job->start();
    co_await done;
}

DomainError keychainError(const QKeychain::Job &job)
{
    return DomainError(QStringLiteral("Keychain"), int(job.error()),
                       QStringLiteral("Schlüsselbund-Fehler: ") + job.errorString());
}

} // namespace

KeychainSecretStore::KeychainSecretStore(QString service) : m_service(std::move(service)) {}

QCoro::Task<std::optional<QByteArray>> KeychainSecretStore::readSecret(QString account)
{
    auto job = std::make_unique<QKeychain::ReadPasswordJob>(m_service);
    job->setKey(account);
    co_await runJob(job.get());
    if (job->error() == QKeychain::EntryNotFound)
        co_return std::nullopt;
    if (job->error() != QKeychain::NoError)
        throw keychainError(*job);
    co_return job->binaryData();
}

QCoro::Task<void> KeychainSecretStore::writeSecret(QString account, QByteArray secret)
{
    auto job = std::make_unique<QKeychain::WritePasswordJob>(m_service);
    job->setKey(account);
    job->setBinaryData(secret);
    co_await runJob(job.get());
    if (job->error() != QKeychain::NoError)
        throw keychainError(*job);
}

QCoro::Task<void> KeychainSecretStore::deleteSecret(QString account)
{
    auto job = std::make_unique<QKeychain::DeletePasswordJob>(m_service);
    job->setKey(account);
    co_await runJob(job.get());
    if (job->error() != QKeychain::NoError && job->error() != QKeychain::EntryNotFound)
        throw keychainError(*job);
}

} // namespace trellium
