#pragma once

#include "platform/secrets/SecretStore.h"

#include <QHash>

namespace trellium::test {

// Secrets in memory, for pairing stores in tests.
class MemorySecretStore final : public SecretStore {
public:
    QCoro::Task<std::optional<QByteArray>> readSecret(QString account) override
    {
        co_return secrets.contains(account) ? std::optional(secrets.value(account)) : std::nullopt;
    }
    QCoro::Task<void> writeSecret(QString account, QByteArray secret) override
    {
        secrets.insert(account, secret);
        co_return;
    }
    QCoro::Task<void> deleteSecret(QString account) override
    {
        secrets.remove(account);
        co_return;
    }
    QHash<QString, QByteArray> secrets;
};

} // namespace trellium::test
