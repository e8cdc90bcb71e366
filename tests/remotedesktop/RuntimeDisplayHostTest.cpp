#include "core/Json.h"
#include "platform/display/VncFramebufferConverter.h"
#include "platform/display/VncFramebufferMirror.h"
#include "remotedesktop/RuntimeDisplayHost.h"

#include "support/ScriptedMachine.h"
#include "support/TestEnvironment.h"
#include "support/VncFakeServer.h"

#include <QFile>
#include <QPainter>
#include <QThread>

#include <functional>

using namespace trellium;
using namespace std::chrono_literals;
using test::VncFakeServer;

namespace {

const QRgb kRed = qRgb(220, 20, 30);
const QRgb kGreen = qRgb(10, 200, 40);
const QRgb kBlue = qRgb(30, 40, 210);
const QRgb kWhite = qRgb(250, 250, 250);

// Four coloured quadrants: a swapped axis or colour channel shows at once.
QImage quadrants(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    QPainter painter(&picture);
    painter.fillRect(0, 0, width / 2, height / 2, QColor(kRed));
    painter.fillRect(width / 2, 0, width - width / 2, height / 2, QColor(kGreen));
    painter.fillRect(0, height / 2, width / 2, height - height / 2, QColor(kBlue));
    painter.fillRect(width / 2, height / 2, width - width / 2, height - height / 2, QColor(kWhite));
    return picture;
}

// Runs the event loop until the condition holds; the bound only catches hangs.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout = 60s)
{
    return test::waitUntil(condition, timeout);
}

// QImage compares and reads RGB32 pixels as opaque whatever their unused
// byte holds; the byte itself must say opaque too.
bool isOpaque(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) != 255)
                return false;
        }
    }
    return true;
}

QRgb pixelAt(const PixelBuffer &buffer, int x, int y)
{
    const uchar *pixel = buffer.row(y) + x * 4;
    return qRgb(pixel[2], pixel[1], pixel[0]);  // B, G, R in memory
}

// The quadrants' colours near the corners of a scaled picture of that size.
void expectQuadrants(const std::function<QRgb(int x, int y)> &pixel, int width, int height)
{
    const int left = width / 10, right = width - 1 - width / 10;
    const int top = height / 10, bottom = height - 1 - height / 10;
    EXPECT_EQ(pixel(left, top), kRed);
    EXPECT_EQ(pixel(right, top), kGreen);
    EXPECT_EQ(pixel(left, bottom), kBlue);
    EXPECT_EQ(pixel(right, bottom), kWhite);
}

// What a converter that starts from nothing makes of the mirror now.
std::shared_ptr<const I420Picture> fresh(const VncFramebufferMirror &mirror, int width, int height)
{
    VncFramebufferConverter converter;
    const auto frame = converter.frame(mirror, width, height);
    return frame ? frame->picture : nullptr;
}

std::vector<uint8_t> lumaOf(const I420Picture &picture)
{
    std::vector<uint8_t> bytes;
    for (int y = 0; y < picture.height(); ++y)
        bytes.insert(bytes.end(), picture.plane(0) + ptrdiff_t(y) * picture.stride(0),
                     picture.plane(0) + ptrdiff_t(y) * picture.stride(0) + picture.width());
    return bytes;
}

// A running machine that has nothing but a screen socket.
std::shared_ptr<test::ScriptedMachine> screenMachine(const QString &socketPath)
{
    auto machine = std::make_shared<test::ScriptedMachine>();
    machine->setState(VirtualMachineState::running);
    machine->vncSocket = socketPath;
    return machine;
}

class VncFramebufferMirrorTest : public test::DataHomeTest {
protected:
    QString socket(const QString &name = QStringLiteral("vnc.sock")) { return scratch() + QLatin1Char('/') + name; }
};

class RuntimeDisplayHostTest : public VncFramebufferMirrorTest {
protected:
    static RuntimeDisplayHost::Options immediateRebind()
    {
        RuntimeDisplayHost::Options options;
        options.rebindDelay = 0ms;
        return options;
    }

    // The runtime's view of the machine's screen, attached at the runtime's
    // display size; none unless its first picture came in.
    RuntimeDisplayView *attachScreen(RuntimeDisplayHost &host, const std::shared_ptr<test::ScriptedMachine> &machine)
    {
        RuntimeDisplayView *view = host.attach(runtime, machine, 1600, 1120);
        const bool pictured = view->mirror && waitUntil([&] { return view->mirror->hasPicture(); });
        return pictured ? view : nullptr;
    }

    const QUuid runtime = QUuid::createUuid();
    test::LogCapture log;
};

} // namespace

TEST_F(VncFramebufferMirrorTest, MirrorsAndConvertsThePictureFollowsChangesAndResizesOnTheMainThread)
{
    VncFakeServer server(socket(), quadrants(64, 48));
    ASSERT_TRUE(server.isListening());
    VncFramebufferMirror mirror(server.socketPath());
    QList<VncFramebufferMirror::State> states;
    bool offThread = false;
    QObject::connect(&mirror, &VncFramebufferMirror::stateChanged, [&](VncFramebufferMirror::State state) {
        offThread |= QThread::currentThread() != qApp->thread();
        states << state;
    });
    QObject::connect(&mirror, &VncFramebufferMirror::updated,
                     [&] { offThread |= QThread::currentThread() != qApp->thread(); });

    ASSERT_TRUE(waitUntil([&] { return mirror.hasPicture(); }));
    EXPECT_TRUE(mirror.isConnected());
    EXPECT_EQ(mirror.size(), QSize(64, 48));
    EXPECT_EQ(mirror.image(), quadrants(64, 48));
    EXPECT_TRUE(isOpaque(mirror.image()));
    // While nothing changes, a request waits at the server for the next change.
    EXPECT_TRUE(waitUntil([&] { return server.hasWaitingIncrementalRequest(); }));

    // Snapshots scale each direction on its own.
    const PixelBuffer tall = mirror.snapshot(20, 100);
    ASSERT_TRUE(tall.isValid());
    EXPECT_EQ(tall.width, 20);
    EXPECT_EQ(tall.height, 100);
    EXPECT_EQ(tall.data.size(), qsizetype(tall.bytesPerRow) * 100);
    expectQuadrants([&](int x, int y) { return pixelAt(tall, x, y); }, 20, 100);
    const PixelBuffer wide = mirror.snapshot(300, 10);
    ASSERT_TRUE(wide.isValid());
    expectQuadrants([&](int x, int y) { return pixelAt(wide, x, y); }, 300, 10);
    EXPECT_FALSE(mirror.snapshot(0, 10).isValid());
    EXPECT_FALSE(mirror.snapshot(10, -1).isValid());

    // A stream converts the whole first picture, then nothing while nothing
    // changed; another stream size starts over.
    VncFramebufferConverter converter;
    const auto first = converter.frame(mirror, 48, 36);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->unchanged);
    EXPECT_EQ(converter.convertedPixels(), 64 * 48);
    EXPECT_TRUE(first->picture->hasSamePixels(*fresh(mirror, 48, 36)));
    const auto still = converter.frame(mirror, 48, 36);
    ASSERT_TRUE(still);
    EXPECT_EQ(still->picture, first->picture);
    EXPECT_TRUE(still->unchanged);
    EXPECT_EQ(converter.convertedPixels(), 0);
    VncFramebufferConverter other;
    ASSERT_TRUE(other.frame(mirror, 48, 36));
    const auto otherSize = other.frame(mirror, 30, 20);
    ASSERT_TRUE(otherSize);
    EXPECT_FALSE(otherSize->unchanged);
    EXPECT_TRUE(otherSize->picture->hasSamePixels(*fresh(mirror, 30, 20)));

    // A small change arrives as a partial update and lands in place; only
    // its area is converted, to what a full conversion gives, and not into
    // the frame the encoder may still be reading.
    QImage changed = quadrants(64, 48);
    QPainter(&changed).fillRect(QRect(40, 5, 7, 30), QColor(kBlue));
    const uint64_t before = mirror.updateCount();
    server.setPicture(changed);
    ASSERT_TRUE(waitUntil([&] { return mirror.image() == changed; })) << mirror.updateCount();
    EXPECT_GT(mirror.updateCount(), before);
    const std::vector<uint8_t> heldByEncoder = lumaOf(*first->picture);
    const auto next = converter.frame(mirror, 48, 36);
    ASSERT_TRUE(next);
    EXPECT_GT(converter.convertedPixels(), 0);
    EXPECT_LT(converter.convertedPixels(), 64 * 48 / 4);
    EXPECT_FALSE(next->unchanged);
    EXPECT_TRUE(next->picture->hasSamePixels(*fresh(mirror, 48, 36)));
    EXPECT_NE(next->picture, first->picture);
    EXPECT_EQ(lumaOf(*first->picture), heldByEncoder);

    // The guest switches resolution (firmware to desktop): the mirror follows.
    const QImage resized = quadrants(90, 30);
    server.setPicture(resized);
    ASSERT_TRUE(waitUntil([&] { return mirror.size() == QSize(90, 30) && mirror.image() == resized; }))
        << mirror.size().width() << "x" << mirror.size().height();
    EXPECT_TRUE(server.clientHandlesResize());
    EXPECT_EQ(server.connections(), 1);

    // The server goes: the last picture stays.
    server.dropClient();
    ASSERT_TRUE(waitUntil([&] { return states.contains(VncFramebufferMirror::State::disconnected); }));
    EXPECT_EQ(states, (QList{VncFramebufferMirror::State::connected, VncFramebufferMirror::State::disconnected}));
    EXPECT_FALSE(offThread);
    EXPECT_EQ(mirror.state(), VncFramebufferMirror::State::disconnected);
    EXPECT_EQ(mirror.image(), resized);
}

TEST_F(VncFramebufferMirrorTest, ConnectingIsBoundedAndStoppingNeverHangs)
{
    // No socket at all: fails at once, without a picture.
    VncFramebufferMirror missing(socket(QStringLiteral("missing.sock")));
    ASSERT_TRUE(waitUntil([&] { return missing.state() == VncFramebufferMirror::State::disconnected; }));
    EXPECT_FALSE(missing.hasPicture());
    EXPECT_TRUE(missing.image().isNull());
    EXPECT_FALSE(missing.snapshot(20, 10).isValid());

    // A server that accepts but never speaks: the handshake gives up.
    VncFakeServer silent(socket(QStringLiteral("silent.sock")), quadrants(64, 48));
    silent.setBehaviour(VncFakeServer::Behaviour::silent);
    VncFramebufferMirror::Options quick;
    quick.connectTimeout = 1s;
    VncFramebufferMirror gaveUp(silent.socketPath(), quick);
    ASSERT_TRUE(waitUntil([&] { return gaveUp.state() == VncFramebufferMirror::State::disconnected; }));
    EXPECT_EQ(silent.connections(), 1);

    // Destroying a mirror that waits in the handshake (a bound it would
    // never reach) returns: the wait is woken, not sat out.
    VncFramebufferMirror::Options patient;
    patient.connectTimeout = std::chrono::hours(1);
    {
        VncFramebufferMirror waiting(silent.socketPath(), patient);
        ASSERT_TRUE(waitUntil([&] { return silent.connections() == 2; }));
        EXPECT_EQ(waiting.state(), VncFramebufferMirror::State::connecting);
    }

    // Likewise in the middle of an update that never completes; the half
    // update is not shown.
    VncFakeServer stalling(socket(QStringLiteral("stall.sock")), quadrants(64, 48));
    {
        VncFramebufferMirror mirror(stalling.socketPath(), patient);
        ASSERT_TRUE(waitUntil([&] { return mirror.hasPicture() && stalling.hasWaitingIncrementalRequest(); }));
        stalling.setBehaviour(VncFakeServer::Behaviour::stallUpdates);
        const int sent = stalling.updatesSent();
        QImage changed = quadrants(64, 48);
        changed.fill(kGreen);
        stalling.setPicture(changed);
        ASSERT_TRUE(waitUntil([&] { return stalling.updatesSent() > sent; }));
        EXPECT_EQ(mirror.image(), quadrants(64, 48));
        EXPECT_TRUE(mirror.isConnected());
    }
}

TEST_F(RuntimeDisplayHostTest, AttachKeepsTheFirstViewWhileTheMachineStaysTheSameAndDoesNotRetryAFailedConnection)
{
    RuntimeDisplayHost::Options options;
    options.rebindDelay = std::chrono::hours(1);
    RuntimeDisplayHost host(options);
    auto machine = std::make_shared<test::ScriptedMachine>();
    RuntimeDisplayView *view = host.attach(runtime, machine, 1600, 1120);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(host.attach(runtime, machine, 800, 600), view);
    EXPECT_EQ(view->width, 1600);
    EXPECT_EQ(view->height, 1120);
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost attached in hidden window: ") + uuidText(runtime)), 1);
    EXPECT_TRUE(host.isAttached(runtime));
    EXPECT_EQ(host.machine(runtime), machine);

    // A machine without a screen socket: the view exists, pictures do not.
    EXPECT_EQ(view->mirror, nullptr);
    EXPECT_FALSE(host.snapshot(runtime, 100, 70));
    EXPECT_TRUE(log.contains(QStringLiteral("RuntimeDisplayHost snapshot failed")));
    const QString file = scratch() + QStringLiteral("/boot-screen.png");
    host.saveDiagnosticSnapshot(runtime, 100, 70, file);
    EXPECT_TRUE(log.contains(QStringLiteral("RuntimeDisplayHost diagnostic snapshot failed")));
    EXPECT_FALSE(QFile::exists(file));

    // The host does not keep the machine alive.
    machine.reset();
    EXPECT_EQ(host.machine(runtime), nullptr);
    EXPECT_TRUE(host.isAttached(runtime));

    // A failed connection is not retried on every attach.
    const QUuid other = QUuid::createUuid();
    auto unreachable = screenMachine(socket(QStringLiteral("gone.sock")));
    view = host.attach(other, unreachable, 64, 48);
    ASSERT_TRUE(waitUntil([&] { return view->mirror->state() == VncFramebufferMirror::State::disconnected; }));
    view = host.attach(other, unreachable, 64, 48);
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost attached in hidden window: ") + uuidText(other)), 1);
    EXPECT_EQ(view->mirror->state(), VncFramebufferMirror::State::disconnected);
    EXPECT_FALSE(host.snapshot(other, 64, 48));
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost snapshot failed")), 2);
}

TEST_F(RuntimeDisplayHostTest, SnapshotsAndDiagnosticPicturesAreScaledToTheRequestedSizeUntilDetached)
{
    RuntimeDisplayHost host;
    VncFakeServer server(socket(), quadrants(64, 48));
    auto machine = screenMachine(server.socketPath());
    RuntimeDisplayView *view = attachScreen(host, machine);
    ASSERT_NE(view, nullptr);

    const std::optional<PixelBuffer> picture = host.snapshot(runtime, 30, 90);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 30);
    EXPECT_EQ(picture->height, 90);
    expectQuadrants([&](int x, int y) { return pixelAt(*picture, x, y); }, 30, 90);

    const std::optional<QImage> rendered = host.render(*view, 16, 12);
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->size(), QSize(16, 12));
    EXPECT_FALSE(host.render(*view, 0, 12));

    // Into folders that do not exist yet.
    const QString file = scratch() + QStringLiteral("/runtime/logs/boot-screen.png");
    host.saveDiagnosticSnapshot(runtime, 160, 40, file);
    EXPECT_TRUE(log.contains(QStringLiteral("RuntimeDisplayHost diagnostic snapshot saved: ") + file));
    QImage png;
    ASSERT_TRUE(png.load(file, "PNG"));
    EXPECT_EQ(png.size(), QSize(160, 40));
    expectQuadrants([&](int x, int y) { return png.pixel(x, y); }, 160, 40);

    // A parent that is a file cannot become a folder.
    QFile blocker(scratch() + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    host.saveDiagnosticSnapshot(runtime, 16, 12, blocker.fileName() + QStringLiteral("/boot-screen.png"));
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost diagnostic snapshot write failed: ")), 1);

    // Detaching ends the mirror; an unknown runtime changes nothing.
    const QUuid other = QUuid::createUuid();
    host.attach(other, std::make_shared<test::ScriptedMachine>(), 64, 48);
    host.detach(QUuid::createUuid());
    EXPECT_TRUE(host.isAttached(runtime));
    EXPECT_TRUE(host.isAttached(other));
    EXPECT_TRUE(server.hasClient());

    host.detach(runtime);
    EXPECT_FALSE(host.isAttached(runtime));
    EXPECT_EQ(host.machine(runtime), nullptr);
    EXPECT_TRUE(host.isAttached(other));
    EXPECT_TRUE(waitUntil([&] { return !server.hasClient(); }));

    EXPECT_FALSE(host.snapshot(runtime, 64, 48));
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost view missing")), 1);
    host.saveDiagnosticSnapshot(runtime, 64, 48, scratch() + QStringLiteral("/never.png"));
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost diagnostic snapshot view missing")), 1);
    EXPECT_FALSE(QFile::exists(scratch() + QStringLiteral("/never.png")));
}

TEST_F(RuntimeDisplayHostTest, RebindsWhenTheMachineOrItsConnectionChanges)
{
    RuntimeDisplayHost host(immediateRebind());
    VncFakeServer first(socket(QStringLiteral("first.sock")), quadrants(64, 48));
    auto machine = screenMachine(first.socketPath());
    RuntimeDisplayView *view = host.attach(runtime, machine, 64, 48);
    ASSERT_TRUE(waitUntil([&] { return view->mirror->hasPicture(); }));

    // Connected: attaching again changes nothing.
    EXPECT_EQ(host.attach(runtime, machine, 64, 48)->mirror->state(), VncFramebufferMirror::State::connected);
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost attached in hidden window:")), 1);
    EXPECT_EQ(first.connections(), 1);

    // The connection dropped: the next attach connects anew.
    first.dropClient();
    ASSERT_TRUE(waitUntil([&] { return view->mirror->state() == VncFramebufferMirror::State::disconnected; }));
    view = host.attach(runtime, machine, 64, 48);
    ASSERT_TRUE(waitUntil([&] { return view->mirror->hasPicture(); }));
    EXPECT_EQ(first.connections(), 2);
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost attached in hidden window:")), 2);

    // The same machine restarted with a new socket.
    QImage restarted(64, 48, QImage::Format_RGB32);
    restarted.fill(kGreen);
    VncFakeServer second(socket(QStringLiteral("second.sock")), restarted);
    machine->vncSocket = second.socketPath();
    view = host.attach(runtime, machine, 64, 48);
    ASSERT_TRUE(waitUntil([&] { return view->mirror->hasPicture(); }));
    EXPECT_EQ(view->mirror->image(), restarted);
    EXPECT_TRUE(waitUntil([&] { return !first.hasClient(); }));

    // Another machine instance for the runtime.
    auto replacement = screenMachine(first.socketPath());
    view = host.attach(runtime, replacement, 64, 48);
    EXPECT_EQ(host.machine(runtime), replacement);
    ASSERT_TRUE(waitUntil([&] { return view->mirror->hasPicture(); }));
    EXPECT_EQ(view->mirror->image(), quadrants(64, 48));
    EXPECT_TRUE(waitUntil([&] { return !second.hasClient(); }));
}

TEST_F(RuntimeDisplayHostTest, FollowsTheGuestsResizesToTheirExactSizeOnTheSameConnection)
{
    RuntimeDisplayHost host;
    VncFakeServer server(socket(), quadrants(640, 480));
    auto machine = screenMachine(server.socketPath());
    RuntimeDisplayView *view = attachScreen(host, machine);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->mirror->size(), QSize(640, 480));
    const uint64_t mirror = view->mirror->serial();

    // The firmware's second mode, then the desktop's. Each snapshot at the
    // guest's own size is its picture pixel for pixel; the view keeps the
    // size it was attached with, and its one connection.
    const auto sameAs = [](const PixelBuffer &buffer, const QImage &expected) {
        const QImage shown(reinterpret_cast<const uchar *>(buffer.data.constData()), buffer.width, buffer.height,
                           buffer.bytesPerRow, QImage::Format_RGB32);
        return shown == expected;
    };
    for (const QSize size : {QSize(1280, 800), QSize(1600, 1120)}) {
        SCOPED_TRACE(size.width());
        const QImage resized = quadrants(size.width(), size.height());
        server.setPicture(resized);
        ASSERT_TRUE(waitUntil([&] { return view->mirror->size() == size && view->mirror->image() == resized; }))
            << view->mirror->size().width() << "x" << view->mirror->size().height();
        const std::optional<PixelBuffer> exact = host.snapshot(runtime, size.width(), size.height());
        ASSERT_TRUE(exact);
        EXPECT_EQ(QSize(exact->width, exact->height), size);
        EXPECT_TRUE(sameAs(*exact, resized));
        const std::optional<PixelBuffer> scaled = host.snapshot(runtime, 320, 200);
        ASSERT_TRUE(scaled);
        expectQuadrants([&](int x, int y) { return pixelAt(*scaled, x, y); }, 320, 200);
        view = host.attach(runtime, machine, 1600, 1120);
        ASSERT_EQ(view->mirror->serial(), mirror);
        EXPECT_EQ(QSize(view->width, view->height), QSize(1600, 1120));
        EXPECT_EQ(view->mirror->state(), VncFramebufferMirror::State::connected);
        EXPECT_EQ(server.connections(), 1);

        // Changes anywhere on the larger screen come through, also where
        // the smaller one ended.
        QImage changed = resized;
        QPainter(&changed).fillRect(QRect(size.width() - 200, size.height() - 150, 120, 90), QColor(kGreen));
        server.setPicture(changed);
        ASSERT_TRUE(waitUntil([&] { return view->mirror->image() == changed; }));
        const std::optional<PixelBuffer> later = host.snapshot(runtime, size.width(), size.height());
        ASSERT_TRUE(later);
        EXPECT_TRUE(sameAs(*later, changed));
    }
    EXPECT_EQ(log.count(QStringLiteral("RuntimeDisplayHost attached in hidden window:")), 1);
    EXPECT_FALSE(log.contains(QStringLiteral("VNC mirror disconnected")));
    EXPECT_TRUE(server.hasClient());
}
