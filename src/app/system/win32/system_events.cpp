#include "app/system/system_events.h"

// Before <windows.h>: the IP Helper's declarations need Winsock's.
#include <winsock2.h>
#include <ws2tcpip.h>
// After <winsock2.h>.
#include <iphlpapi.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace corvel {

namespace {

constexpr wchar_t kWindowClass[] = L"CorvelPowerEvents";

// What tells one state of the network from another: the addresses of the
// adapters that are up (besides loopback), and whether one has a gateway.
struct NetworkState {
  std::set<std::string> addresses;
  bool gateway = false;
  friend bool operator==(const NetworkState&, const NetworkState&) = default;
};

NetworkState ReadNetworkState() {
  NetworkState state;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(
        AF_UNSPEC, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_MULTICAST,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) {
    state.gateway = true;  // cannot tell: usable
    return state;
  }
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
      continue;
    }
    if (adapter->FirstGatewayAddress != nullptr) state.gateway = true;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      char text[NI_MAXHOST] = {};
      if (getnameinfo(unicast->Address.lpSockaddr, unicast->Address.iSockaddrLength, text,
                      sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
        state.addresses.insert(std::to_string(adapter->IfIndex) + " " + text);
      }
    }
  }
  return state;
}

// Resume from the power broadcast, which only top-level windows receive (a
// hidden one here), and address changes from NotifyAddrChange, waited for by
// the system's thread pool and handed to the loop thread.
class WindowsSystemEvents final : public SystemEvents {
 public:
  explicit WindowsSystemEvents(EventLoop& loop)
      : loop_(loop), alive_(std::make_shared<std::atomic<bool>>(true)), state_(ReadNetworkState()) {
    CreatePowerWindow();
    addressChanged_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (addressChanged_ != nullptr && ListenForAddressChange()) {
      if (!RegisterWaitForSingleObject(&wait_, addressChanged_, &AddressChanged, this, INFINITE,
                                       WT_EXECUTEDEFAULT)) {
        wait_ = nullptr;
      }
    }
  }
  ~WindowsSystemEvents() override {
    alive_->store(false);
    if (wait_ != nullptr) UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    if (listening_) CancelIPChangeNotify(&overlapped_);
    if (addressChanged_ != nullptr) CloseHandle(addressChanged_);
    if (window_ != nullptr) DestroyWindow(window_);
  }
  WindowsSystemEvents(const WindowsSystemEvents&) = delete;
  WindowsSystemEvents& operator=(const WindowsSystemEvents&) = delete;

  [[nodiscard]] bool NetworkUsable() const override { return state_.gateway; }

 private:
  void CreatePowerWindow() {
    static const ATOM atom = [] {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof windowClass;
      windowClass.lpfnWndProc = &WindowProc;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.lpszClassName = kWindowClass;
      return RegisterClassExW(&windowClass);
    }();
    if (atom == 0) return;
    // Never shown; a top-level window all the same, which a message-only one
    // is not.
    window_ = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window_ != nullptr) SetWindowLongPtrW(window_, GWLP_USERDATA, LONG_PTR(this));
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<WindowsSystemEvents*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == WM_POWERBROADCAST) {
      // Every resume brings PBT_APMRESUMEAUTOMATIC; one the user woke brings
      // PBT_APMRESUMESUSPEND too, which the program takes as the same.
      if ((wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND) && self->OnResume) {
        self->OnResume();
      }
      return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  bool ListenForAddressChange() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = addressChanged_;
    HANDLE ignored = nullptr;
    const DWORD result = NotifyAddrChange(&ignored, &overlapped_);
    listening_ = result == ERROR_IO_PENDING;
    return listening_;
  }

  static void CALLBACK AddressChanged(void* context, BOOLEAN /*timedOut*/) {
    auto* self = static_cast<WindowsSystemEvents*>(context);
    std::shared_ptr<std::atomic<bool>> alive = self->alive_;
    self->loop_.Post([self, alive] {
      if (alive->load()) self->NetworkMayHaveChanged();
    });
  }

  void NetworkMayHaveChanged() {
    (void)ListenForAddressChange();
    NetworkState now = ReadNetworkState();
    if (now == state_) return;
    state_ = std::move(now);
    if (OnNetworkChanged) OnNetworkChanged();
  }

  EventLoop& loop_;
  std::shared_ptr<std::atomic<bool>> alive_;
  NetworkState state_;
  HWND window_ = nullptr;
  HANDLE addressChanged_ = nullptr;
  HANDLE wait_ = nullptr;
  OVERLAPPED overlapped_{};
  bool listening_ = false;
};

}  // namespace

std::unique_ptr<SystemEvents> WatchSystemEvents(EventLoop& loop) {
  return std::make_unique<WindowsSystemEvents>(loop);
}

}  // namespace corvel
