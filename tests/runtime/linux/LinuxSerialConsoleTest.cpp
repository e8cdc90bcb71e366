#include "core/Errors.h"
#include "core/Files.h"
#include "runtime/linux/LinuxSerialConsoleRegistry.h"

#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

using namespace trellium;

namespace {

class LinuxSerialConsoleTest : public test::DataHomeTest {
protected:
    void TearDown() override
    {
        LinuxSerialConsoleRegistry::shared().stopCaptures(first);
        LinuxSerialConsoleRegistry::shared().stopCaptures(second);
        DataHomeTest::TearDown();
    }

    static void guestWrites(const SerialPortAttachment &attachment, const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(attachment.fileDescriptor(), bytes.constData() + done, size_t(bytes.size() - done));
            ASSERT_GT(n, 0);
            done += n;
        }
    }

    // The reader works on its own thread; wait until the log has grown.
    static void waitForLogSize(const QString &path, int64_t size)
    {
        QElapsedTimer clock;
        clock.start();
        while (fileSize(path) < size && clock.elapsed() < 20000)
            QThread::msleep(5);
    }

    QString logPath(const QString &name) { return scratch() + "/" + name; }

    const QUuid first = QUuid::createUuid();
    const QUuid second = QUuid::createUuid();
    LinuxSerialConsoleRegistry &registry = LinuxSerialConsoleRegistry::shared();
};

const QRegularExpression kStart(QStringLiteral(
    R"(^===== TRELLIUM SERIAL CONSOLE START \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000 =====\n)"));
const QRegularExpression kEnd(QStringLiteral(
    R"(\n===== TRELLIUM SERIAL CONSOLE END \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000 =====$)"));

} // namespace

TEST_F(LinuxSerialConsoleTest, LogsGuestOutputBetweenBannersAndStopsOnce)
{
    // A log that cannot be written fails and registers nothing.
    EXPECT_THROW(registry.makeSerialAttachment(first, "system-console", scratch() + "/missing/serial.log"), FileError);
    EXPECT_EQ(registry.capture(first, "system-console"), nullptr);

    const QString path = logPath("serial.log");
    const auto attachment = registry.makeSerialAttachment(first, "system-console", path);
    ASSERT_GE(attachment.fileDescriptor(), 0);
    const int64_t bannerSize = fileSize(path);
    guestWrites(attachment, "Booting Linux\n");
    guestWrites(attachment, "login: ");
    waitForLogSize(path, bannerSize + 21);

    attachment.capture->stop();
    attachment.capture->stop();
    const QString log = QString::fromUtf8(readWholeFile(path));
    EXPECT_TRUE(kStart.match(log).hasMatch()) << log.toStdString();
    EXPECT_TRUE(kEnd.match(log).hasMatch()) << log.toStdString();
    EXPECT_TRUE(log.contains("=====\nBooting Linux\nlogin: \n===== TRELLIUM SERIAL CONSOLE END"));
    EXPECT_EQ(log.count("SERIAL CONSOLE END"), 1);
    EXPECT_EQ(attachment.fileDescriptor(), -1);
}

TEST_F(LinuxSerialConsoleTest, SilentGuestGivesBannersOnlyANewCaptureStartsAFreshLogOthersKeepLoggingAllTheyGet)
{
    const QString path = logPath("legacy-serial.log");
    auto attachment = registry.makeSerialAttachment(first, "legacy-serial", path);
    const int64_t bannerSize = fileSize(path);
    guestWrites(attachment, "first boot\n");
    waitForLogSize(path, bannerSize + 11);

    // A second start replaces (and stops) the earlier capture.
    auto restarted = registry.makeSerialAttachment(first, "legacy-serial", path);
    EXPECT_TRUE(attachment.capture->isStopped());
    EXPECT_EQ(registry.capture(first, "legacy-serial"), restarted.capture);
    // Stopping one runtime's captures leaves another's logging.
    const auto other = registry.makeSerialAttachment(second, "system-console", logPath("other.log"));
    registry.stopCaptures(first);
    EXPECT_TRUE(restarted.capture->isStopped());
    EXPECT_EQ(registry.capture(first, "legacy-serial"), nullptr);
    EXPECT_FALSE(other.capture->isStopped());
    // Very large output is logged whole, the end banner after it.
    const int64_t before = fileSize(logPath("other.log"));
    const QByteArray chunk(1 << 20, 'x');
    for (int i = 0; i < 32; ++i)
        guestWrites(other, chunk);
    guestWrites(other, "still here\n");
    waitForLogSize(logPath("other.log"), before + 32 * chunk.size() + 11);
    other.capture->stop();
    const QByteArray otherLog = readWholeFile(logPath("other.log"));
    EXPECT_EQ(otherLog.count('x'), 32 * chunk.size());
    EXPECT_TRUE(kEnd.match(QString::fromUtf8(otherLog.right(200))).hasMatch());
    EXPECT_TRUE(otherLog.contains("still here\n\n===== TRELLIUM SERIAL CONSOLE END"));

    const QString log = QString::fromUtf8(readWholeFile(path));
    EXPECT_FALSE(log.contains("first boot"));
    EXPECT_EQ(log.count("SERIAL CONSOLE START"), 1);
    // Nothing between the banners but the END banner's own line feed.
    EXPECT_TRUE(QRegularExpression(kStart.pattern() + R"(\n===== TRELLIUM SERIAL CONSOLE END [^\n]* =====$)")
                    .match(log)
                    .hasMatch())
        << log.toStdString();
}
