// Feeds untrusted input to the agent's decoders: job lines from the local
// connection, runtime records and image manifests read from disk, input
// events, the host files the address resolver parses, and the output of the
// tools the component manager runs. The first byte
// picks the decoder.

#include "core/Json.h"
#include "host/AgentComponentManager.h"
#include "host/ComponentFiles.h"
#include "host/InstalledAgentComponent.h"
#include "host/PropertyList.h"
#include "model/BuildJob.h"
#include "model/RuntimeConfig.h"
#include "runtime/images/LinuxImageManager.h"
#include "runtime/linux/LinuxRuntimeIPResolver.h"

#include <cstddef>
#include <cstdint>

using namespace trellium;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    try {
        switch (data[0] % 7) {
        case 0:
            BuildJob::fromJson(parseJsonObject(input), DateStyle::ISO8601);
            break;
        case 1:
            RuntimeConfig::fromJson(parseJsonObject(input), DateStyle::ISO8601);
            break;
        case 2:
            LinuxImageManager::SourceManifest::fromJson(parseJsonObject(input));
            LinuxImageManager::TemplateManifest::fromJson(parseJsonObject(input));
            break;
        case 3:
            RemoteDesktopInputEvent::fromJson(parseJsonObject(input));
            break;
        case 4: {
            RuntimeConfig runtime;
            runtime.hostname = QStringLiteral("runtime1");
            runtime.macAddress = QStringLiteral("52:54:00:0a:0b:0c");
            const QString text = QString::fromUtf8(input);
            LinuxRuntimeIPResolver::leaseBlockCandidates(text, runtime);
            LinuxRuntimeIPResolver::dnsmasqLeaseCandidates(text, runtime);
            LinuxRuntimeIPResolver::parseARPOutput(text, QStringLiteral("192.168.64."));
            break;
        }
        case 5:
            parseISO8601(QString::fromUtf8(input));
            parseUuid(QString::fromUtf8(input));
            break;
        case 6:
            // What tools and component folders hand back.
            PythonComponentProbeResult::parse(input);
            ComponentFiles::refuseUnsafeEntries(input);
            PropertyList::parse(input);
            AgentComponentManager::mountPointFromAttachOutput(input);
            InstalledAgentComponent::decodeReceipt(input);
            break;
        }
    } catch (const Error &) {
        // Refusing bad input is the expected outcome.
    }
    return 0;
}
