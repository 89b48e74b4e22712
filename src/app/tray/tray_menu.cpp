#include "app/tray/tray_menu.h"

namespace corvel {

const TrayMenuItem* TrayMenu::DefaultItem() const {
  for (const TrayMenuItem& item : items) {
    if (item.isDefault) return &item;
  }
  return nullptr;
}

void TrayMenu::Click(std::size_t index) const {
  if (index >= items.size() || !items[index].OnClick) return;
  const std::function<void()> handler = items[index].OnClick;
  handler();
}

bool TrayMenu::ClickDefault() const {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].isDefault) {
      Click(i);
      return true;
    }
  }
  return false;
}

}  // namespace corvel
