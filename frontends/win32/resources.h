// Resource numbers of corvel.exe, shared by the resource script and the code.
#pragma once

#define CORVEL_ICON_APPLICATION 1
#define CORVEL_ICON_MAIL1 2
#define CORVEL_ICON_MAIL2 3
#define CORVEL_ICON_DND 4

#ifdef __cplusplus
namespace corvel::win32 {
inline constexpr int kApplicationIcon = CORVEL_ICON_APPLICATION;
inline constexpr int kMailIcon1 = CORVEL_ICON_MAIL1;
inline constexpr int kMailIcon2 = CORVEL_ICON_MAIL2;
inline constexpr int kDoNotDisturbIcon = CORVEL_ICON_DND;
}  // namespace corvel::win32
#endif
