#pragma once

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

namespace trellium::test {

// A certificate authority made for this test process only (openssl, on first
// use) and a server certificate it signed for 127.0.0.1 and localhost. Nothing
// outside the process trusts it.
class TestCertificates {
public:
    static const TestCertificates &shared();

    QSslCertificate authority;
    QSslCertificate server;
    QSslKey serverKey;
    // The authority as a PEM file, for outside clients (curl --cacert).
    QString authorityFile;
    // The server's certificate and key as PEM files, for outside servers.
    QString serverFile;
    QString serverKeyFile;

    // A client configuration that trusts this authority and nothing else.
    QSslConfiguration clientConfiguration() const;
};

} // namespace trellium::test
