#include "remotedesktop/QemuInputEvents.h"

#include "core/Log.h"

#include <QHash>

#include <algorithm>
#include <cmath>

namespace trellium {

namespace {

using Kind = RemoteDesktopInputEvent::Kind;

const QString leftButton = QStringLiteral("left");
const QString rightButton = QStringLiteral("right");

QemuInputStep step(QJsonObject event)
{
    return QemuInputStep{std::move(event)};
}

QemuInputStep moveStep(const RemoteDesktopInputEvent &event)
{
    // Both axes in one command, so the pointer never stops half-way.
    return QemuInputStep{qemuAbsoluteEvent(QStringLiteral("x"), event.normalizedX),
                         qemuAbsoluteEvent(QStringLiteral("y"), event.normalizedY)};
}

void appendClick(QList<QemuInputStep> &steps, const QString &button)
{
    steps.append(step(qemuButtonEvent(button, true)));
    steps.append(step(qemuButtonEvent(button, false)));
}

void logUnknownKeyCode(uint16_t keyCode)
{
    logLine(QStringLiteral("Runtime input: no QEMU key for key code"), QString::number(keyCode));
}

QList<QemuInputStep> singleKeySteps(std::optional<uint16_t> keyCode, bool down)
{
    if (!keyCode)
        return {};
    const std::optional<QString> qcode = qemuQcode(*keyCode);
    if (!qcode) {
        logUnknownKeyCode(*keyCode);
        return {};
    }
    return {step(qemuKeyEvent(*qcode, down))};
}

QString cappedText(const QString &text)
{
    if (text.size() <= maximumTypedTextLength)
        return text;
    qsizetype length = maximumTypedTextLength;
    // Never keep half of a surrogate pair.
    if (text.at(length - 1).isHighSurrogate())
        --length;
    logLine(QStringLiteral("Runtime input text too long: typing %1 of %2 characters").arg(length).arg(text.size()));
    return text.left(length);
}

} // namespace

std::optional<QString> qemuQcode(uint16_t macKeyCode)
{
    // Positions, not characters: the guest's German layout gives them meaning.
    static const QHash<uint16_t, QString> qcodes{
        {0, QStringLiteral("a")},
        {1, QStringLiteral("s")},
        {2, QStringLiteral("d")},
        {3, QStringLiteral("f")},
        {4, QStringLiteral("h")},
        {5, QStringLiteral("g")},
        {6, QStringLiteral("z")},
        {7, QStringLiteral("x")},
        {8, QStringLiteral("c")},
        {9, QStringLiteral("v")},
        {10, QStringLiteral("less")},  // ISO key next to left shift
        {11, QStringLiteral("b")},
        {12, QStringLiteral("q")},
        {13, QStringLiteral("w")},
        {14, QStringLiteral("e")},
        {15, QStringLiteral("r")},
        {16, QStringLiteral("y")},
        {17, QStringLiteral("t")},
        {18, QStringLiteral("1")},
        {19, QStringLiteral("2")},
        {20, QStringLiteral("3")},
        {21, QStringLiteral("4")},
        {22, QStringLiteral("6")},
        {23, QStringLiteral("5")},
        {24, QStringLiteral("equal")},
        {25, QStringLiteral("9")},
        {26, QStringLiteral("7")},
        {27, QStringLiteral("minus")},
        {28, QStringLiteral("8")},
        {29, QStringLiteral("0")},
        {30, QStringLiteral("bracket_right")},
        {31, QStringLiteral("o")},
        {32, QStringLiteral("u")},
        {33, QStringLiteral("bracket_left")},
        {34, QStringLiteral("i")},
        {35, QStringLiteral("p")},
        {36, QStringLiteral("ret")},
        {37, QStringLiteral("l")},
        {38, QStringLiteral("j")},
        {39, QStringLiteral("apostrophe")},
        {40, QStringLiteral("k")},
        {41, QStringLiteral("semicolon")},
        {42, QStringLiteral("backslash")},
        {43, QStringLiteral("comma")},
        {44, QStringLiteral("slash")},
        {45, QStringLiteral("n")},
        {46, QStringLiteral("m")},
        {47, QStringLiteral("dot")},
        {48, QStringLiteral("tab")},
        {49, QStringLiteral("spc")},
        {50, QStringLiteral("grave_accent")},  // ISO key left of 1
        {51, QStringLiteral("backspace")},
        {53, QStringLiteral("esc")},
        {54, QStringLiteral("meta_r")},
        {55, QStringLiteral("meta_l")},
        {56, QStringLiteral("shift")},
        {57, QStringLiteral("caps_lock")},
        {58, QStringLiteral("alt")},
        {59, QStringLiteral("ctrl")},
        {60, QStringLiteral("shift_r")},
        {61, QStringLiteral("alt_r")},  // AltGr on the German layout
        {62, QStringLiteral("ctrl_r")},
        // The keypad; Clear sits where a PC keypad has Num Lock.
        {65, QStringLiteral("kp_decimal")},
        {67, QStringLiteral("kp_multiply")},
        {69, QStringLiteral("kp_add")},
        {71, QStringLiteral("num_lock")},
        {72, QStringLiteral("volumeup")},
        {73, QStringLiteral("volumedown")},
        {74, QStringLiteral("audiomute")},
        {75, QStringLiteral("kp_divide")},
        {76, QStringLiteral("kp_enter")},
        {78, QStringLiteral("kp_subtract")},
        {81, QStringLiteral("kp_equals")},
        {82, QStringLiteral("kp_0")},
        {83, QStringLiteral("kp_1")},
        {84, QStringLiteral("kp_2")},
        {85, QStringLiteral("kp_3")},
        {86, QStringLiteral("kp_4")},
        {87, QStringLiteral("kp_5")},
        {88, QStringLiteral("kp_6")},
        {89, QStringLiteral("kp_7")},
        {91, QStringLiteral("kp_8")},
        {92, QStringLiteral("kp_9")},
        // JIS keys at the places a PC's Japanese keyboard has them.
        {93, QStringLiteral("yen")},
        {94, QStringLiteral("ro")},
        {95, QStringLiteral("kp_comma")},
        {102, QStringLiteral("muhenkan")},  // Eisu
        {104, QStringLiteral("henkan")},    // Kana
        {96, QStringLiteral("f5")},
        {97, QStringLiteral("f6")},
        {98, QStringLiteral("f7")},
        {99, QStringLiteral("f3")},
        {100, QStringLiteral("f8")},
        {101, QStringLiteral("f9")},
        {103, QStringLiteral("f11")},
        // F13 to F15 sit where a PC has Print, Scroll Lock and Pause; QEMU
        // has no key for F16 and beyond.
        {105, QStringLiteral("print")},
        {107, QStringLiteral("scroll_lock")},
        {109, QStringLiteral("f10")},
        {110, QStringLiteral("compose")},  // the PC menu key
        {111, QStringLiteral("f12")},
        {113, QStringLiteral("pause")},
        {114, QStringLiteral("insert")},  // Help, where a PC has Insert
        {115, QStringLiteral("home")},
        {116, QStringLiteral("pgup")},
        {117, QStringLiteral("delete")},
        {118, QStringLiteral("f4")},
        {119, QStringLiteral("end")},
        {120, QStringLiteral("f2")},
        {121, QStringLiteral("pgdn")},
        {122, QStringLiteral("f1")},
        {123, QStringLiteral("left")},
        {124, QStringLiteral("right")},
        {125, QStringLiteral("down")},
        {126, QStringLiteral("up")},
    };
    if (auto it = qcodes.constFind(macKeyCode); it != qcodes.constEnd())
        return *it;
    return std::nullopt;
}

double clampedNormalizedPosition(double value)
{
    if (std::isnan(value))
        return 0;
    return std::clamp(value, 0.0, 1.0);
}

QJsonObject qemuAbsoluteEvent(const QString &axis, double normalized)
{
    const auto value = std::lround(clampedNormalizedPosition(normalized) * qemuAbsoluteAxisMaximum);
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("abs")},
                       {QStringLiteral("data"), QJsonObject{{QStringLiteral("axis"), axis},
                                                            {QStringLiteral("value"), qint64(value)}}}};
}

QJsonObject qemuButtonEvent(const QString &button, bool down)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("btn")},
                       {QStringLiteral("data"), QJsonObject{{QStringLiteral("button"), button},
                                                            {QStringLiteral("down"), down}}}};
}

QJsonObject qemuKeyEvent(const QString &qcode, bool down)
{
    const QJsonObject key{{QStringLiteral("type"), QStringLiteral("qcode")}, {QStringLiteral("data"), qcode}};
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("key")},
                       {QStringLiteral("data"), QJsonObject{{QStringLiteral("key"), key},
                                                            {QStringLiteral("down"), down}}}};
}

QList<QemuInputStep> qemuKeyStrokeSteps(const VirtualKeyboardStroke &stroke)
{
    const std::optional<QString> qcode = qemuQcode(stroke.keyCode);
    if (!qcode) {
        logUnknownKeyCode(stroke.keyCode);
        return {};
    }
    QStringList modifiers;
    for (uint16_t keyCode : virtualKeyboardModifierKeyCodes(stroke.modifiers))
        modifiers.append(*qemuQcode(keyCode));

    QList<QemuInputStep> steps;
    for (const QString &modifier : modifiers)
        steps.append(step(qemuKeyEvent(modifier, true)));
    steps.append(step(qemuKeyEvent(*qcode, true)));
    steps.append(step(qemuKeyEvent(*qcode, false)));
    for (auto modifier = modifiers.crbegin(); modifier != modifiers.crend(); ++modifier)
        steps.append(step(qemuKeyEvent(*modifier, false)));
    return steps;
}

QemuInputStepCursor::QemuInputStepCursor(const RemoteDesktopInputEvent &event)
{
    switch (event.kind) {
    case Kind::mouseMove:
    case Kind::leftMouseDragged:  // the button stays as it is
        m_ready.append(moveStep(event));
        break;
    case Kind::leftMouseDown:
        m_ready.append(moveStep(event));
        m_ready.append(step(qemuButtonEvent(leftButton, true)));
        break;
    case Kind::leftMouseUp:
        m_ready.append(moveStep(event));
        m_ready.append(step(qemuButtonEvent(leftButton, false)));
        break;
    case Kind::leftClick:
        m_ready.append(moveStep(event));
        appendClick(m_ready, leftButton);
        break;
    case Kind::rightClick:
        m_ready.append(moveStep(event));
        appendClick(m_ready, rightButton);
        break;
    case Kind::doubleClick:
        // A guest has no click count: it sees a double click only as two
        // clicks in quick succession.
        m_ready.append(moveStep(event));
        appendClick(m_ready, leftButton);
        appendClick(m_ready, leftButton);
        break;
    case Kind::scroll: {
        // One notch per event (the Mac scrolled 3 lines); like the Mac's
        // wheel event it does not move the pointer.
        const bool up = event.deltaY && *event.deltaY > 0;
        appendClick(m_ready, up ? QStringLiteral("wheel-up") : QStringLiteral("wheel-down"));
        break;
    }
    case Kind::textInput:
        if (event.text) {
            m_text = cappedText(*event.text);
            m_typing.emplace(*m_text);
        }
        break;
    case Kind::keyDown:
        m_ready.append(singleKeySteps(event.keyCode, true));
        break;
    case Kind::keyUp:
        m_ready.append(singleKeySteps(event.keyCode, false));
        break;
    }
}

std::optional<QemuInputStep> QemuInputStepCursor::next()
{
    while (m_taken == m_ready.size()) {
        m_ready.clear();
        m_taken = 0;
        m_strokes.clear();
        if (!m_typing || !m_typing->next(m_strokes)) {
            m_typing.reset();
            return std::nullopt;
        }
        for (const VirtualKeyboardStroke &stroke : m_strokes)
            m_ready.append(qemuKeyStrokeSteps(stroke));
    }
    return m_ready.at(m_taken++);
}

qsizetype QemuInputStepCursor::count(qsizetype limit) const
{
    qsizetype steps = m_ready.size() - m_taken;
    if (!m_text)
        return steps;
    // The text from its start: a cursor is counted before it is taken from.
    VirtualKeyboardTyping typing(*m_text);
    QList<VirtualKeyboardStroke> strokes;
    while (steps <= limit && typing.next(strokes)) {
        for (const VirtualKeyboardStroke &stroke : strokes) {
            if (qemuQcode(stroke.keyCode))
                steps += 2 + 2 * virtualKeyboardModifierKeyCodes(stroke.modifiers).size();
        }
        strokes.clear();
    }
    return steps;
}

QList<QemuInputStep> qemuInputSteps(const RemoteDesktopInputEvent &event)
{
    QList<QemuInputStep> steps;
    QemuInputStepCursor cursor(event);
    while (std::optional<QemuInputStep> next = cursor.next())
        steps.append(std::move(*next));
    return steps;
}

} // namespace trellium
