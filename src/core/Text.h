#pragma once

#include <QString>

namespace trellium {

// The last `count` user-perceived characters of a text (all of it when shorter).
QString lastCharacters(const QString &text, qsizetype count);

// The number of user-perceived characters (grapheme clusters).
qsizetype characterCount(const QString &text);

} // namespace trellium
