#pragma once

#include "core/Errors.h"

namespace trellium {

// The error of finding and installing the agent's tools; each case has one
// fixed German text, whichever component raised it.
class ComponentError : public Error {
public:
    enum class Case {
        archiveContentMissing,
        commandFailed,
        notInstalled,
        xcodeGenNotInstalled,
        unsupportedArchitecture,
        invalidServerResponse,
        checksumMismatch,
        diskImageMountFailed,
        applicationMissing,
        pythonIncomplete
    };

    static ComponentError archiveContentMissing(const QString &path);
    static ComponentError commandFailed(const QString &output);
    static ComponentError notInstalled() { return ComponentError(Case::notInstalled); }
    static ComponentError xcodeGenNotInstalled() { return ComponentError(Case::xcodeGenNotInstalled); }
    static ComponentError unsupportedArchitecture() { return ComponentError(Case::unsupportedArchitecture); }
    static ComponentError invalidServerResponse() { return ComponentError(Case::invalidServerResponse); }
    static ComponentError checksumMismatch() { return ComponentError(Case::checksumMismatch); }
    static ComponentError diskImageMountFailed() { return ComponentError(Case::diskImageMountFailed); }
    static ComponentError applicationMissing() { return ComponentError(Case::applicationMissing); }
    static ComponentError pythonIncomplete() { return ComponentError(Case::pythonIncomplete); }

    Case errorCase() const { return m_case; }
    // The path or output the case carries; empty for the others.
    const QString &value() const { return m_value; }
    QString localizedDescription() const override;

private:
    explicit ComponentError(Case c, QString value = {}) : m_case(c), m_value(std::move(value)) {}

    Case m_case;
    QString m_value;
};

} // namespace trellium
