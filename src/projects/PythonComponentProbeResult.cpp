#include "projects/PythonComponentProbeResult.h"

#include "core/Process.h"

#include <QList>

namespace trellium {

QString PythonComponentProbeResult::probeScript()
{
    return QStringLiteral(
        "import sys, importlib.util\n"
        "print('%d.%d.%d' % sys.version_info[:3])\n"
        "for name in ('venv', 'pip', 'ensurepip'):\n"
        "    print('1' if importlib.util.find_spec(name) is not None else '0')");
}

std::optional<PythonComponentProbeResult> PythonComponentProbeResult::parse(const QByteArray &output)
{
    QByteArray text = output;
    if (text.endsWith('\n'))
        text.chop(1);
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() != 4)
        return std::nullopt;
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }

    const QString version = QString::fromUtf8(lines[0]).trimmed();
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() < 2)
        return std::nullopt;
    bool majorOk = false;
    bool minorOk = false;
    PythonComponentProbeResult result;
    result.major = parts[0].toInt(&majorOk);
    result.minor = parts[1].toInt(&minorOk);
    if (!majorOk || !minorOk)
        return std::nullopt;
    result.version = version;
    result.hasVenv = lines[1].trimmed() == "1";
    result.hasPip = lines[2].trimmed() == "1";
    result.hasEnsurePip = lines[3].trimmed() == "1";
    return result;
}

QCoro::Task<std::optional<PythonComponentProbeResult>> probePythonInterpreter(QString path,
                                                                              std::chrono::milliseconds timeout)
{
    ProcessOptions options;
    options.channels = ProcessOptions::Channels::Merged;
    options.timeout = timeout;
    const QStringList arguments{QStringLiteral("-c"), PythonComponentProbeResult::probeScript()};
    try {
        const ProcessResult result = co_await runProcess(path, arguments, options);
        if (!result.succeeded())
            co_return std::nullopt;
        co_return PythonComponentProbeResult::parse(result.standardOutput);
    } catch (...) {
        co_return std::nullopt;
    }
}

} // namespace trellium
