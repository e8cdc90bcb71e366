#pragma once

#include "core/Errors.h"
#include "model/RuntimeConfig.h"

#include <QUuid>

namespace trellium {

// The runtime layer's error; its German description reaches the tablet.
class RuntimeError : public Error {
public:
    enum class Case {
        unsupportedRuntime,
        runtimeNotFound,
        runtimeAlreadyExists,
        invalidWorkspacePath,
        invalidState,
        invalidName,
        notImplemented
    };

    static RuntimeError unsupportedRuntime(RuntimeKind kind);
    static RuntimeError runtimeNotFound(const QUuid &id);
    static RuntimeError runtimeAlreadyExists(const QUuid &id);
    static RuntimeError invalidWorkspacePath(const QString &path);
    static RuntimeError invalidState(RuntimeState state);
    static RuntimeError invalidName();
    static RuntimeError notImplemented();

    Case errorCase() const { return m_case; }
    QString localizedDescription() const override;

private:
    RuntimeError(Case c, QString value) : m_case(c), m_value(std::move(value)) {}

    Case m_case;
    QString m_value;  // the case's value, already as text
};

} // namespace trellium
