#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

namespace trellium::test {

// A real OpenSSH server on 127.0.0.1 with its own host key and authorized
// keys in a temporary folder, started by the test and never as a system
// service. Logs in as the user running the test.
class SshServer {
public:
    // Nothing (with the reason in `whyNot`) when sshd is missing or will not start.
    static std::unique_ptr<SshServer> start(const QString &authorizedKey, QString *whyNot);
    ~SshServer();

    uint16_t port() const { return m_port; }
    static QString currentUser();
    // Replaces the authorized keys (an empty text rejects every key).
    void setAuthorizedKey(const QString &key);

private:
    SshServer() = default;

    QTemporaryDir m_dir;
    QProcess m_process;
    uint16_t m_port = 0;
};

} // namespace trellium::test
