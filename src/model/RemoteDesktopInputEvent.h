#pragma once

#include "core/Json.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace trellium {

// One pointer or keyboard event from the tablet's remote desktop.
struct RemoteDesktopInputEvent {
    enum class Kind {
        mouseMove,
        leftMouseDown,
        leftMouseUp,
        leftClick,
        rightClick,
        doubleClick,
        scroll,
        leftMouseDragged,
        textInput,
        keyDown,
        keyUp
    };

    Kind kind = Kind::mouseMove;
    double normalizedX = 0;
    double normalizedY = 0;
    std::optional<double> deltaX;
    std::optional<double> deltaY;
    std::optional<QString> text;
    std::optional<uint16_t> keyCode;

    bool operator==(const RemoteDesktopInputEvent &) const = default;

    QJsonObject toJson() const;
    static RemoteDesktopInputEvent fromJson(const QJsonObject &object);
};

template<>
struct EnumNames<RemoteDesktopInputEvent::Kind> {
    static constexpr std::array<const char *, 11> names{
        "mouseMove", "leftMouseDown", "leftMouseUp", "leftClick", "rightClick", "doubleClick",
        "scroll", "leftMouseDragged", "textInput", "keyDown", "keyUp"};
};

} // namespace trellium
