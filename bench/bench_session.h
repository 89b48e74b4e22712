// The program as the benchmarks run it in their own process: the window with
// its event loop, a view that keeps no protocol trace, a tray that records,
// and settings in memory.
#pragma once

#include <functional>

#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/tray/recording_tray_shell.h"
#include "net/posix/poll_event_loop.h"

namespace corvel::bench {

struct WindowSession {
  // `preset` sets the stored settings the window starts with.
  explicit WindowSession(const std::function<void(MemorySettingsStore&)>& preset = nullptr) {
    if (preset) preset(settings);
    view.SetProtocolTraceLimit(0);
    window.FormCreate();
  }
  PollEventLoop loop;
  InMemoryMainView view;
  RecordingTrayShell shell;
  MemorySettingsStore settings;
  FixedLocaleFormat locale;
  MainWindow window{loop, view, shell, settings, locale};
};

}  // namespace corvel::bench
