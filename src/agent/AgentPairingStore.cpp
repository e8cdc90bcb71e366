#include "agent/AgentPairingStore.h"

#include "core/Async.h"
#include "core/Settings.h"
#include "platform/secrets/SecretStore.h"

#include <QRandomGenerator>

#include <algorithm>

namespace trellium {

namespace {

QCoro::Task<void> deleteDeviceSecrets(std::shared_ptr<SecretStore> secrets, QString id)
{
    co_await secrets->deleteSecret(QStringLiteral("secret.") + id);
    co_await secrets->deleteSecret(QStringLiteral("peerKey.") + id);
}

} // namespace

AgentPairingStore &AgentPairingStore::shared()
{
    static AgentPairingStore *store =
        new AgentPairingStore(std::make_shared<KeychainSecretStore>(QString::fromLatin1(kKeychainService)));
    return *store;
}

AgentPairingStore::AgentPairingStore(std::shared_ptr<SecretStore> secrets, QObject *parent)
    : QObject(parent), m_secrets(std::move(secrets))
{
    m_pairingCode = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10, QLatin1Char('0'));
    reload();
}

void AgentPairingStore::reload()
{
    const QVariantMap names = userDefaults()->value(QString::fromLatin1(kPairedNamesKey)).toMap();
    QList<PairedAgentClient> clients;
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        clients.append({it.key(), it.value().toString()});
    std::stable_sort(clients.begin(), clients.end(),
                     [](const PairedAgentClient &a, const PairedAgentClient &b) { return a.name < b.name; });
    if (clients != m_pairedClients) {
        m_pairedClients = clients;
        emit pairedClientsChanged();
    }
}

void AgentPairingStore::removeClient(const QString &id)
{
    startDetached(deleteDeviceSecrets(m_secrets, id), QStringLiteral("Remove paired device secrets"));
    {
        auto defaults = userDefaults();
        QVariantMap names = defaults->value(QString::fromLatin1(kPairedNamesKey)).toMap();
        names.remove(id);
        defaults->setValue(QString::fromLatin1(kPairedNamesKey), names);
    }
    reload();
    if (m_closeConnections)
        m_closeConnections(id);
}

} // namespace trellium
