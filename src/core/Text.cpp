#include "core/Text.h"

#include <QTextBoundaryFinder>

namespace trellium {

QString lastCharacters(const QString &text, qsizetype count)
{
    // Fewer code units than wanted characters: nothing to cut.
    if (text.size() <= count)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype position = text.size();
    for (qsizetype i = 0; i < count; ++i) {
        position = finder.toPreviousBoundary();
        if (position <= 0)
            return text;
    }
    return text.mid(position);
}

qsizetype characterCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

namespace {

constexpr char16_t kEscape = 0x1b;
constexpr char16_t kBell = 0x07;
constexpr char16_t kStringTerminator = 0x9c;

bool isBetween(char16_t c, char16_t first, char16_t last)
{
    return c >= first && c <= last;
}

// Characters that change how the rest of a line is shown.
bool isBidirectionalControl(char16_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || isBetween(c, 0x202a, 0x202e) || isBetween(c, 0x2066, 0x2069);
}

// Where a control sequence (parameters, intermediates, final byte) ends.
qsizetype afterControlSequence(const QString &text, qsizetype i)
{
    while (i < text.size() && isBetween(text[i].unicode(), 0x20, 0x3f))
        ++i;
    return i < text.size() && isBetween(text[i].unicode(), 0x40, 0x7e) ? i + 1 : i;
}

// Where a command string (a title, a device control) ends: after BEL or the
// string terminator, or at the end of the text, as a terminal would take it.
qsizetype afterCommandString(const QString &text, qsizetype i)
{
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == kBell || c == kStringTerminator)
            return i + 1;
        if (c == kEscape && i + 1 < text.size() && text[i + 1] == QLatin1Char('\\'))
            return i + 2;
    }
    return i;
}

} // namespace

QString withoutControlCharacters(const QString &text)
{
    QString result;
    result.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        const char16_t c = text[i].unicode();
        const char16_t next = i + 1 < text.size() ? text[i + 1].unicode() : 0;
        if (c == kEscape && next == u'[') {
            i = afterControlSequence(text, i + 2);
        } else if (c == 0x9b) {
            i = afterControlSequence(text, i + 1);
        } else if (c == kEscape && (next == u']' || next == u'P' || next == u'X' || next == u'^' || next == u'_')) {
            i = afterCommandString(text, i + 2);
        } else if (c == 0x9d || c == 0x90 || c == 0x98 || c == 0x9e || c == 0x9f) {
            i = afterCommandString(text, i + 1);
        } else if (c == kEscape) {
            // Intermediates, then the one final character.
            ++i;
            while (i < text.size() && isBetween(text[i].unicode(), 0x20, 0x2f))
                ++i;
            if (i < text.size() && isBetween(text[i].unicode(), 0x30, 0x7e))
                ++i;
        } else {
            const QChar::Category category = QChar::category(c);
            const bool control = category == QChar::Other_Control || category == QChar::Separator_Line
                || category == QChar::Separator_Paragraph || isBidirectionalControl(c);
            result.append(control ? QChar(u' ') : text[i]);
            ++i;
        }
    }
    return result;
}

} // namespace trellium
