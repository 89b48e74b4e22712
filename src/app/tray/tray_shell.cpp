#include "app/tray/tray_shell.h"

namespace corvel {

std::string_view TrayPictureName(TrayPicture picture) {
  switch (picture) {
    case TrayPicture::kNone:
      return "none";
    case TrayPicture::kApplication:
      return "application";
    case TrayPicture::kMailFrame1:
      return "mail1";
    case TrayPicture::kMailFrame2:
      return "mail2";
    case TrayPicture::kDoNotDisturb:
      return "dnd";
  }
  return "none";
}

}  // namespace corvel
