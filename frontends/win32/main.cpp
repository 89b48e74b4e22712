// corvel.exe: Corvel on Windows — the window and the notification-area icon
// with the Win32 API.
//   corvel.exe [--MINIMIZE] [--dir FOLDER]
#include <windows.h>
// After <windows.h>.
#include <commctrl.h>
#include <shellapi.h>

#include <cctype>
#include <cstddef>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "app/main_window.h"
#include "app/settings/win32/registry_settings_store.h"
#include "app/text/win32/locale_format.h"
#include "app/text/win32/wide_text.h"
#include "net/win32/event_loop.h"
#include "win32/resources.h"
#include "win32/win32_main_view.h"
#include "win32/win32_tray_shell.h"

namespace {

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return corvel::Utf8Text(path);
    }
    path.resize(path.size() * 2);
  }
}

std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) arguments.push_back(corvel::Utf8Text(argv[i]));
    LocalFree(argv);
  }
  return arguments;
}

HICON LoadPicture(HINSTANCE instance, int id, int size) {
  return static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

void ShowFatal(const char* what) {
  MessageBoxW(nullptr, corvel::WideText(what).c_str(), L"Corvel!", MB_OK | MB_ICONERROR);
}

// The folder named by "--dir FOLDER" (any letter case) or "-C FOLDER", which
// the logon entry carries: the program changes into it before anything else,
// as it opens its files by bare name. Both words leave the arguments. False,
// after saying why, when the folder cannot be entered.
bool EnterNamedFolder(std::vector<std::string>& arguments) {
  std::size_t i = 0;
  while (i < arguments.size()) {
    std::string word = arguments[i];
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word != "--dir" && arguments[i] != "-C") {
      ++i;
      continue;
    }
    if (i + 1 == arguments.size()) {
      ShowFatal(("The switch " + arguments[i] + " needs a folder after it.").c_str());
      return false;
    }
    const std::string folder = arguments[i + 1];
    if (!SetCurrentDirectoryW(corvel::WideText(folder).c_str())) {
      const std::string why = std::system_category().message(static_cast<int>(GetLastError()));
      ShowFatal(("Corvel cannot change into the folder '" + folder + "': " + why).c_str());
      return false;
    }
    arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                    arguments.begin() + static_cast<std::ptrdiff_t>(i) + 2);
  }
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  INITCOMMONCONTROLSEX controls{
      sizeof(INITCOMMONCONTROLSEX),
      ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  corvel::MainWindowOptions options;
  options.programPath = ProgramPath();
  options.arguments = Arguments();
  if (!EnterNamedFolder(options.arguments)) return 2;
  // The program that lives in the tray: one per folder.
  options.longRunning = true;

  try {
    const int small = GetSystemMetrics(SM_CXSMICON);
    const int large = GetSystemMetrics(SM_CXICON);
    corvel::win32::TrayIcons pictures = {
        nullptr, LoadPicture(instance, corvel::win32::kApplicationIcon, small),
        LoadPicture(instance, corvel::win32::kMailIcon1, small),
        LoadPicture(instance, corvel::win32::kMailIcon2, small),
        LoadPicture(instance, corvel::win32::kDoNotDisturbIcon, small)};

    corvel::MessageEventLoop loop;
    corvel::win32::Win32MainView view(
        instance, LoadPicture(instance, corvel::win32::kApplicationIcon, large), pictures[1]);
    corvel::win32::Win32TrayShell shell(loop, instance, pictures);
    corvel::RegistrySettingsStore settings;
    const corvel::Win32LocaleFormat localeFormat;
    corvel::MainWindow window(loop, view, shell, settings, localeFormat, std::move(options));
    view.Attach(window);
    // Tab and the arrow keys move between the window's controls.
    loop.OnPreTranslate = [&view](void* message) {
      if (IsDialogMessageW(view.Handle(), static_cast<MSG*>(message)) == FALSE) return false;
      view.ScrollFocusIntoView();
      return true;
    };

    window.FormCreate();
    view.Show(showCommand);
    // FormPaint runs at the first paint; "Exit" ends the loop. The loop's
    // own wait wakes for its work only; this one also for painting and the
    // mouse.
    while (!loop.Terminated()) {
      WaitMessage();
      try {
        loop.ProcessEvents(0);
      } catch (const std::exception& e) {
        view.ShowError(e.what());
      }
    }
    return window.Exited() ? 0 : 2;
  } catch (const std::exception& e) {
    ShowFatal(e.what());
    return 2;
  }
}
