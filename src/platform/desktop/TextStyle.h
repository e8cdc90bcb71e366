#pragma once

#include "platform/desktop/SymbolIcon.h"

class QLabel;
class QWidget;

namespace trellium {

// The text sizes of the windows, relative to the application's font, and
// the helpers that give labels their look.
class TextStyle {
public:
    enum class Size { title, title2, title3, headline, body, callout, caption };

    static void apply(QWidget *widget, Size size, bool bold = false);
    static void setTint(QWidget *widget, SymbolTint tint);
    // A label that wraps at word boundaries and takes the width its layout
    // gives it, so long texts grow downwards instead of widening the window.
    static QLabel *wrappingLabel(const QString &text = {}, QWidget *parent = nullptr);
    // Text the user can select and copy.
    static void makeSelectable(QLabel *label);
};

} // namespace trellium
