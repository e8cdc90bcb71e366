#include "projects/PythonComponentProbeResult.h"

#include "core/Async.h"
#include "core/Process.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace trellium;

namespace {

class PythonProbe : public test::DataHomeTest {
protected:
    // A stand-in interpreter that ignores its arguments and prints `output`.
    QString fakePython(const QString &name, const QByteArray &output, int exitCode = 0)
    {
        const QString path = scratch(name) + QStringLiteral("/python3");
        test::writeExecutable(path, "#!/bin/sh\nprintf '" + output + "'\nexit " + QByteArray::number(exitCode) + "\n");
        return path;
    }
};

} // namespace

TEST_F(PythonProbe, ReadsTheRealSystemInterpreterAndNothingButFourWellFormedLinesFromAGoodExit)
{
    const auto probe = runSync(probePythonInterpreter(QStringLiteral("/usr/bin/python3")));
    ASSERT_TRUE(probe.has_value());
    // The same interpreter, asked its own way.
    const ProcessResult version = runProcessBlocking(QStringLiteral("/usr/bin/python3"), {QStringLiteral("--version")});
    EXPECT_EQ(QString::fromUtf8(version.standardOutput).trimmed(), QStringLiteral("Python ") + probe->version);
    EXPECT_EQ(probe->major, 3);
    EXPECT_GE(probe->minor, 11);
    // scripts/setup installs venv and pip for the system interpreter.
    EXPECT_TRUE(probe->hasVenv);
    EXPECT_TRUE(probe->hasPip);
    EXPECT_TRUE(probe->hasEnsurePip);

    // Anything but four well-formed lines from a good exit is nothing: a
    // failing interpreter, even with a good-looking answer.
    EXPECT_FALSE(runSync(probePythonInterpreter(fakePython(QStringLiteral("exit1"), "3.12.4\\n1\\n1\\n1\\n", 1))));
    // A warning on standard error shares the stream and spoils the answer.
    EXPECT_FALSE(runSync(probePythonInterpreter(fakePython(QStringLiteral("warn"), "3.12.4\\n1\\n1\\n1\\nwarning\\n"))));
    EXPECT_FALSE(runSync(probePythonInterpreter(fakePython(QStringLiteral("short"), "3.12.4\\n1\\n1\\n"))));
    EXPECT_FALSE(runSync(probePythonInterpreter(fakePython(QStringLiteral("single"), "3\\n1\\n1\\n1\\n"))));
    EXPECT_FALSE(runSync(probePythonInterpreter(fakePython(QStringLiteral("words"), "three.twelve\\n1\\n1\\n1\\n"))));
    EXPECT_FALSE(runSync(probePythonInterpreter(QStringLiteral("/nonexistent/python3"))));

    // A probe that never ends is bounded.
    const QString hanging = scratch(QStringLiteral("hang")) + QStringLiteral("/python3");
    test::writeExecutable(hanging, "#!/bin/sh\nexec sleep 30\n");
    EXPECT_FALSE(runSync(probePythonInterpreter(hanging, std::chrono::milliseconds(300))));
}
