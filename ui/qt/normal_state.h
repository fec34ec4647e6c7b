#pragma once

class QWidget;

namespace orvandale::ui::qt {

/// Keeps the fixed-size top-level `window` at its own size in the normal state on a Wayland
/// compositor: when the window is asked for the maximised or full-screen state (by the title
/// bar Qt draws there, or by the compositor), it takes that state only as long as the protocol
/// needs and then returns to the normal state and its fixed size. Does nothing elsewhere: an
/// X11 window manager honours a fixed size by itself.
void keepNormalStateOnWayland(QWidget* window);

}  // namespace orvandale::ui::qt
