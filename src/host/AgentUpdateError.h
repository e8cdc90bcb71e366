#pragma once

#include "core/Errors.h"

namespace trellium {

// The self-update's error; its German description is shown in the settings window.
class AgentUpdateError : public Error {
public:
    enum class Case { invalidManifest, invalidResponse, downloadTooLarge, verificationFailed, installerCouldNotBeOpened };

    static AgentUpdateError invalidManifest(QString reason);
    static AgentUpdateError invalidResponse();
    static AgentUpdateError downloadTooLarge();
    static AgentUpdateError verificationFailed();
    // The installer was saved at `path` and stays there.
    static AgentUpdateError installerCouldNotBeOpened(QString path);

    Case errorCase() const { return m_case; }
    // The reason of invalidManifest.
    const QString &reason() const { return m_value; }
    // Where the installer that could not be opened was left.
    const QString &installerPath() const { return m_value; }
    QString localizedDescription() const override;

private:
    AgentUpdateError(Case c, QString value = {}) : m_case(c), m_value(std::move(value)) {}

    Case m_case;
    QString m_value;
};

} // namespace trellium
