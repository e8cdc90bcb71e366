#include "remotedesktop/VirtualKeyboard.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace trellium {
// Readable failures.
void PrintTo(const VirtualKeyboardStroke &stroke, std::ostream *out)
{
    *out << "{" << stroke.keyCode << ", 0x" << std::hex << stroke.modifiers << std::dec << ", \""
         << stroke.characters.toStdString() << "\"}";
}
} // namespace trellium

using namespace trellium;
using Stroke = VirtualKeyboardStroke;

namespace {

constexpr uint32_t none = 0;
constexpr uint32_t shift = Stroke::shift;
constexpr uint32_t control = Stroke::control;
constexpr uint32_t option = Stroke::option;

std::vector<Stroke> strokes(const QString &text)
{
    const QList<Stroke> list = virtualKeyboardStrokes(text);
    return {list.begin(), list.end()};
}

const Stroke unicodeEntry{32, control | shift, QString()};
const Stroke returnKey{36, none, QStringLiteral("\r")};

Stroke typed(uint16_t keyCode, uint32_t modifiers, const char *characters)
{
    return {keyCode, modifiers, QString::fromUtf8(characters)};
}

} // namespace

TEST(VirtualKeyboardTables, LettersByGermanPositionShiftedWhenUpperCase)
{
    const std::vector<std::pair<const char *, uint16_t>> letters{
        {"a", 0},  {"b", 11}, {"c", 8},  {"d", 2},  {"e", 14}, {"f", 3},  {"g", 5},  {"h", 4},
        {"i", 34}, {"j", 38}, {"k", 40}, {"l", 37}, {"m", 46}, {"n", 45}, {"o", 31}, {"p", 35},
        {"q", 12}, {"r", 15}, {"s", 1},  {"t", 17}, {"u", 32}, {"v", 9},  {"w", 13}, {"x", 7},
        // German layout: y sits where the Mac's ANSI Z is (6), z where its Y is (16).
        {"y", 6},  {"z", 16}, {"ä", 39}, {"ö", 41}, {"ü", 33},
    };
    EXPECT_EQ(virtualKeyboardLetterTable().size(), qsizetype(letters.size()));
    for (const auto &[text, keyCode] : letters) {
        const QString letter = QString::fromUtf8(text);
        const QString upper = letter.toUpper();
        SCOPED_TRACE(text);
        EXPECT_EQ(strokes(letter), (std::vector<Stroke>{Stroke{keyCode, none, letter}}));
        EXPECT_EQ(strokes(upper), (std::vector<Stroke>{Stroke{keyCode, shift, upper}}));
    }
}

TEST(VirtualKeyboardTables, SymbolsWithTheirGermanModifiers)
{
    const std::vector<std::tuple<const char *, uint16_t, uint32_t>> symbols{
        {"0", 29, none},  {"1", 18, none},   {"2", 19, none},  {"3", 20, none},   {"4", 21, none},
        {"5", 23, none},  {"6", 22, none},   {"7", 26, none},  {"8", 28, none},   {"9", 25, none},
        {" ", 49, none},  {"\n", 36, none},  {"\r", 36, none}, {"\t", 48, none},  {"ß", 27, none},
        {"´", 24, none},  {"+", 30, none},   {"#", 42, none},  {",", 43, none},   {".", 47, none},
        {"-", 44, none},  {"^", 50, none},   {"<", 10, none},
        {"!", 18, shift}, {"\"", 19, shift}, {"§", 20, shift}, {"$", 21, shift},  {"%", 23, shift},
        {"&", 22, shift}, {"/", 26, shift},  {"(", 28, shift}, {")", 25, shift},  {"=", 29, shift},
        {"?", 27, shift}, {"`", 24, shift},  {"*", 30, shift}, {"'", 42, shift},  {";", 43, shift},
        {":", 47, shift}, {"_", 44, shift},  {"°", 50, shift}, {">", 10, shift},
        {"~", 30, option}, {"|", 10, option}, {"@", 12, option}, {"€", 14, option}, {"{", 26, option},
        {"[", 28, option}, {"]", 25, option}, {"}", 29, option}, {"\\", 27, option}, {"µ", 46, option},
    };
    ASSERT_EQ(symbols.size(), 52u);
    EXPECT_EQ(virtualKeyboardKeyTable().size(), qsizetype(symbols.size()));
    for (const auto &[text, keyCode, modifiers] : symbols) {
        SCOPED_TRACE(text);
        EXPECT_EQ(strokes(QString::fromUtf8(text)), std::vector<Stroke>{typed(keyCode, modifiers, text)});
    }
}

TEST(VirtualKeyboardStrokes, TextIsTypedCharacterByCharacterInOrder)
{
    EXPECT_EQ(strokes(QStringLiteral("Zy@1 Ä")),
              (std::vector<Stroke>{typed(16, shift, "Z"), typed(6, none, "y"), typed(12, option, "@"),
                                   typed(18, none, "1"), typed(49, none, " "), typed(39, shift, "Ä")}));
    EXPECT_TRUE(strokes(QString()).empty());
}

TEST(VirtualKeyboardStrokes, CharactersOutsideTheTablesAreEnteredAsHexCodePoints)
{
    const std::vector<Stroke> eAcute{unicodeEntry, typed(14, shift, "E"), typed(25, none, "9"), returnKey};
    EXPECT_EQ(strokes(QStringLiteral("\u00e9")), eAcute);
    // Composed first, so the decomposed form is one code point, not two entries.
    EXPECT_EQ(strokes(QStringLiteral("e\u0301")), eAcute);

    // A flag is one character of two scalars: one entry per scalar, no leading zeros.
    const std::vector<Stroke> flag{
        unicodeEntry, typed(18, none, "1"), typed(3, shift, "F"), typed(18, none, "1"),
        typed(14, shift, "E"), typed(25, none, "9"), returnKey,
        unicodeEntry, typed(18, none, "1"), typed(3, shift, "F"), typed(18, none, "1"),
        typed(14, shift, "E"), typed(0, shift, "A"), returnKey,
    };
    EXPECT_EQ(strokes(QStringLiteral("\U0001F1E9\U0001F1EA")), flag);
}

TEST(VirtualKeyboardStrokes, EveryLineBreakIsOneReturn)
{
    std::vector<std::pair<uint16_t, uint32_t>> keys;
    for (const Stroke &stroke : strokes(QStringLiteral("a\r\nb\nc\rd\n\n")))
        keys.emplace_back(stroke.keyCode, stroke.modifiers);
    EXPECT_EQ(keys, (std::vector<std::pair<uint16_t, uint32_t>>{
                        {0, none}, {36, none}, {11, none}, {36, none}, {8, none}, {36, none}, {2, none},
                        {36, none}, {36, none}}));
}

TEST(VirtualKeyboardTyping, AHugeCharacterIsTypedOneScalarAtATime)
{
    // One grapheme of an e and 3,000 acute accents: composed to é and 2,999
    // accents, each its own Unicode entry, taken one at a time.
    const QString text = QStringLiteral("x") + QLatin1Char('e') + QString(3000, QChar(0x0301)) + QStringLiteral("y");
    VirtualKeyboardTyping typing(text);
    QList<Stroke> step;
    std::vector<std::vector<Stroke>> steps;
    while (typing.next(step)) {
        EXPECT_LE(step.size(), VirtualKeyboardTyping::maximumStrokesPerStep);
        steps.emplace_back(step.begin(), step.end());
        step.clear();
    }
    ASSERT_EQ(steps.size(), 1u + 3000u + 1u);
    EXPECT_EQ(steps.front(), std::vector<Stroke>{typed(7, none, "x")});
    EXPECT_EQ(steps[1], (std::vector<Stroke>{unicodeEntry, typed(14, shift, "E"), typed(25, none, "9"), returnKey}));
    const std::vector<Stroke> accent{unicodeEntry, typed(20, none, "3"), typed(29, none, "0"), typed(18, none, "1"),
                                     returnKey};
    EXPECT_EQ(steps[2], accent);
    EXPECT_EQ(steps[3000], accent);
    EXPECT_EQ(steps.back(), std::vector<Stroke>{typed(6, none, "y")});

    // The largest scalar takes the most strokes; a lone surrogate stands for U+FFFD.
    EXPECT_EQ(strokes(QStringLiteral("\U0010FFFF")).size(), size_t(VirtualKeyboardTyping::maximumStrokesPerStep));
    EXPECT_EQ(strokes(QString(QChar(0xD800))), strokes(QString(QChar(0xFFFD))));
}
