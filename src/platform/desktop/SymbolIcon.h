#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

class QLabel;

namespace trellium {

// The colours status symbols and secondary texts are drawn in.
enum class SymbolTint { primary, secondary, accent, green, orange, red };

// Small drawn symbols under the names the windows use ("checkmark.circle.fill",
// "exclamationmark.triangle.fill", "ipad", ...), so that no icon theme is
// needed. An unknown name draws a plain circle.
class SymbolIcon {
public:
    static QColor color(SymbolTint tint);
    static QPixmap pixmap(const QString &name, int size, const QColor &color, qreal devicePixelRatio = 1.0);
    // Shows the symbol in the label and records its name and tint in the
    // label's properties "symbol" and "tint" (read by tests and styles).
    static void apply(QLabel *label, const QString &name, int size, SymbolTint tint);
    static QString tintName(SymbolTint tint);
};

} // namespace trellium
