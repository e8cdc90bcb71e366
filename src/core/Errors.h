#pragma once

#include <QString>
#include <QByteArray>

#include <exception>
#include <stdexcept>

namespace trellium {

// Base of every error the agent throws on purpose. The German text of
// localizedDescription() is what reaches the tablet as a failure message.
class Error : public std::exception {
public:
    ~Error() override = default;
    virtual QString localizedDescription() const = 0;
    const char *what() const noexcept override;

private:
    mutable QByteArray m_what;
};

// An error with a text domain and a numeric code ("SSH" 255, "RuntimeIP" 1, ...).
class DomainError : public Error {
public:
    DomainError(QString domain, int code, QString description = {});

    const QString &domain() const { return m_domain; }
    int code() const { return m_code; }
    // Without a description of its own the error gets the generic text,
    // naming its domain and code.
    QString localizedDescription() const override;

private:
    QString m_domain;
    int m_code;
    QString m_description;
};

// A failed file-system operation: what was attempted, on which path, and the
// system's reason.
class FileError : public Error {
public:
    FileError(QString operation, QString path, QString reason);
    // Builds the reason from errno.
    static FileError fromErrno(const QString &operation, const QString &path, int error);

    const QString &path() const { return m_path; }
    QString localizedDescription() const override;

private:
    QString m_operation;
    QString m_path;
    QString m_reason;
};

// A JSON document or record that does not have the expected shape.
class DecodingError : public Error {
public:
    explicit DecodingError(QString detail);
    QString localizedDescription() const override;

private:
    QString m_detail;
};

// A value that cannot be written in the form a record requires (it could
// not be read back).
class EncodingError : public Error {
public:
    explicit EncodingError(QString detail);
    QString localizedDescription() const override;

private:
    QString m_detail;
};

// The awaiting task was cancelled (a pause or wait ended early).
class CancelledError : public Error {
public:
    QString localizedDescription() const override;
};

// A bounded wait ran out.
class TimeoutError : public Error {
public:
    explicit TimeoutError(QString what);
    QString localizedDescription() const override;

private:
    QString m_what;
};

// Description of any exception, for log lines and failure events.
QString describeError(const std::exception &error);
QString describeCurrentException();
QString describeException(std::exception_ptr error);

} // namespace trellium
