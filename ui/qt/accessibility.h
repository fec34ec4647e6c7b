#pragma once

// What the status window tells assistive technology, through Qt's accessibility API (which Qt
// speaks on Linux as AT-SPI): our own widgets bring accessible interfaces that say what a stock
// Qt widget would say, and more where it helps a screen-reader user follow an update.
//
// How an element reads follows from where it stands, so the controller needs to say nothing:
// - a label beside a spinner is the window's heading (role heading);
// - a label in the secondary colour is supplementary (the elapsed time): its text is readable
//   on demand but it has no name, sends no event and is never announced;
// - every other label is plain text (role label), its name and Text interface its text;
// - the spinner is an indeterminate progress bar, busy while its animation runs;
// - each change of a heading is announced once the event that made it has been handled, by a
//   notification object shown in the window: the heading alone while the spinner beside it
//   turns, and the heading with the window's other text as soon as the spinner has stopped
//   (the update needs the user).

#include <QString>

class QAccessibleInterface;
class QWidget;

namespace orvandale::ui::qt {

class SpinnerWidget;
class TextLabel;

/// The accessible name of a spinner: what it shows.
inline constexpr const char* spinnerAccessibleName = "Update progress";
/// The accessible description of a status window, which names the window for what it is.
inline constexpr const char* windowAccessibleDescription = "Status of the Orvandale update";

/// Makes Qt describe the window's own widgets through the interfaces above. Once per
/// application object, after it exists; further calls change nothing.
void installAccessibility();

/// Tells assistive technology that `label`'s text changed from `previous`. Sends nothing while
/// no assistive technology listens.
void labelTextChanged(TextLabel& label, const QString& previous);

/// Tells assistive technology that `spinner` became busy or stopped being busy.
void spinnerBusyChanged(SpinnerWidget& spinner);

/// The heading of the window that holds `widget`: the label beside its spinner; null if none.
TextLabel* headingOf(const QWidget& widget);

/// The announcement a window shows now, while it shows one; null otherwise.
QAccessibleInterface* currentAnnouncement(const QWidget& window);

}  // namespace orvandale::ui::qt
