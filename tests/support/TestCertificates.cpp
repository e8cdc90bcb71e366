#include "support/TestCertificates.h"

#include "core/Files.h"
#include "core/Process.h"

#include <QTemporaryDir>

#include <stdexcept>

namespace trellium::test {

namespace {

const QString kOpenssl = QStringLiteral("/usr/bin/openssl");

void openssl(const QStringList &arguments)
{
    ProcessOptions options;
    options.channels = ProcessOptions::Channels::Merged;
    options.timeout = std::chrono::seconds(30);
    const ProcessResult result = runProcessBlocking(kOpenssl, arguments, options);
    if (!result.succeeded())
        throw std::runtime_error("openssl failed: " + result.standardOutput.toStdString());
}

TestCertificates generate()
{
    // Kept for the life of the process: outside clients read the PEM file.
    static QTemporaryDir folder;
    const QString dir = folder.path();
    const QString caKey = dir + QStringLiteral("/ca.key");
    const QString caPem = dir + QStringLiteral("/ca.pem");
    const QString serverKey = dir + QStringLiteral("/server.key");
    const QString serverCsr = dir + QStringLiteral("/server.csr");
    const QString serverPem = dir + QStringLiteral("/server.pem");
    const QString extensions = dir + QStringLiteral("/server.ext");

    const QStringList ecKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey
            + QStringList{QStringLiteral("-keyout"), caKey, QStringLiteral("-out"), caPem, QStringLiteral("-days"),
                          QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=TRELLIUM Test Authority"),
                          QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                          QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
    openssl(QStringList{QStringLiteral("req")} + ecKey
            + QStringList{QStringLiteral("-keyout"), serverKey, QStringLiteral("-out"), serverCsr,
                          QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")});
    writeFileAtomically(extensions, "basicConstraints=CA:FALSE\n"
                                    "keyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=serverAuth\n"
                                    "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), serverCsr, QStringLiteral("-CA"),
             caPem, QStringLiteral("-CAkey"), caKey, QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
             serverPem, QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), extensions});

    TestCertificates certificates;
    certificates.authority = QSslCertificate(readWholeFile(caPem), QSsl::Pem);
    certificates.server = QSslCertificate(readWholeFile(serverPem), QSsl::Pem);
    certificates.serverKey = QSslKey(readWholeFile(serverKey), QSsl::Ec, QSsl::Pem);
    certificates.authorityFile = caPem;
    certificates.serverFile = serverPem;
    certificates.serverKeyFile = serverKey;
    if (certificates.authority.isNull() || certificates.server.isNull() || certificates.serverKey.isNull())
        throw std::runtime_error("test certificates could not be read");
    return certificates;
}

} // namespace

const TestCertificates &TestCertificates::shared()
{
    static const TestCertificates certificates = generate();
    return certificates;
}

QSslConfiguration TestCertificates::clientConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({authority});
    return configuration;
}

} // namespace trellium::test
