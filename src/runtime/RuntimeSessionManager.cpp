#include "runtime/RuntimeSessionManager.h"

namespace trellium {

RuntimeSessionManager::RuntimeSessionManager(QString sshPath) : m_sshPath(std::move(sshPath)) {}

RuntimeSessionManager::~RuntimeSessionManager()
{
    closeAllTerminalSessions();
}

RuntimeSessionManager &RuntimeSessionManager::shared()
{
    static RuntimeSessionManager manager;
    return manager;
}

void RuntimeSessionManager::openTerminalSession(const RuntimeConfig &runtime, OutputHandler outputHandler)
{
    if (m_sessions.count(runtime.id))
        return;
    auto session = std::make_unique<LinuxTerminalSession>(runtime, m_sshPath);
    session->setOutputHandler(std::move(outputHandler));
    session->startTerminal();
    m_sessions.emplace(runtime.id, std::move(session));
}

bool RuntimeSessionManager::sendTerminalLine(const QUuid &runtimeID, const QString &text)
{
    return sendTerminalData(runtimeID, (text + QLatin1Char('\n')).toUtf8());
}

bool RuntimeSessionManager::sendTerminalText(const QUuid &runtimeID, const QString &text)
{
    return sendTerminalData(runtimeID, text.toUtf8());
}

bool RuntimeSessionManager::sendTerminalData(const QUuid &runtimeID, const QByteArray &bytes)
{
    LinuxTerminalSession *target = session(runtimeID);
    return target && target->write(bytes);
}

bool RuntimeSessionManager::attachTerminalOutput(const QUuid &runtimeID, OutputHandler outputHandler)
{
    LinuxTerminalSession *target = session(runtimeID);
    if (!target)
        return false;
    target->attachOutput(std::move(outputHandler));
    return true;
}

void RuntimeSessionManager::resizeTerminal(const QUuid &runtimeID, uint16_t columns, uint16_t rows)
{
    if (LinuxTerminalSession *target = session(runtimeID))
        target->resize(columns, rows);
}

void RuntimeSessionManager::closeTerminalSession(const QUuid &runtimeID)
{
    const auto found = m_sessions.find(runtimeID);
    if (found == m_sessions.end())
        return;
    found->second->terminate();
    m_sessions.erase(found);
}

void RuntimeSessionManager::closeAllTerminalSessions()
{
    auto sessions = std::move(m_sessions);
    m_sessions.clear();
    for (auto &entry : sessions)
        entry.second->terminate();
}

bool RuntimeSessionManager::hasSession(const QUuid &runtimeID) const
{
    return m_sessions.count(runtimeID) > 0;
}

LinuxTerminalSession *RuntimeSessionManager::session(const QUuid &runtimeID) const
{
    const auto found = m_sessions.find(runtimeID);
    return found == m_sessions.end() ? nullptr : found->second.get();
}

} // namespace trellium
