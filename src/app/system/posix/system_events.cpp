#include "app/system/system_events.h"

#ifdef __linux__
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#endif

namespace corvel {

#ifdef __linux__
namespace {

std::int64_t ClockMs(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// What tells one state of the network from another: the addresses of the
// interfaces that are up (besides loopback and IPv6 link-local ones) and
// whether there is a default route.
struct NetworkState {
  std::set<std::string> addresses;
  bool defaultRoute = false;
  friend bool operator==(const NetworkState&, const NetworkState&) = default;
};

bool HasIpv4DefaultRoute() {
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);  // the heading
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, mask;
    unsigned flags = 0;
    int ignored = 0;
    fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >> ignored >>
        ignored >> ignored >> mask;
    if (destination == "00000000" && mask == "00000000" && (flags & 0x1) != 0) return true;
  }
  return false;
}

bool HasIpv6DefaultRoute() {
  std::ifstream routes("/proc/net/ipv6_route");
  std::string line;
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string destination, length, source, sourceLength, nextHop, metric, references, use, flags,
        name;
    fields >> destination >> length >> source >> sourceLength >> nextHop >> metric >> references >>
        use >> flags >> name;
    if (destination != std::string(32, '0') || length != "00" || name == "lo") continue;
    // RTF_UP, and not a route that rejects.
    const unsigned long bits = std::stoul(flags.empty() ? "0" : flags, nullptr, 16);
    if ((bits & 0x1) != 0 && (bits & 0x0200) == 0) return true;
  }
  return false;
}

NetworkState ReadNetworkState() {
  NetworkState state;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr) continue;
      if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_RUNNING) == 0 ||
          (entry->ifa_flags & IFF_LOOPBACK) != 0) {
        continue;
      }
      std::array<char, INET6_ADDRSTRLEN> text{};
      const int family = entry->ifa_addr->sa_family;
      if (family == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        ::inet_ntop(AF_INET, &address->sin_addr, text.data(), text.size());
      } else if (family == AF_INET6) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        if (IN6_IS_ADDR_LINKLOCAL(&address->sin6_addr)) continue;
        ::inet_ntop(AF_INET6, &address->sin6_addr, text.data(), text.size());
      } else {
        continue;
      }
      state.addresses.insert(std::string(entry->ifa_name) + " " + text.data());
    }
    ::freeifaddrs(list);
  }
  state.defaultRoute = HasIpv4DefaultRoute() || HasIpv6DefaultRoute();
  return state;
}

class LinuxSystemEvents final : public SystemEvents {
 public:
  explicit LinuxSystemEvents(EventLoop& loop) : loop_(loop), state_(ReadNetworkState()) {
    (void)sleep_.Slept(ClockMs(CLOCK_BOOTTIME), ClockMs(CLOCK_MONOTONIC));
    WatchNetlink();
    WatchClock();
  }
  ~LinuxSystemEvents() override {
    for (const int fd : {netlink_, clock_}) {
      if (fd < 0) continue;
      loop_.UnwatchSocket(fd);
      ::close(fd);
    }
  }
  LinuxSystemEvents(const LinuxSystemEvents&) = delete;
  LinuxSystemEvents& operator=(const LinuxSystemEvents&) = delete;

  [[nodiscard]] bool NetworkUsable() const override { return state_.defaultRoute; }

  void LookAgain() override {
    if (sleep_.Slept(ClockMs(CLOCK_BOOTTIME), ClockMs(CLOCK_MONOTONIC)) && OnResume) OnResume();
  }

 private:
  void WatchNetlink() {
    netlink_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (netlink_ < 0) return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE;
    if (::bind(netlink_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(netlink_);
      netlink_ = -1;
      return;
    }
    loop_.WatchSocket(netlink_, EventLoop::kIoReadable, [this](unsigned) { NetlinkReady(); });
  }

  // A timer set far ahead that the system cancels when the clock is set.
  void WatchClock() {
    clock_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clock_ < 0) return;
    if (!ArmClock()) {
      ::close(clock_);
      clock_ = -1;
      return;
    }
    loop_.WatchSocket(clock_, EventLoop::kIoReadable, [this](unsigned) { ClockSet(); });
  }
  bool ArmClock() {
    itimerspec far{};
    far.it_value.tv_sec = std::numeric_limits<std::int32_t>::max();
    return ::timerfd_settime(clock_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr) ==
           0;
  }

  void NetlinkReady() {
    std::array<char, 8192> buffer;
    // Only that something changed matters; the state is read afresh, also
    // after the queue overflowed (ENOBUFS).
    for (;;) {
      const ssize_t got = ::recv(netlink_, buffer.data(), buffer.size(), 0);
      if (got > 0 || (got < 0 && (errno == ENOBUFS || errno == EINTR))) continue;
      break;
    }
    LookAgain();
    NetworkState now = ReadNetworkState();
    if (now == state_) return;
    state_ = std::move(now);
    if (OnNetworkChanged) OnNetworkChanged();
  }

  void ClockSet() {
    std::uint64_t expirations = 0;
    // Fails with ECANCELED once the clock was set; the timer is set again.
    (void)::read(clock_, &expirations, sizeof expirations);
    if (!ArmClock()) {
      loop_.UnwatchSocket(clock_);
      ::close(clock_);
      clock_ = -1;
    }
    LookAgain();
  }

  EventLoop& loop_;
  int netlink_ = -1;
  int clock_ = -1;
  SleepDetector sleep_;
  NetworkState state_;
};

}  // namespace

std::unique_ptr<SystemEvents> WatchSystemEvents(EventLoop& loop) {
  return std::make_unique<LinuxSystemEvents>(loop);
}

#else

std::unique_ptr<SystemEvents> WatchSystemEvents(EventLoop&) {
  return std::make_unique<SystemEvents>();
}

#endif

}  // namespace corvel
