#include "agent/AgentManager.h"

#include "core/Log.h"
#include "model/BuildEvent.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RuntimeDesktopInputController.h"
#include "remotedesktop/RuntimeDisplayHost.h"

#include <QSysInfo>

namespace trellium {

namespace {

BuildEvent videoFailedEvent(const QUuid &jobID, const QString &message)
{
    BuildEvent event;
    event.id = QUuid::createUuid();
    event.jobId = jobID;
    event.kind = BuildEventKind::remoteDesktopVideoFailed;
    event.message = message;
    return event;
}

} // namespace

AgentManager &AgentManager::shared()
{
    static AgentManager *manager = new AgentManager();
    return *manager;
}

AgentManager::AgentManager(QObject *parent)
    : QObject(parent), m_runtimeManager(std::make_unique<RuntimeManager>()),
      m_input(std::make_unique<RuntimeDesktopInputController>(
          [](const QUuid &runtimeID) { return RuntimeDisplayHost::shared().machine(runtimeID); }))
{
    m_server.setJobHandler([this](const std::shared_ptr<AgentConnection> &connection, const BuildJob &job) {
        handleLocalJob(connection, job);
    });
    RemoteDesktopServer::shared().setRuntimeManager(m_runtimeManager.get());
}

AgentManager::~AgentManager()
{
    RemoteDesktopServer::shared().setRuntimeManager(nullptr);
}

QString AgentManager::deviceName() const
{
    const QString name = QSysInfo::machineHostName();
    return name.isEmpty() ? QStringLiteral("Linux") : name;
}

void AgentManager::setStatus(AgentStatus status, const QString &text)
{
    if (m_agentStatus != status) {
        m_agentStatus = status;
        emit agentStatusChanged();
    }
    if (m_status != text) {
        m_status = text;
        emit statusChanged();
    }
}

void AgentManager::start(uint16_t port)
{
    setStatus(AgentStatus::online, QStringLiteral("Starte..."));
    if (!m_recovered) {
        m_recovered = true;
        try {
            m_runtimeManager->store().recoverInterruptedRuntimes();
        } catch (const std::exception &error) {
            logLine(QStringLiteral("RUNTIME RECOVERY ERROR:"), describeError(error));
        }
    }
    m_server.start(port);
    if (m_server.isRunning())
        setStatus(AgentStatus::online, QStringLiteral("Online"));
    else
        setStatus(AgentStatus::failed, m_server.errorMessage().value_or(QStringLiteral("Fehler")));
}

void AgentManager::stop()
{
    RemoteDesktopServer::shared().stop();
    m_server.stop();
    setStatus(AgentStatus::offline, QStringLiteral("Offline"));
}

QSize AgentManager::scaledRuntimeSize(int64_t baseWidth, int64_t baseHeight, RemoteDesktopQuality quality)
{
    static constexpr double kFactors[] = {0.65, 0.75, 0.9};
    const double factor = kFactors[int(quality)];
    // Toward zero, then even: the encoder needs even sides.
    const auto scale = [factor](int64_t side) { return int64_t(double(side) * factor) & ~int64_t(1); };
    const int64_t width = scale(baseWidth);
    const int64_t height = scale(baseHeight);
    return QSize(int(std::clamp<int64_t>(width, -1, INT32_MAX)), int(std::clamp<int64_t>(height, -1, INT32_MAX)));
}

AgentManager::VideoRequest AgentManager::videoRequest(const BuildJob &job) const
{
    VideoRequest request;
    if (!job.runtimeID) {
        request.source = RemoteDesktopSource::mainDisplay();
        request.width = 1280;
        request.height = 720;
        request.bitrate = 8'000'000;
        return request;
    }
    int64_t baseWidth = 1600;
    int64_t baseHeight = 1120;
    try {
        const RuntimeConfig record = m_runtimeManager->store().readRuntime(*job.runtimeID);
        baseWidth = record.displayWidth.value_or(1600);
        baseHeight = record.displayHeight.value_or(1120);
    } catch (const std::exception &) {
        // Missing or unreadable: the runtime's default display size.
    }
    const RemoteDesktopQuality quality = job.remoteDesktopQuality.value_or(RemoteDesktopQuality::normal);
    const QSize size = scaledRuntimeSize(baseWidth, baseHeight, quality);
    request.source = RemoteDesktopSource::runtime(*job.runtimeID);
    request.width = size.width();
    request.height = size.height();
    request.bitrate = 2'000'000 * (1 + int(quality));
    return request;
}

void AgentManager::handleLocalJob(const std::shared_ptr<AgentConnection> &connection, const BuildJob &job)
{
    auto &server = RemoteDesktopServer::shared();
    switch (job.kind) {
    case BuildJobKind::startRemoteDesktopVideo: {
        const VideoRequest request = videoRequest(job);
        const std::weak_ptr<AgentConnection> weakConnection = connection;
        const QUuid jobID = job.id;
        auto fail = [weakConnection, jobID](const QString &message) {
            if (const auto open = weakConnection.lock())
                open->sendEvent(videoFailedEvent(jobID, message));
        };
        try {
            server.start(connection, request.source, request.width, request.height, request.fps, request.bitrate, fail);
        } catch (const std::exception &error) {
            fail(describeError(error));
        }
        break;
    }
    case BuildJobKind::stopRemoteDesktopVideo:
        server.stop();
        break;
    case BuildJobKind::remoteDesktopInput: {
        const RemoteDesktopSource source = server.currentSource();
        if (source.kind == RemoteDesktopSource::Kind::runtime && job.remoteDesktopInputEvent)
            m_input->handleInput(source.runtimeID, *job.remoteDesktopInputEvent);
        break;
    }
    }
}

} // namespace trellium
