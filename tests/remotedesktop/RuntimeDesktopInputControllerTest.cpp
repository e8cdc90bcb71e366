#include "core/Process.h"
#include "platform/vm/QemuEnvironment.h"
#include "remotedesktop/QemuInputEvents.h"
#include "remotedesktop/RuntimeDesktopInputController.h"

#include "support/ScriptedMachine.h"
#include "support/TestEnvironment.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

using namespace trellium;
using namespace std::chrono_literals;
using Kind = RemoteDesktopInputEvent::Kind;

namespace {

// "x 16384", "btn left down", "key shift up" (the exact JSON is checked once below).
std::string describeEvent(const QJsonValue &event)
{
    const QJsonValue data = event[QLatin1String("data")];
    const std::string type = event[QLatin1String("type")].toString().toStdString();
    const std::string down = data[QLatin1String("down")].toBool() ? " down" : " up";
    if (type == "abs")
        return data[QLatin1String("axis")].toString().toStdString() + " "
               + std::to_string(data[QLatin1String("value")].toInt(-1));
    if (type == "btn")
        return "btn " + data[QLatin1String("button")].toString().toStdString() + down;
    return type + " " + data[QLatin1String("key")][QLatin1String("data")].toString().toStdString() + down;
}

// One string per step, its events joined with " + ".
std::string describeStep(const QJsonArray &step)
{
    std::string text;
    for (const QJsonValue &event : step)
        text += (text.empty() ? "" : " + ") + describeEvent(event);
    return text;
}

std::vector<std::string> describe(const QList<QJsonArray> &steps)
{
    std::vector<std::string> lines;
    for (const QJsonArray &step : steps)
        lines.push_back(describeStep(step));
    return lines;
}

RemoteDesktopInputEvent pointer(Kind kind, double x = 0.5, double y = 0.25)
{
    return {.kind = kind, .normalizedX = x, .normalizedY = y};
}

RemoteDesktopInputEvent typing(const QString &text)
{
    return {.kind = Kind::textInput, .text = text};
}

RemoteDesktopInputEvent key(Kind kind, std::optional<uint16_t> keyCode)
{
    return {.kind = kind, .keyCode = keyCode};
}

std::vector<std::string> steps(const RemoteDesktopInputEvent &event)
{
    return describe(qemuInputSteps(event));
}

// The qcodes a text presses, modifiers left out.
std::vector<std::string> typedKeys(const QString &text)
{
    std::vector<std::string> keys;
    for (const std::string &step : steps(typing(text))) {
        if (step.ends_with(" down") && step != "key shift down" && step != "key alt_r down")
            keys.push_back(step.substr(4, step.size() - 9));
    }
    return keys;
}

const std::string move = "x 16384 + y 8192";

QJsonArray asArray(const QList<QJsonArray> &steps)
{
    QJsonArray array;
    for (const QJsonArray &step : steps)
        array.append(step);
    return array;
}

} // namespace

TEST(QemuInputSteps, AreInputSendEventItems)
{
    const auto expected = QJsonDocument::fromJson(R"([
        [{"type": "abs", "data": {"axis": "x", "value": 16384}}, {"type": "abs", "data": {"axis": "y", "value": 8192}}],
        [{"type": "btn", "data": {"button": "right", "down": true}}],
        [{"type": "btn", "data": {"button": "right", "down": false}}]
    ])").array();
    EXPECT_EQ(asArray(qemuInputSteps(pointer(Kind::rightClick))), expected);

    const auto keyStroke = QJsonDocument::fromJson(R"([
        [{"type": "key", "data": {"key": {"type": "qcode", "data": "a"}, "down": true}}],
        [{"type": "key", "data": {"key": {"type": "qcode", "data": "a"}, "down": false}}]
    ])").array();
    EXPECT_EQ(asArray(qemuInputSteps(typing(QStringLiteral("a")))), keyStroke);
}

TEST(QemuInputSteps, PointerKindsMoveToARoundedClampedPointThenPressButtonsOneStepEach)
{
    using Steps = std::vector<std::string>;
    EXPECT_EQ(steps(pointer(Kind::mouseMove)), Steps{move});
    EXPECT_EQ(steps(pointer(Kind::leftMouseDragged)), Steps{move});
    EXPECT_EQ(steps(pointer(Kind::leftMouseDown)), (Steps{move, "btn left down"}));
    EXPECT_EQ(steps(pointer(Kind::leftMouseUp)), (Steps{move, "btn left up"}));
    EXPECT_EQ(steps(pointer(Kind::leftClick)), (Steps{move, "btn left down", "btn left up"}));
    EXPECT_EQ(steps(pointer(Kind::rightClick)), (Steps{move, "btn right down", "btn right up"}));
    EXPECT_EQ(steps(pointer(Kind::doubleClick)),
              (Steps{move, "btn left down", "btn left up", "btn left down", "btn left up"}));

    // One notch, up only for a positive delta, where the pointer already is.
    const Steps up{"btn wheel-up down", "btn wheel-up up"};
    const Steps down{"btn wheel-down down", "btn wheel-down up"};
    for (const auto &[deltaY, expected] : std::vector<std::pair<std::optional<double>, Steps>>{
             {0.1, up}, {12, up}, {0, down}, {-3, down}, {std::nullopt, down}, {std::nan(""), down}}) {
        const RemoteDesktopInputEvent scroll{.kind = Kind::scroll, .normalizedX = 0.5, .deltaY = deltaY};
        EXPECT_EQ(steps(scroll), expected) << deltaY.value_or(-99);
    }

    // Positions are rounded and clamped to the axis.
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<double, double, std::string>> cases{
        {0.5, 0.25, "x 16384 + y 8192"},      {0, 1, "x 0 + y 32767"},
        {1.0 / 32767, 0.99999, "x 1 + y 32767"}, {-0.3, 1.7, "x 0 + y 32767"},
        {std::nan(""), -infinity, "x 0 + y 0"}, {infinity, -0.0, "x 32767 + y 0"},
    };
    for (const auto &[x, y, expected] : cases)
        EXPECT_EQ(steps(pointer(Kind::mouseMove, x, y)), std::vector<std::string>{expected});
}

TEST(QemuInputSteps, KeysGoByPositionOnTheGermanLayoutWithModifiersAroundThem)
{
    test::LogCapture log;
    EXPECT_EQ(steps(key(Kind::keyDown, 0)), std::vector<std::string>{"key a down"});
    EXPECT_EQ(steps(key(Kind::keyUp, 61)), std::vector<std::string>{"key alt_r up"});
    EXPECT_TRUE(steps(key(Kind::keyDown, std::nullopt)).empty());
    EXPECT_TRUE(steps(key(Kind::keyUp, std::nullopt)).empty());
    EXPECT_TRUE(steps({.kind = Kind::textInput}).empty());
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_TRUE(steps(key(Kind::keyDown, 52)).empty());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Runtime input: no QEMU key for key code 52")});

    // On a German guest the key labelled Y on a US board types z, and so on.
    EXPECT_EQ(typedKeys(QStringLiteral("zyZY")), (std::vector<std::string>{"y", "z", "y", "z"}));
    EXPECT_EQ(typedKeys(QStringLiteral("<^#üöäß´+-1")),
              (std::vector<std::string>{"less", "grave_accent", "backslash", "bracket_left", "semicolon",
                                        "apostrophe", "minus", "equal", "bracket_right", "slash", "1"}));

    // Nothing the keyboard tables type may lack a key.
    for (uint16_t keyCode : virtualKeyboardLetterTable())
        EXPECT_TRUE(qemuQcode(keyCode)) << keyCode;
    for (const VirtualKeyboardKey &key : virtualKeyboardKeyTable())
        EXPECT_TRUE(qemuQcode(key.keyCode)) << key.keyCode;

    // Modifiers are pressed around the stroke and released in reverse.
    using Steps = std::vector<std::string>;
    EXPECT_EQ(steps(typing(QStringLiteral("A"))), (Steps{"key shift down", "key a down", "key a up", "key shift up"}));
    EXPECT_EQ(steps(typing(QStringLiteral("@"))), (Steps{"key alt_r down", "key q down", "key q up", "key alt_r up"}));

    using Stroke = VirtualKeyboardStroke;
    const Stroke all{9, Stroke::command | Stroke::option | Stroke::shift | Stroke::control, QStringLiteral("v")};
    EXPECT_EQ(describe(qemuKeyStrokeSteps(all)),
              (Steps{"key ctrl down", "key shift down", "key alt_r down", "key meta_l down", "key v down",
                     "key v up", "key meta_l up", "key alt_r up", "key shift up", "key ctrl up"}));

    EXPECT_EQ(steps(typing(QStringLiteral("e\u0301"))),
              (Steps{"key ctrl down", "key shift down", "key u down", "key u up", "key shift up", "key ctrl up",
                     "key shift down", "key e down", "key e up", "key shift up", "key 9 down", "key 9 up",
                     "key ret down", "key ret up"}));
}

TEST(QemuInputSteps, TextOfOneEventIsCappedAt4096CharactersAndCountedWithoutMakingSteps)
{
    test::LogCapture log;
    EXPECT_EQ(qemuInputSteps(typing(QString(4096, QLatin1Char('a')))).size(), 2 * 4096);
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_EQ(qemuInputSteps(typing(QString(5000, QLatin1Char('a')))).size(), 2 * 4096);
    EXPECT_EQ(log.count(QStringLiteral("Runtime input text too long")), 1);

    // A character cut in half is left out whole: 4095 letters and no emoji.
    const QString text = QString(4095, QLatin1Char('a')) + QStringLiteral("\U0001F600b");
    EXPECT_EQ(qemuInputSteps(typing(text)).size(), 2 * 4095);

    // Steps are counted without being made, and counting stops past its limit.
    const std::vector<RemoteDesktopInputEvent> events{
        pointer(Kind::mouseMove), pointer(Kind::leftMouseDown), pointer(Kind::leftMouseUp), pointer(Kind::leftClick),
        pointer(Kind::rightClick), pointer(Kind::doubleClick), pointer(Kind::leftMouseDragged),
        {.kind = Kind::scroll, .deltaY = 2.0}, key(Kind::keyDown, 56), key(Kind::keyUp, 52),
        key(Kind::keyDown, std::nullopt), {.kind = Kind::textInput},
        typing(QStringLiteral("Grüße, @Welt! \u00e9e\u0301\U0001F1E9\U0001F1EA\r\n~")),
        typing(QString(5000, QLatin1Char('A'))),  // cut to 4,096
    };
    for (const RemoteDesktopInputEvent &event : events) {
        SCOPED_TRACE(int(event.kind));
        EXPECT_EQ(QemuInputStepCursor(event).count(std::numeric_limits<qsizetype>::max()),
                  qemuInputSteps(event).size());
    }
    // Counting a huge text ends soon after its limit: what bounds the work
    // of refusing one.
    const QemuInputStepCursor hearts(typing(QString(4096, QChar(0x2665))));
    const qsizetype counted = hearts.count(100);
    EXPECT_GT(counted, 100);
    EXPECT_LE(counted, 100 + 16);
}

namespace {

// Records what the controller would send, per machine, with the virtual time
// of each send; answers each command through the event loop like QMP does.
struct Recorder {
    struct Sent {
        const VirtualMachine *machine;
        std::string step;
        std::chrono::milliseconds at;
    };
    std::shared_ptr<test::VirtualSleeper> clock = std::make_shared<test::VirtualSleeper>();
    std::vector<Sent> sent;
    int inFlight = 0;
    int mostInFlight = 0;
    // Fails the numbered send (1-based) to this machine, or every send answered from now on.
    const VirtualMachine *failingMachine = nullptr;
    int failAt = 0;
    bool failAll = false;

    std::vector<std::string> stepsTo(const std::shared_ptr<VirtualMachine> &machine) const
    {
        std::vector<std::string> steps;
        for (const Sent &s : sent) {
            if (s.machine == machine.get())
                steps.push_back(s.step);
        }
        return steps;
    }
};

QCoro::Task<void> recordSend(std::shared_ptr<Recorder> recorder, std::shared_ptr<VirtualMachine> machine,
                             QJsonArray events)
{
    recorder->sent.push_back({machine.get(), describeStep(events), recorder->clock->elapsed});
    const size_t number = recorder->stepsTo(machine).size();
    recorder->mostInFlight = std::max(recorder->mostInFlight, ++recorder->inFlight);
    Completion<void> answer;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [answer]() mutable { answer.resolve(); }, Qt::QueuedConnection);
    co_await answer;
    --recorder->inFlight;
    if (recorder->failAll || (machine.get() == recorder->failingMachine && int(number) == recorder->failAt))
        throw DomainError(QStringLiteral("QMP"), 1, QStringLiteral("Gerät weg"));
}

class InputControllerTest : public testing::Test {
protected:
    InputControllerTest()
    {
        auto lookup = [this](QUuid runtimeID) -> std::shared_ptr<VirtualMachine> {
            auto it = machines.find(runtimeID);
            return it == machines.end() ? nullptr : it->second;
        };
        auto send = [recorder = recorder](std::shared_ptr<VirtualMachine> machine, QJsonArray events) {
            return recordSend(recorder, std::move(machine), std::move(events));
        };
        controller = std::make_unique<RuntimeDesktopInputController>(lookup, send, recorder->clock);
    }

    std::shared_ptr<VirtualMachine> addMachine(QUuid runtimeID)
    {
        return machines[runtimeID] = std::make_shared<test::ScriptedMachine>();
    }

    void flush(QUuid runtimeID) { runSync(controller->flush(runtimeID), 30s); }

    const QUuid runtimeA = QUuid::createUuid();
    const QUuid runtimeB = QUuid::createUuid();
    std::map<QUuid, std::shared_ptr<VirtualMachine>> machines;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::unique_ptr<RuntimeDesktopInputController> controller;
};

} // namespace

TEST_F(InputControllerTest, LogsTheViewPointNeedsAMachineAndEndsItsQueueWithIt)
{
    test::LogCapture log;
    controller->handleInput(runtimeA, pointer(Kind::leftClick));
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Runtime input failed: no VM view")});
    EXPECT_TRUE(recorder->sent.empty());

    auto machine = addMachine(runtimeA);
    controller->handleInput(runtimeA, pointer(Kind::leftClick));
    controller->handleInput(runtimeA, pointer(Kind::mouseMove, 1.5, std::nan("")));
    flush(runtimeA);
    EXPECT_EQ(log.lines().mid(1), (QStringList{QStringLiteral("INPUT: norm: 0.5 0.25 view: 1600 1120 point: (800, 840)"),
                                               QStringLiteral("INPUT: norm: 1 0 view: 1600 1120 point: (1600, 1120)")}));
    EXPECT_EQ(recorder->stepsTo(machine),
              (std::vector<std::string>{move, "btn left down", "btn left up", "x 32767 + y 0"}));

    // The queue ends with its machine.
    recorder->sent.clear();
    controller->handleInput(runtimeA, typing(QStringLiteral("abc")));  // 6 steps, the first sent at once
    machine.reset();
    machines.erase(runtimeA);
    flush(runtimeA);
    EXPECT_EQ(recorder->sent.size(), 1u);
    EXPECT_EQ(log.count(QStringLiteral("Runtime input dropped")), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped 5 events")));
    // Steps name machines by address, and a later machine may get the freed one's.
    recorder->sent.clear();

    // A new machine of the runtime gets what follows, also while the one it
    // replaced still exists.
    const auto second = addMachine(runtimeA);
    controller->handleInput(runtimeA, typing(QStringLiteral("d")));
    const auto third = addMachine(runtimeA);
    controller->handleInput(runtimeA, typing(QStringLiteral("e")));
    flush(runtimeA);
    EXPECT_EQ(recorder->stepsTo(second), std::vector<std::string>{"key d down"});
    EXPECT_EQ(recorder->stepsTo(third), (std::vector<std::string>{"key e down", "key e up"}));
}

TEST_F(InputControllerTest, BurstsArriveInOrderOneStepAtATimeTwelveMillisecondsApart)
{
    test::LogCapture quiet;
    const auto machine = addMachine(runtimeA);
    // 200 characters in one event, then 200 key events right behind it.
    std::vector<RemoteDesktopInputEvent> events{
        typing(QStringLiteral("Grüße aus dem Gästezimmer, 100% ok? ").repeated(6).left(200))};
    for (int i = 0; i < 100; ++i) {
        events.push_back(key(Kind::keyDown, uint16_t(i % 10)));
        events.push_back(key(Kind::keyUp, uint16_t(i % 10)));
    }
    std::vector<std::string> expected;
    for (const RemoteDesktopInputEvent &event : events) {
        controller->handleInput(runtimeA, event);
        const std::vector<std::string> some = steps(event);
        expected.insert(expected.end(), some.begin(), some.end());
    }
    flush(runtimeA);

    ASSERT_GT(expected.size(), 600u);
    EXPECT_EQ(recorder->stepsTo(machine), expected);
    EXPECT_EQ(recorder->mostInFlight, 1);
    for (size_t i = 0; i < recorder->sent.size(); ++i)
        ASSERT_EQ(recorder->sent[i].at, std::chrono::milliseconds::rep(i) * QemuInputQueue::pace) << "step " << i;

    // An event during the last pause waits for it; one after the queue went
    // idle goes out at once.
    const auto idleSince = recorder->clock->elapsed;
    controller->handleInput(runtimeA, key(Kind::keyDown, 1));
    controller->handleInput(runtimeA, key(Kind::keyUp, 1));
    EXPECT_EQ(recorder->sent.size(), expected.size() + 1);
    EXPECT_EQ(recorder->sent.back().at, idleSince);
    flush(runtimeA);
    EXPECT_EQ(recorder->sent.back().step, "key s up");
    EXPECT_EQ(recorder->sent.back().at, idleSince + QemuInputQueue::pace);
}

TEST_F(InputControllerTest, PointerMovesWaitingBehindThePaceAreMergedIntoTheNewest)
{
    test::LogCapture quiet;
    const auto machine = addMachine(runtimeA);
    // A drag reported at 120 Hz outruns the pace: without merging, the
    // pointer would lag further behind the finger with every second.
    controller->handleInput(runtimeA, pointer(Kind::leftMouseDown, 0.0, 0.5));
    for (int i = 1; i <= 100; ++i)
        controller->handleInput(runtimeA, pointer(Kind::leftMouseDragged, i / 100.0, 0.5));
    controller->handleInput(runtimeA, pointer(Kind::leftMouseUp, 1.0, 0.5));
    for (int i = 1; i <= 3; ++i)
        controller->handleInput(runtimeA, pointer(Kind::mouseMove, 1.0, 0.5 - i / 10.0));
    // Another client's moves are its own.
    controller->handleInput(runtimeA, pointer(Kind::mouseMove, 0.0, 0.0), 7);
    flush(runtimeA);

    // Every press and release is kept, in order, each where the pointer was then.
    EXPECT_EQ(recorder->stepsTo(machine),
              (std::vector<std::string>{"x 0 + y 16384", "btn left down", "x 32767 + y 16384", "x 32767 + y 16384",
                                        "btn left up", "x 32767 + y 6553", "x 0 + y 0"}));
}

TEST_F(InputControllerTest, RuntimesHaveIndependentQueuesAndFailures)
{
    test::LogCapture log;
    const auto machineA = addMachine(runtimeA);
    const auto machineB = addMachine(runtimeB);
    recorder->failingMachine = machineA.get();
    recorder->failAt = 3;
    const RemoteDesktopInputEvent text = typing(QStringLiteral("abcdefghij"));  // 20 steps
    controller->handleInput(runtimeA, text);
    controller->handleInput(runtimeB, text);
    // B does not wait behind A.
    EXPECT_EQ(recorder->stepsTo(machineB), std::vector<std::string>{"key a down"});
    flush(runtimeA);
    flush(runtimeB);

    // The key whose press failed is released all the same: QEMU may have
    // passed the press on before the command failed.
    EXPECT_EQ(recorder->stepsTo(machineA),
              (std::vector<std::string>{"key a down", "key a up", "key b down", "key b up"}));
    EXPECT_EQ(recorder->stepsTo(machineB), steps(text));
    EXPECT_EQ(log.count(QStringLiteral("Runtime input dropped")), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped 18 events")));

    // The failed queue takes new input again.
    recorder->failingMachine = nullptr;
    controller->handleInput(runtimeA, pointer(Kind::leftMouseUp));
    flush(runtimeA);
    EXPECT_EQ(recorder->stepsTo(machineA).back(), "btn left up");
}

TEST_F(InputControllerTest, AFailedStepNeverLeavesAKeyOrButtonPressed)
{
    using Steps = std::vector<std::string>;
    test::LogCapture log;
    const auto machine = addMachine(runtimeA);
    recorder->failingMachine = machine.get();
    // Shift held by the tablet, a button held down, then "@Z": the failure
    // hits the Z while AltGr is already released and Shift pressed again.
    controller->handleInput(runtimeA, key(Kind::keyDown, 59));  // Control
    controller->handleInput(runtimeA, pointer(Kind::leftMouseDown));
    controller->handleInput(runtimeA, typing(QStringLiteral("@Zx")));
    recorder->failAt = 9;  // "key y down": the Z on the German layout
    flush(runtimeA);
    EXPECT_EQ(recorder->stepsTo(machine),
              (Steps{"key ctrl down", move, "btn left down", "key alt_r down", "key q down", "key q up",
                     "key alt_r up", "key shift down", "key y down",
                     // Released in reverse order of pressing, and nothing of the x.
                     "key y up", "key shift up", "btn left up", "key ctrl up"}));
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped 5 events")));

    // A release that fails is reported and not tried again; the others
    // still go out.
    recorder->sent.clear();
    controller->handleInput(runtimeA, key(Kind::keyDown, 56));
    controller->handleInput(runtimeA, key(Kind::keyDown, 0));
    controller->handleInput(runtimeA, key(Kind::keyUp, 1));
    recorder->failingMachine = machine.get();
    recorder->failAt = 3;
    flush(runtimeA);
    EXPECT_EQ(recorder->stepsTo(machine), (Steps{"key shift down", "key a down", "key s up", "key a up", "key shift up"}));

    recorder->sent.clear();
    recorder->failAll = true;
    controller->handleInput(runtimeA, key(Kind::keyDown, 56));
    flush(runtimeA);
    EXPECT_EQ(recorder->stepsTo(machine), (Steps{"key shift down", "key shift up"}));
    EXPECT_EQ(log.count(QStringLiteral("Runtime input release failed")), 1);
}

TEST_F(InputControllerTest, TheEndOfTheStreamOrOfAClientReleasesWhatItHolds)
{
    using Steps = std::vector<std::string>;
    test::LogCapture log;
    const auto machineA = addMachine(runtimeA);
    const auto machineB = addMachine(runtimeB);
    const QemuInputQueue::Origin tablet = 1;
    const QemuInputQueue::Origin other = 2;

    // The tablet holds Shift and the left button on A and is typing a long
    // text; another client holds Control on A and B.
    controller->handleInput(runtimeA, key(Kind::keyDown, 56), tablet);
    controller->handleInput(runtimeA, pointer(Kind::leftMouseDown), tablet);
    controller->handleInput(runtimeA, key(Kind::keyDown, 59), other);
    controller->handleInput(runtimeB, key(Kind::keyDown, 59), other);
    controller->handleInput(runtimeA, typing(QString(500, QLatin1Char('x'))), tablet);
    while (recorder->stepsTo(machineA).size() < 7)
        QCoreApplication::processEvents();

    // The tablet goes away in the middle of a stroke: its text is dropped,
    // what it holds is released (the x it was typing first), the other
    // client's Control stays down.
    controller->endInputFrom(tablet);
    flush(runtimeA);
    const Steps sentA = recorder->stepsTo(machineA);
    ASSERT_EQ(sentA.size(), 10u);
    EXPECT_EQ(Steps(sentA.begin(), sentA.begin() + 7),
              (Steps{"key shift down", move, "btn left down", "key ctrl down", "key x down", "key x up", "key x down"}));
    EXPECT_EQ(Steps(sentA.begin() + 7, sentA.end()), (Steps{"key x up", "btn left up", "key shift up"}));
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped 997 events")));

    // The stream of A ends: everything held on A is released, B keeps its Control.
    controller->handleInput(runtimeA, typing(QStringLiteral("abc")), other);
    controller->endInput(runtimeA);
    flush(runtimeA);
    flush(runtimeB);
    // "a down" had gone out: "a up", then Control.
    const Steps laterA = recorder->stepsTo(machineA);
    EXPECT_EQ(Steps(laterA.begin() + 10, laterA.end()), (Steps{"key a down", "key a up", "key ctrl up"}));
    EXPECT_EQ(recorder->stepsTo(machineB), Steps{"key ctrl down"});

    // Nothing is held any more: ending again sends nothing.
    const size_t before = recorder->sent.size();
    controller->endInput(runtimeA);
    controller->endInputFrom(tablet);
    flush(runtimeA);
    EXPECT_EQ(recorder->sent.size(), before);
}

TEST_F(InputControllerTest, AQueueTakesAboutThreeMinutesOfTypingAndRefusesMore)
{
    test::LogCapture log;
    const auto machine = addMachine(runtimeA);
    // U+2665 is in neither table: 16 steps a character. 4,096 of them are
    // 65,536 steps (13 minutes): refused whole, nothing of it sent.
    const RemoteDesktopInputEvent hearts = typing(QString(4096, QChar(0x2665)));
    EXPECT_EQ(QemuInputStepCursor(hearts).count(std::numeric_limits<qsizetype>::max()), 65536);
    controller->handleInput(runtimeA, hearts);
    EXPECT_TRUE(recorder->sent.empty());
    EXPECT_EQ(log.count(QStringLiteral("Runtime input refused")), 1);

    // A flood of them costs a line, not a line each.
    for (int i = 0; i < 100; ++i)
        controller->handleInput(runtimeA, hearts);
    EXPECT_EQ(log.count(QStringLiteral("Runtime input refused")), 1);

    // What fits is taken; beyond the bound events are refused until the
    // queue has room again.
    const RemoteDesktopInputEvent fits = typing(QString(1000, QChar(0x2665)));  // 16,000 steps
    controller->handleInput(runtimeA, fits);
    EXPECT_EQ(recorder->sent.size(), 1u);  // 15,999 waiting: room for 385
    for (int i = 0; i < 100; ++i)
        controller->handleInput(runtimeA, typing(QStringLiteral("abc")));  // 64 fit
    controller->handleInput(runtimeA, key(Kind::keyDown, 0));  // the last step's room
    EXPECT_EQ(log.count(QStringLiteral("Runtime input refused")), 2);
    EXPECT_EQ(recorder->sent.size(), 1u);

    // Ending the input empties the queue (the Control of the first heart is
    // let go); then there is room again.
    controller->endInput(runtimeA);
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped 16384 events")));
    controller->handleInput(runtimeA, hearts);
    controller->handleInput(runtimeA, typing(QStringLiteral("abc")));
    flush(runtimeA);
    EXPECT_EQ(log.count(QStringLiteral("Runtime input refused")), 3);
    EXPECT_EQ(recorder->stepsTo(machine), (std::vector<std::string>{"key ctrl down", "key ctrl up", "key a down",
                                                                    "key a up", "key b down", "key b up",
                                                                    "key c down", "key c up"}));
}

TEST_F(InputControllerTest, DestroyingTheControllerWhileSendingStopsItsQueues)
{
    test::LogCapture log;
    addMachine(runtimeA);
    controller->handleInput(runtimeA, typing(QString(200, QLatin1Char('x'))));
    // Stop while a command is out; its failure (QEMU going away too) must
    // not be reported as a second drop.
    for (int i = 0; i < 100000 && (recorder->sent.size() < 50 || recorder->inFlight == 0); ++i)
        QCoreApplication::processEvents();
    ASSERT_EQ(recorder->inFlight, 1);

    const size_t sentBefore = recorder->sent.size();
    recorder->failAll = true;
    controller.reset();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(recorder->sent.size(), sentBefore);
    EXPECT_EQ(recorder->inFlight, 0);
    EXPECT_EQ(log.count(QStringLiteral("Runtime input dropped")), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped %1 events").arg(400 - sentBefore)));
}

TEST(RuntimeDesktopInputController, AMachineWithoutQmpDropsItsInput)
{
    test::LogCapture log;
    auto machine = std::make_shared<test::ScriptedMachine>();  // qmp() is null
    RuntimeDesktopInputController controller([machine](QUuid) { return machine; },
                                             RuntimeDesktopInputController::sendThroughQmp,
                                             std::make_shared<test::VirtualSleeper>());
    const QUuid runtime = QUuid::createUuid();
    controller.handleInput(runtime, pointer(Kind::leftClick));
    runSync(controller.flush(runtime), 30s);
    EXPECT_EQ(log.count(QStringLiteral("Runtime input dropped")), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Runtime input dropped 3 events")));
}

namespace {

// The key names the installed QEMU takes in input-send-event, from its own
// schema. QEMU ends on quit without writing out what did not fit into the
// pipe yet (the schema is some 200 KB), so quit waits until it is read.
QSet<QString> qemuKeyNames()
{
    QProcess qemu;
    qemu.start(QemuEnvironment::shared().qemuPath,
               {"-machine", "none", "-nodefaults", "-display", "none", "-qmp", "stdio"});
    qemu.write("{\"execute\":\"qmp_capabilities\"}\n{\"execute\":\"query-qmp-schema\"}\n");
    LineSplitter lines;
    QSet<QString> names;
    QElapsedTimer clock;
    clock.start();
    while (names.isEmpty() && qemu.state() != QProcess::NotRunning && clock.elapsed() < 30000) {
        qemu.waitForReadyRead(100);
        for (const QByteArray &line : lines.feed(qemu.readAllStandardOutput())) {
            for (const QJsonValue &entry : QJsonDocument::fromJson(line)[QLatin1String("return")].toArray()) {
                const QJsonArray values = entry[QLatin1String("values")].toArray();
                if (entry[QLatin1String("meta-type")].toString() == QLatin1String("enum")
                    && values.contains(QStringLiteral("kp_enter"))) {
                    for (const QJsonValue &value : values)
                        names.insert(value.toString());
                }
            }
        }
    }
    qemu.write("{\"execute\":\"quit\"}\n");
    qemu.waitForFinished(10000);
    return names;
}

} // namespace

TEST(QemuInputSteps, EveryMacKeyWithAQemuKeyReachesTheGuest)
{
    // The keypad (Enter 76 and Clear 71 included), right Command, Help at
    // Insert's place, F13 to F15, and the JIS and media keys.
    std::vector<uint16_t> needed{54, 65, 67, 69, 71, 72, 73, 74, 75, 76, 78, 81, 82, 83, 84, 85, 86, 87,
                                 88, 89, 91, 92, 93, 94, 95, 102, 104, 105, 107, 110, 113, 114};
    for (uint16_t keyCode : needed)
        EXPECT_TRUE(qemuQcode(keyCode)) << keyCode;
    // Keypad keys are not the main block's: Enter is not Return, 0 not 0.
    EXPECT_NE(qemuQcode(76), qemuQcode(36));
    EXPECT_NE(qemuQcode(82), qemuQcode(29));
    EXPECT_NE(qemuQcode(54), qemuQcode(55));

    // Every name is one QEMU knows (a name it does not know fails the whole
    // command), and no two Mac keys share one.
    const QSet<QString> known = qemuKeyNames();
    ASSERT_GT(known.size(), 100) << "no key names from " << QemuEnvironment::shared().qemuPath.toStdString();
    QSet<QString> used;
    for (int keyCode = 0; keyCode < 128; ++keyCode) {
        const std::optional<QString> qcode = qemuQcode(uint16_t(keyCode));
        if (!qcode)
            continue;
        EXPECT_TRUE(known.contains(*qcode)) << keyCode << " " << qcode->toStdString();
        EXPECT_FALSE(used.contains(*qcode)) << keyCode << " " << qcode->toStdString();
        used.insert(*qcode);
    }

    // Fn and F16 to F20 have no key in QEMU: logged and left out.
    test::LogCapture log;
    for (uint16_t keyCode : {63, 106, 64, 79, 80, 90})
        EXPECT_TRUE(steps(key(Kind::keyDown, keyCode)).empty()) << keyCode;
    EXPECT_EQ(log.count(QStringLiteral("Runtime input: no QEMU key for key code")), 6);
}
