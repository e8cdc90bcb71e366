#include "support/SshServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

namespace trellium::test {

namespace {

uint16_t freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool accepts(uint16_t port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(200))
        return false;
    // sshd greets first; a banner means it is really serving.
    return socket.waitForReadyRead(1000) && socket.readAll().startsWith("SSH-");
}

} // namespace

QString SshServer::currentUser()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

void SshServer::setAuthorizedKey(const QString &key)
{
    QFile file(m_dir.filePath(QStringLiteral("authorized_keys")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(key.toUtf8() + '\n');
}

std::unique_ptr<SshServer> SshServer::start(const QString &authorizedKey, QString *whyNot)
{
    const QString sshd = QStringLiteral("/usr/sbin/sshd");
    if (!QFile::exists(sshd)) {
        *whyNot = QStringLiteral("sshd is not installed");
        return nullptr;
    }
    if (::geteuid() == 0)
        QDir().mkpath(QStringLiteral("/run/sshd"));  // privilege separation folder

    std::unique_ptr<SshServer> server(new SshServer);
    const QString dir = server->m_dir.path();
    const QString hostKey = dir + QStringLiteral("/host_ed25519");
    QProcess keygen;
    keygen.start(QStringLiteral("/usr/bin/ssh-keygen"),
                 {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"),
                  QString(), QStringLiteral("-f"), hostKey});
    if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0) {
        *whyNot = QStringLiteral("ssh-keygen failed for the host key");
        return nullptr;
    }
    server->setAuthorizedKey(authorizedKey);

    for (int attempt = 0; attempt < 5; ++attempt) {
        server->m_port = freePort();
        QFile config(dir + QStringLiteral("/sshd_config"));
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *whyNot = QStringLiteral("cannot write sshd_config");
            return nullptr;
        }
        config.write(QStringLiteral("Port %1\n"
                                    "ListenAddress 127.0.0.1\n"
                                    "HostKey %2\n"
                                    "AuthorizedKeysFile %3/authorized_keys\n"
                                    "PidFile none\n"
                                    "StrictModes no\n"
                                    "UsePAM no\n"
                                    "PermitRootLogin prohibit-password\n"
                                    "PasswordAuthentication no\n"
                                    "KbdInteractiveAuthentication no\n"
                                    "PubkeyAuthentication yes\n"
                                    "PrintMotd no\n"
                                    "LogLevel ERROR\n")
                         .arg(server->m_port)
                         .arg(hostKey, dir)
                         .toUtf8());
        config.close();

        server->m_process.setProgram(sshd);
        server->m_process.setArguments({QStringLiteral("-D"), QStringLiteral("-e"), QStringLiteral("-f"),
                                        dir + QStringLiteral("/sshd_config")});
        server->m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server->m_process.start();
        if (!server->m_process.waitForStarted(5000)) {
            *whyNot = QStringLiteral("sshd did not start");
            return nullptr;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && server->m_process.state() == QProcess::Running) {
            if (accepts(server->m_port))
                return server;
            QThread::msleep(50);
        }
        server->m_process.kill();
        server->m_process.waitForFinished(5000);
    }
    *whyNot = QStringLiteral("sshd did not accept connections");
    return nullptr;
}

SshServer::~SshServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

} // namespace trellium::test
