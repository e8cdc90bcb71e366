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

} // namespace trellium
