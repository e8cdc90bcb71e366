#pragma once

#include <QString>

namespace trellium {

// The last `count` user-perceived characters of a text (all of it when shorter).
QString lastCharacters(const QString &text, qsizetype count);

// The number of user-perceived characters (grapheme clusters).
qsizetype characterCount(const QString &text);

// A text from another process made safe to print on a terminal: escape
// sequences (colours, titles, cursor moves) are left out, every other control
// character and bidirectional override becomes a blank.
QString withoutControlCharacters(const QString &text);

} // namespace trellium
