#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QTextBoundaryFinder>

#include <cstdint>

namespace trellium {

// One key stroke of the virtual keyboard: a Mac virtual key code (a key
// position) with the modifier keys held around it.
struct VirtualKeyboardStroke {
    // Modifier flags with the Mac's values.
    static constexpr uint32_t shift = 0x20000;
    static constexpr uint32_t control = 0x40000;
    static constexpr uint32_t option = 0x80000;
    static constexpr uint32_t command = 0x100000;

    uint16_t keyCode = 0;
    uint32_t modifiers = 0;
    QString characters;

    bool operator==(const VirtualKeyboardStroke &) const = default;
};

struct VirtualKeyboardKey {
    uint16_t keyCode = 0;
    uint32_t modifiers = 0;

    bool operator==(const VirtualKeyboardKey &) const = default;
};

// Letters by their lower-case form -> key code (German positions).
const QHash<QString, uint16_t> &virtualKeyboardLetterTable();
// Digits, white space and symbols as typed -> key code and modifiers.
const QHash<QString, VirtualKeyboardKey> &virtualKeyboardKeyTable();

// Key codes of the modifier keys in the flags, in pressing order
// (Control 59, Shift 56, Option 61, Command 55); released in reverse.
QList<uint16_t> virtualKeyboardModifierKeyCodes(uint32_t modifiers);

// The strokes that type the text (NFC first, one character at a time);
// characters in neither table are typed as Control+Shift+U, hex digits, Return.
QList<VirtualKeyboardStroke> virtualKeyboardStrokes(const QString &text);

// The same strokes, made a little at a time: a character at a time, and a
// character in neither table a Unicode scalar at a time, so a long text (or
// one character with thousands of combining marks) is never expanded at once.
class VirtualKeyboardTyping {
public:
    // At most this many strokes come of one next().
    static constexpr qsizetype maximumStrokesPerStep = 8;

    explicit VirtualKeyboardTyping(const QString &text);
    // Appends the next strokes; false at the end of the text.
    bool next(QList<VirtualKeyboardStroke> &strokes);

private:
    QString m_text;
    QTextBoundaryFinder m_characters;
    qsizetype m_position = 0;
    // A character typed by its scalars: the part not typed yet.
    qsizetype m_scalarsFrom = 0;
    qsizetype m_scalarsTo = 0;
};

} // namespace trellium
