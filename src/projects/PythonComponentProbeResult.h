#pragma once

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace trellium {

// What one run of a Python interpreter reported about itself.
struct PythonComponentProbeResult {
    QString version;  // as printed, e.g. "3.12.4"
    int major = 0;
    int minor = 0;
    bool hasVenv = false;
    bool hasPip = false;
    bool hasEnsurePip = false;

    bool operator==(const PythonComponentProbeResult &) const = default;

    // The script passed with "-c": the version, then "1" or "0" for venv, pip
    // and ensurepip, one line each.
    static QString probeScript();

    // Exactly four lines whose first has at least two dot-separated integers;
    // anything else is nothing.
    static std::optional<PythonComponentProbeResult> parse(const QByteArray &output);
};

// Runs the interpreter at `path` with the probe script (both output channels
// in one stream) and waits for it, at most `timeout`. Nothing when it cannot
// be started, exits other than 0, runs too long or prints anything else.
// Never throws.
QCoro::Task<std::optional<PythonComponentProbeResult>>
probePythonInterpreter(QString path, std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace trellium
