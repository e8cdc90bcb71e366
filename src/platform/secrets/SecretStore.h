#pragma once

#include <qcoro/qcorotask.h>

#include <QByteArray>
#include <QString>

#include <optional>

namespace trellium {

// The system's secret storage (the Keychain of the original design): one
// service, secrets by account name. Never falls back to plain files.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual QCoro::Task<std::optional<QByteArray>> readSecret(QString account) = 0;
    virtual QCoro::Task<void> writeSecret(QString account, QByteArray secret) = 0;
    // Deleting an absent secret is no error.
    virtual QCoro::Task<void> deleteSecret(QString account) = 0;
};

// Secret Service (GNOME keyring, KWallet) through QtKeychain.
class KeychainSecretStore final : public SecretStore {
public:
    explicit KeychainSecretStore(QString service);
    QCoro::Task<std::optional<QByteArray>> readSecret(QString account) override;
    QCoro::Task<void> writeSecret(QString account, QByteArray secret) override;
    QCoro::Task<void> deleteSecret(QString account) override;

private:
    QString m_service;
};

} // namespace trellium
