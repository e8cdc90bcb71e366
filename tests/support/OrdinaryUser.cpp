#include "support/OrdinaryUser.h"

#include "core/Async.h"
#include "core/Files.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>

#include <pwd.h>

#include <cstdio>

namespace trellium::test::OrdinaryUser {

namespace {

const QString kSetpriv = QStringLiteral("/usr/bin/setpriv");

// True when the file has a line for the user (by name or uid).
bool hasLine(const QString &file, uint uid)
{
    const passwd *account = ::getpwuid(uid);
    const QByteArray user = account ? QByteArray(account->pw_name) : QByteArray();
    QFile ids(file);
    if (!ids.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : ids.readAll().split('\n')) {
        const QByteArray owner = line.split(':').value(0);
        if ((!user.isEmpty() && owner == user) || owner == QByteArray::number(uid))
            return true;
    }
    return false;
}

// The first id above every range already given out (and above 100000).
qint64 freeSubordinateStart(const QString &file)
{
    qint64 start = 100000;
    QFile ids(file);
    if (ids.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : ids.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(':');
            if (fields.size() == 3)
                start = std::max(start, fields.at(1).toLongLong() + fields.at(2).toLongLong());
        }
    }
    return start;
}

bool run(const QString &program, const QStringList &arguments, QString *whyNot)
{
    try {
        const ProcessResult result = runProcessBlocking(program, arguments);
        if (result.succeeded())
            return true;
        *whyNot = program + QStringLiteral(": ") + QString::fromUtf8(result.standardError).trimmed();
    } catch (const Error &error) {
        *whyNot = error.localizedDescription();
    }
    return false;
}

QStringList asAccount()
{
    return {QStringLiteral("--reuid=") + name, QStringLiteral("--regid=") + name, QStringLiteral("--init-groups"),
            QStringLiteral("--")};
}

} // namespace

bool hasSubordinateIds(uint uid)
{
    return hasLine(QStringLiteral("/etc/subuid"), uid) && hasLine(QStringLiteral("/etc/subgid"), uid);
}

bool ensure(QString *whyNot)
{
    if (!::getpwnam(name.toUtf8().constData())
        && !run(QStringLiteral("/usr/sbin/useradd"),
                {QStringLiteral("--create-home"), QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"), name},
                whyNot))
        return false;
    const passwd *account = ::getpwnam(name.toUtf8().constData());
    if (!account) {
        *whyNot = QStringLiteral("no account %1 after useradd").arg(name);
        return false;
    }
    // useradd gives subordinate ids only where login.defs asks for them.
    for (const auto &[file, option] : {std::pair{QStringLiteral("/etc/subuid"), QStringLiteral("--add-subuids")},
                                       std::pair{QStringLiteral("/etc/subgid"), QStringLiteral("--add-subgids")}}) {
        if (hasLine(file, account->pw_uid))
            continue;
        const qint64 start = freeSubordinateStart(file);
        if (!run(QStringLiteral("/usr/sbin/usermod"),
                 {option, QStringLiteral("%1-%2").arg(start).arg(start + 65535), name}, whyNot))
            return false;
    }
    return true;
}

bool canReach(const QStringList &files, QString *whyNot)
{
    QStringList arguments = asAccount();
    arguments << QStringLiteral("/usr/bin/test") << QStringLiteral("-x") << QCoreApplication::applicationFilePath();
    for (const QString &file : files)
        arguments << QStringLiteral("-a") << QStringLiteral("-r") << file;
    if (run(kSetpriv, arguments, whyNot))
        return true;
    *whyNot = QStringLiteral("%1 cannot run %2 or read %3 (the build tree and the test guest must be readable by it)")
                  .arg(name, QCoreApplication::applicationFilePath(), files.join(QStringLiteral(", ")));
    return false;
}

ProcessResult rerunCurrentTest(std::chrono::milliseconds timeout)
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    const QString filter = QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name());
    const passwd *account = ::getpwnam(name.toUtf8().constData());

    ProcessOptions options;
    options.channels = ProcessOptions::Channels::Merged;
    options.timeout = timeout;
    options.workingDirectory = QStringLiteral("/");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR", "USER", "LOGNAME"})
        environment.remove(QString::fromLatin1(variable));
    environment.insert(QStringLiteral("HOME"), account ? QFile::decodeName(account->pw_dir) : QStringLiteral("/"));
    environment.insert(QStringLiteral("USER"), name);
    options.environment = environment;
    options.onOutputLine = [](const QByteArray &line) {
        std::fprintf(stdout, "  [%s] %s\n", qPrintable(name), line.constData());
        std::fflush(stdout);
    };
    QStringList arguments = asAccount();
    arguments << QCoreApplication::applicationFilePath() << filter;
    return runSync(runProcess(kSetpriv, arguments, options), timeout + std::chrono::seconds(10));
}

} // namespace trellium::test::OrdinaryUser
