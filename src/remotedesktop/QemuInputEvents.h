#pragma once

#include "model/RemoteDesktopInputEvent.h"
#include "remotedesktop/VirtualKeyboard.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace trellium {

// Items of QMP input-send-event. One step is the "events" array of one
// command; the queue paces steps, so a press and its release are two steps.
using QemuInputStep = QJsonArray;

// Text beyond this many UTF-16 units of one event is not typed.
inline constexpr qsizetype maximumTypedTextLength = 4096;
// The usb-tablet's absolute axes run 0..this, top-down like the client's.
inline constexpr int qemuAbsoluteAxisMaximum = 32767;

// QEMU's qcode of the key at a Mac virtual key code's position.
std::optional<QString> qemuQcode(uint16_t macKeyCode);

// A normalised position in 0..1; non-finite values and values outside are clamped.
double clampedNormalizedPosition(double value);

QJsonObject qemuAbsoluteEvent(const QString &axis, double normalized);
QJsonObject qemuButtonEvent(const QString &button, bool down);
QJsonObject qemuKeyEvent(const QString &qcode, bool down);

// Modifier presses, key down, key up, modifier releases in reverse order;
// nothing (and a log line) when a key code has no qcode.
QList<QemuInputStep> qemuKeyStrokeSteps(const VirtualKeyboardStroke &stroke);

// The steps of one tablet event in delivery order, made as they are taken:
// a text of thousands of characters outside the keyboard tables makes tens
// of thousands of steps, which are never all held at once.
class QemuInputStepCursor {
public:
    // Text beyond maximumTypedTextLength is cut off here (one log line).
    explicit QemuInputStepCursor(const RemoteDesktopInputEvent &event);

    std::optional<QemuInputStep> next();
    // How many steps the event makes in all, counted without making them;
    // counting stops at the first number above `limit`.
    qsizetype count(qsizetype limit) const;

private:
    QList<QemuInputStep> m_ready;
    qsizetype m_taken = 0;
    std::optional<QString> m_text;
    std::optional<VirtualKeyboardTyping> m_typing;
    QList<VirtualKeyboardStroke> m_strokes;
};

// All steps of one tablet event, in delivery order.
QList<QemuInputStep> qemuInputSteps(const RemoteDesktopInputEvent &event);

} // namespace trellium
