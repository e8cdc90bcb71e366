#include "agent/AgentManager.h"

#include "core/Log.h"
#include "core/Settings.h"
#include "model/BuildEvent.h"
#include "remotedesktop/RemoteDesktopServer.h"
#include "remotedesktop/RemoteDesktopWebRTCSession.h"
#include "remotedesktop/RuntimeDesktopInputController.h"
#include "remotedesktop/RuntimeDisplayHost.h"

#include <QSysInfo>

#include <limits>

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

// Connections count from 1; the peer-to-peer session's input has an origin
// of its own, so that its end lets go of its keys and no one else's.
constexpr QemuInputQueue::Origin kPeerToPeerInput = std::numeric_limits<QemuInputQueue::Origin>::max();

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
    auto &video = RemoteDesktopServer::shared();
    m_server.setStreamingCheck([&video](const AgentConnection &connection) { return video.isStreamingTo(&connection); });
    // Whatever ends a client's input (its stream, its connection) lets go of
    // the keys and buttons it holds in the guest.
    connect(&m_server, &AgentServer::connectionClosed, this, [this, &video](AgentConnection *connection) {
        if (video.isStreamingTo(connection))
            video.stop();
        m_input->endInputFrom(connection->id());
    });
    connect(&video, &RemoteDesktopServer::streamStopped, this, [this](const RemoteDesktopSource &source) {
        if (source.kind == RemoteDesktopSource::Kind::runtime)
            m_input->endInput(source.runtimeID);
    });
    video.setRuntimes(remoteDesktopRuntimes(*m_runtimeManager));
    auto &session = RemoteDesktopWebRTCSession::shared();
    session.onSignal = [this](const RemoteDesktopP2PSignal &signal) { sendP2PSignalViaRelay(signal); };
    session.onInput = [this](QUuid runtimeID, const RemoteDesktopInputEvent &event) {
        m_input->handleInput(runtimeID, event, kPeerToPeerInput);
    };
    session.onInputEnded = [this](QUuid) { m_input->endInputFrom(kPeerToPeerInput); };
}

RemoteDesktopRuntimes AgentManager::remoteDesktopRuntimes(RuntimeManager &manager)
{
    RuntimeManager *runtimes = &manager;
    return RemoteDesktopRuntimes{
        [runtimes](const QUuid &runtimeID) { return runtimes->virtualMachine(runtimeID); },
        [runtimes](const QUuid &runtimeID) -> std::optional<RuntimeConfig> {
            try {
                return runtimes->store().readRuntime(runtimeID);
            } catch (const std::exception &) {
                return std::nullopt;
            }
        }};
}

AgentManager::~AgentManager()
{
    // The input controller goes before the server and the stream's notices.
    m_server.disconnect(this);
    RemoteDesktopServer::shared().disconnect(this);
    RemoteDesktopServer::shared().setRuntimes({});
    auto &session = RemoteDesktopWebRTCSession::shared();
    session.close();
    session.onSignal = nullptr;
    session.onInput = nullptr;
    session.onInputEnded = nullptr;
}

QUrl AgentManager::builtInRelayURL()
{
    return QUrl(QStringLiteral("wss://relay.trellium.example/v1/agent"));
}

std::optional<QUrl> AgentManager::readRelayConnectionURL()
{
    const QString text = userDefaults()->value(QLatin1String(kRelayURLKey)).toString().trimmed();
    if (text.isEmpty())
        return builtInRelayURL();
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("ws") && scheme != QLatin1String("wss")) || url.host().isEmpty())
        return std::nullopt;
    return url;
}

void AgentManager::sendP2PSignalViaRelay(const RemoteDesktopP2PSignal &signal)
{
    m_relayClient.sendSignal(signal);
}

void AgentManager::handleP2PSignal(const RemoteDesktopP2PSignal &signal)
{
    auto handle = [](RemoteDesktopP2PSignal received) -> QCoro::Task<void> {
        try {
            co_await RemoteDesktopWebRTCSession::shared().handleSignal(std::move(received));
        } catch (const std::exception &error) {
            logLine(QStringLiteral("P2P Signaling Fehler:"), describeError(error));
        }
    };
    startDetached(handle(signal), QStringLiteral("P2P signal"));
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
    m_relayConnectionURL = readRelayConnectionURL();
    if (!m_server.isRunning())
        setStatus(AgentStatus::failed, m_server.errorMessage().value_or(QStringLiteral("Fehler")));
    else if (!m_relayConnectionURL)
        setStatus(AgentStatus::online, QStringLiteral("Relay-URL ungültig"));
    else
        setStatus(AgentStatus::online, QStringLiteral("Online"));
}

void AgentManager::stop()
{
    RemoteDesktopServer::shared().stop();
    RemoteDesktopWebRTCSession::shared().close();
    m_relayClient.setConnected(false);
    m_server.stop();
    setStatus(AgentStatus::offline, QStringLiteral("Offline"));
}

QSize AgentManager::scaledRuntimeSize(int64_t baseWidth, int64_t baseHeight, RemoteDesktopQuality quality)
{
    return remoteDesktopScaledSize(baseWidth, baseHeight, quality);
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
    request.bitrate = remoteDesktopBitrate(quality);
    return request;
}

QString AgentManager::agentStatusName(AgentStatus status)
{
    switch (status) {
    case AgentStatus::offline:
        return QStringLiteral("offline");
    case AgentStatus::online:
        return QStringLiteral("online");
    case AgentStatus::connected:
        return QStringLiteral("connected");
    case AgentStatus::building:
        return QStringLiteral("building");
    case AgentStatus::failed:
        return QStringLiteral("failed");
    }
    return {};
}

AgentCheckService::AgentSnapshot AgentManager::checkSnapshot()
{
    return {agentStatusName(m_agentStatus), m_server.isRunning(), m_server.port(), m_relayClient.isConnected()};
}

QCoro::Task<SystemCheckResult> AgentManager::runSystemCheck()
{
    AgentCheckService::Dependencies dependencies;
    dependencies.agent = [this]() { return checkSnapshot(); };
    AgentCheckService service(std::move(dependencies));
    co_return co_await service.runChecks();
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
            m_input->handleInput(source.runtimeID, *job.remoteDesktopInputEvent, connection->id());
        break;
    }
    }
}

} // namespace trellium
