#include "core/Errors.h"

#include <cstring>

namespace trellium {

const char *Error::what() const noexcept
{
    try {
        m_what = localizedDescription().toUtf8();
        return m_what.constData();
    } catch (...) {
        return "trellium error";
    }
}

DomainError::DomainError(QString domain, int code, QString description)
    : m_domain(std::move(domain)), m_code(code), m_description(std::move(description))
{
}

QString DomainError::localizedDescription() const
{
    if (!m_description.isEmpty())
        return m_description;
    return QStringLiteral("Der Vorgang konnte nicht abgeschlossen werden. (%1-Fehler %2.)")
        .arg(m_domain)
        .arg(m_code);
}

FileError::FileError(QString operation, QString path, QString reason)
    : m_operation(std::move(operation)), m_path(std::move(path)), m_reason(std::move(reason))
{
}

FileError FileError::fromErrno(const QString &operation, const QString &path, int error)
{
    return FileError(operation, path, QString::fromLocal8Bit(std::strerror(error)));
}

QString FileError::localizedDescription() const
{
    if (m_reason.isEmpty())
        return QStringLiteral("%1 fehlgeschlagen: %2").arg(m_operation, m_path);
    return QStringLiteral("%1 fehlgeschlagen: %2 (%3)").arg(m_operation, m_path, m_reason);
}

DecodingError::DecodingError(QString detail) : m_detail(std::move(detail)) {}

QString DecodingError::localizedDescription() const
{
    return QStringLiteral("Die Daten konnten nicht gelesen werden: %1").arg(m_detail);
}

EncodingError::EncodingError(QString detail) : m_detail(std::move(detail)) {}

QString EncodingError::localizedDescription() const
{
    return QStringLiteral("Die Daten konnten nicht geschrieben werden: %1").arg(m_detail);
}

QString CancelledError::localizedDescription() const
{
    return QStringLiteral("Der Vorgang wurde abgebrochen.");
}

TimeoutError::TimeoutError(QString what) : m_what(std::move(what)) {}

QString TimeoutError::localizedDescription() const
{
    return QStringLiteral("Zeitüberschreitung: %1").arg(m_what);
}

QString describeError(const std::exception &error)
{
    if (auto *own = dynamic_cast<const Error *>(&error))
        return own->localizedDescription();
    return QString::fromUtf8(error.what());
}

QString describeCurrentException()
{
    try {
        throw;
    } catch (const std::exception &e) {
        return describeError(e);
    } catch (...) {
        return QStringLiteral("Unbekannter Fehler");
    }
}

QString describeException(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (...) {
        return describeCurrentException();
    }
}

} // namespace trellium
