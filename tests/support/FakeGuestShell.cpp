#include "support/FakeGuestShell.h"

#include "core/Files.h"

#include <QFile>
#include <QFileInfo>

namespace trellium::test {

FakeGuestShell::FakeGuestShell(QString root) : m_root(std::move(root))
{
    createDirectories(m_root + QStringLiteral("/bin"));
}

void FakeGuestShell::tool(const QString &name, const QString &body)
{
    const QString file = m_root + QStringLiteral("/bin/") + name;
    writeFileAtomically(file, (QStringLiteral("#!/bin/bash\n") + body + QLatin1Char('\n')).toUtf8());
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void FakeGuestShell::hostTools(const QStringList &names)
{
    for (const QString &name : names) {
        for (const QString &folder : {QStringLiteral("/usr/bin/"), QStringLiteral("/bin/")}) {
            if (QFileInfo(folder + name).isExecutable()) {
                QFile::link(folder + name, m_root + QStringLiteral("/bin/") + name);
                break;
            }
        }
    }
}

void FakeGuestShell::file(const QString &guestPath, const QByteArray &content)
{
    const QString file = path(guestPath);
    createDirectories(QFileInfo(file).absolutePath());
    writeFileAtomically(file, content);
}

QString FakeGuestShell::rooted(QString script) const
{
    for (const char *prefix : {" /etc/", " /home/", " /usr/", " /var/", "\"/etc/", "\"/home/", "\"/usr/", "\"/var/"}) {
        const QString from = QString::fromLatin1(prefix);
        script.replace(from, from.left(1) + m_root + from.mid(1));
    }
    return script;
}

ProcessResult FakeGuestShell::run(const QString &script, const QStringList &environment) const
{
    ProcessOptions options;
    QProcessEnvironment variables;
    variables.insert(QStringLiteral("PATH"), m_root + QStringLiteral("/bin"));
    variables.insert(QStringLiteral("HOME"), m_root);
    variables.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    for (const QString &assignment : environment)
        variables.insert(assignment.section(QLatin1Char('='), 0, 0), assignment.section(QLatin1Char('='), 1));
    options.environment = variables;
    options.timeout = std::chrono::seconds(30);
    return runProcessBlocking(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), rooted(script)}, options);
}

} // namespace trellium::test
