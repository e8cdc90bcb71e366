#include "remotedesktop/VirtualKeyboard.h"

#include <QTextBoundaryFinder>

#include <optional>

namespace trellium {

namespace {

constexpr uint16_t returnKeyCode = 36;
constexpr uint16_t unicodeEntryKeyCode = 32;  // "u"

const QString carriageReturn = QStringLiteral("\r");

std::optional<VirtualKeyboardStroke> tableStroke(const QString &character)
{
    const auto &letters = virtualKeyboardLetterTable();
    if (auto letter = letters.constFind(character.toLower()); letter != letters.constEnd()) {
        const bool upperCase = character == character.toUpper() && character != character.toLower();
        return VirtualKeyboardStroke{*letter, upperCase ? VirtualKeyboardStroke::shift : 0u, character};
    }
    const auto &keys = virtualKeyboardKeyTable();
    if (auto key = keys.constFind(character); key != keys.constEnd())
        return VirtualKeyboardStroke{key->keyCode, key->modifiers, character};
    return std::nullopt;
}

void appendUnicodeEntry(QList<VirtualKeyboardStroke> &strokes, char32_t scalar)
{
    strokes.append({unicodeEntryKeyCode, VirtualKeyboardStroke::control | VirtualKeyboardStroke::shift, QString()});
    const QString digits = QString::number(uint(scalar), 16).toUpper();
    for (QChar digit : digits) {
        if (auto stroke = tableStroke(QString(digit)))
            strokes.append(*stroke);
    }
    strokes.append({returnKeyCode, 0, carriageReturn});
}

// The scalar at `position` (a lone surrogate stands for U+FFFD); moves past it.
char32_t takeScalar(const QString &text, qsizetype &position)
{
    const QChar first = text.at(position++);
    if (first.isHighSurrogate() && position < text.size() && text.at(position).isLowSurrogate())
        return QChar::surrogateToUcs4(first, text.at(position++));
    return first.isSurrogate() ? char32_t(QChar::ReplacementCharacter) : char32_t(first.unicode());
}

} // namespace

const QHash<QString, uint16_t> &virtualKeyboardLetterTable()
{
    // y and z by their German positions (kVK_ANSI_Z is 6, kVK_ANSI_Y 16).
    static const QHash<QString, uint16_t> table{
        {QStringLiteral("a"), 0},  {QStringLiteral("b"), 11}, {QStringLiteral("c"), 8},
        {QStringLiteral("d"), 2},  {QStringLiteral("e"), 14}, {QStringLiteral("f"), 3},
        {QStringLiteral("g"), 5},  {QStringLiteral("h"), 4},  {QStringLiteral("i"), 34},
        {QStringLiteral("j"), 38}, {QStringLiteral("k"), 40}, {QStringLiteral("l"), 37},
        {QStringLiteral("m"), 46}, {QStringLiteral("n"), 45}, {QStringLiteral("o"), 31},
        {QStringLiteral("p"), 35}, {QStringLiteral("q"), 12}, {QStringLiteral("r"), 15},
        {QStringLiteral("s"), 1},  {QStringLiteral("t"), 17}, {QStringLiteral("u"), 32},
        {QStringLiteral("v"), 9},  {QStringLiteral("w"), 13}, {QStringLiteral("x"), 7},
        {QStringLiteral("y"), 6},  {QStringLiteral("z"), 16}, {QStringLiteral("ä"), 39},
        {QStringLiteral("ö"), 41}, {QStringLiteral("ü"), 33},
    };
    return table;
}

const QHash<QString, VirtualKeyboardKey> &virtualKeyboardKeyTable()
{
    constexpr uint32_t none = 0;
    constexpr uint32_t shift = VirtualKeyboardStroke::shift;
    constexpr uint32_t option = VirtualKeyboardStroke::option;
    static const QHash<QString, VirtualKeyboardKey> table{
        {QStringLiteral("0"), {29, none}},
        {QStringLiteral("1"), {18, none}},
        {QStringLiteral("2"), {19, none}},
        {QStringLiteral("3"), {20, none}},
        {QStringLiteral("4"), {21, none}},
        {QStringLiteral("5"), {23, none}},
        {QStringLiteral("6"), {22, none}},
        {QStringLiteral("7"), {26, none}},
        {QStringLiteral("8"), {28, none}},
        {QStringLiteral("9"), {25, none}},
        {QStringLiteral(" "), {49, none}},
        {QStringLiteral("\n"), {36, none}},
        {QStringLiteral("\r"), {36, none}},
        {QStringLiteral("\t"), {48, none}},
        {QStringLiteral("!"), {18, shift}},
        {QStringLiteral("\""), {19, shift}},
        {QStringLiteral("§"), {20, shift}},
        {QStringLiteral("$"), {21, shift}},
        {QStringLiteral("%"), {23, shift}},
        {QStringLiteral("&"), {22, shift}},
        {QStringLiteral("/"), {26, shift}},
        {QStringLiteral("("), {28, shift}},
        {QStringLiteral(")"), {25, shift}},
        {QStringLiteral("="), {29, shift}},
        {QStringLiteral("?"), {27, shift}},
        {QStringLiteral("ß"), {27, none}},
        {QStringLiteral("´"), {24, none}},
        {QStringLiteral("`"), {24, shift}},
        {QStringLiteral("+"), {30, none}},
        {QStringLiteral("*"), {30, shift}},
        {QStringLiteral("~"), {30, option}},
        {QStringLiteral("#"), {42, none}},
        {QStringLiteral("'"), {42, shift}},
        {QStringLiteral(","), {43, none}},
        {QStringLiteral(";"), {43, shift}},
        {QStringLiteral("."), {47, none}},
        {QStringLiteral(":"), {47, shift}},
        {QStringLiteral("-"), {44, none}},
        {QStringLiteral("_"), {44, shift}},
        {QStringLiteral("^"), {50, none}},
        {QStringLiteral("°"), {50, shift}},
        {QStringLiteral("<"), {10, none}},
        {QStringLiteral(">"), {10, shift}},
        {QStringLiteral("|"), {10, option}},
        {QStringLiteral("@"), {12, option}},
        {QStringLiteral("€"), {14, option}},
        {QStringLiteral("{"), {26, option}},
        {QStringLiteral("["), {28, option}},
        {QStringLiteral("]"), {25, option}},
        {QStringLiteral("}"), {29, option}},
        {QStringLiteral("\\"), {27, option}},
        {QStringLiteral("µ"), {46, option}},
    };
    return table;
}

QList<uint16_t> virtualKeyboardModifierKeyCodes(uint32_t modifiers)
{
    static constexpr std::pair<uint32_t, uint16_t> order[] = {
        {VirtualKeyboardStroke::control, 59},
        {VirtualKeyboardStroke::shift, 56},
        {VirtualKeyboardStroke::option, 61},
        {VirtualKeyboardStroke::command, 55},
    };
    QList<uint16_t> keyCodes;
    for (const auto &[flag, keyCode] : order) {
        if (modifiers & flag)
            keyCodes.append(keyCode);
    }
    return keyCodes;
}

QList<VirtualKeyboardStroke> virtualKeyboardStrokes(const QString &text)
{
    QList<VirtualKeyboardStroke> strokes;
    VirtualKeyboardTyping typing(text);
    while (typing.next(strokes)) {
    }
    return strokes;
}

VirtualKeyboardTyping::VirtualKeyboardTyping(const QString &text)
    : m_text(text.normalized(QString::NormalizationForm_C)), m_characters(QTextBoundaryFinder::Grapheme, m_text)
{
}

bool VirtualKeyboardTyping::next(QList<VirtualKeyboardStroke> &strokes)
{
    if (m_scalarsFrom < m_scalarsTo) {
        appendUnicodeEntry(strokes, takeScalar(m_text, m_scalarsFrom));
        return true;
    }
    if (m_position >= m_text.size())
        return false;
    const qsizetype start = m_position;
    qsizetype end = m_characters.toNextBoundary();
    if (end <= start)
        end = m_text.size();
    m_position = end;
    // Every table key is one UTF-16 unit: longer characters need no lookup.
    if (end - start <= 2) {
        const QString character = m_text.mid(start, end - start);
        // CR+LF is one grapheme but one line break: one Return, like CR or LF alone.
        if (character == QLatin1String("\r\n")) {
            strokes.append({returnKeyCode, 0, character});
            return true;
        }
        if (auto stroke = tableStroke(character)) {
            strokes.append(*stroke);
            return true;
        }
    }
    m_scalarsFrom = start;
    m_scalarsTo = end;
    return next(strokes);
}

} // namespace trellium
