// TrayMenu: the pop-up menu of the tray icon, as a model. The main window
// builds it ("Restore", the default item, and "Exit"); a shell shows it and
// calls Click() with the item the user picked; the tray icon clicks its
// default item after a double click.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace corvel {

struct TrayMenuItem {
  std::string caption;
  // The default item is shown in bold and also answers a double click on the
  // icon. At most one item should be marked; the first marked one counts.
  bool isDefault = false;
  // Runs on the loop thread when the item is picked. May be empty.
  std::function<void()> OnClick;
};

class TrayMenu {
 public:
  std::vector<TrayMenuItem> items;
  // When false, a double click on the icon does not click the default item.
  bool autoPopup = true;
  // Runs right before a shell shows the menu: the owner may bring its items
  // up to date.
  std::function<void()> OnOpening;

  // The first item marked default; nullptr when there is none.
  [[nodiscard]] const TrayMenuItem* DefaultItem() const;

  // Runs the item's OnClick. An index past the end is ignored. The handler
  // may change or destroy the menu: nothing of it is used after the call.
  void Click(std::size_t index) const;
  // Clicks the default item; false when there is none.
  bool ClickDefault() const;
};

}  // namespace corvel
