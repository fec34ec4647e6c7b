#pragma once

// For the Qt layer's tests: the status window built through the toolkit layer as the launch
// builds it (heading row of spinner and heading, then detail, elapsed line and the hidden
// button, in a column pinned 28 / 28 / 26), not yet shown.

#include <memory>
#include <string_view>

#include "ui/qt/qt_application.h"
#include "ui/qt/qt_views.h"

namespace orvandale::ui::qt::testing {

struct StatusWindow {
  std::unique_ptr<Window> window;
  std::shared_ptr<Spinner> spinner;
  std::shared_ptr<Label> heading, detail, elapsed;
  std::shared_ptr<Button> button;

  QWidget* widget() const { return dynamic_cast<QtWindow&>(*window).widget(); }
};

inline StatusWindow buildStatusWindow(QtApplication& application, std::string_view headingText,
                                      std::string_view detailText) {
  StatusWindow built;
  built.window = application.makeWindow(500, 230, WindowStyle{true, true, true, false});
  built.window->setTitle("Updating Orvandale to 4.2");
  built.heading = application.makeLabel(headingText);
  built.detail = application.makeWrappingLabel(detailText);
  built.elapsed = application.makeLabel("");
  built.spinner = application.makeSpinner();
  built.button = application.makeButton("Close status");
  built.heading->setFont(Font{Font::Weight::bold, 20});
  built.detail->setFont(Font{Font::Weight::regular, 14});
  built.detail->setMaximumNumberOfLines(3);
  built.elapsed->setTextColor(TextColor::secondaryLabel);
  built.spinner->setStyle(SpinnerStyle::spinning);
  built.spinner->setIndeterminate(true);
  built.button->setHidden(true);
  auto row = application.makeStackView({built.spinner, built.heading});
  row->setSpacing(14);
  auto column = application.makeStackView({row, built.detail, built.elapsed, built.button});
  column->setOrientation(Orientation::vertical);
  column->setAlignment(Alignment::leading);
  column->setSpacing(16);
  built.window->contentView()->addSubview(column);
  const EdgeConstraint pins[] = {{column, Edge::leading, 28}, {column, Edge::trailing, -28}, {column, Edge::top, 26}};
  built.window->contentView()->activateConstraints(pins);
  return built;
}

}  // namespace orvandale::ui::qt::testing
