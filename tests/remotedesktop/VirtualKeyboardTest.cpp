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

TEST(VirtualKeyboardStrokes, TextIsTypedInOrderByGermanPositionsOrAsHexCodePoints)
{
    // German positions: Z where the Mac's ANSI Y is, y where its Z is.
    EXPECT_EQ(strokes(QStringLiteral("Zy@1 Ä")),
              (std::vector<Stroke>{typed(16, shift, "Z"), typed(6, none, "y"), typed(12, option, "@"),
                                   typed(18, none, "1"), typed(49, none, " "), typed(39, shift, "Ä")}));
    EXPECT_TRUE(strokes(QString()).empty());

    // Characters outside the tables are entered as hex code points.
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

    // Every line break is one Return.
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
