// Helpers shared by the AsyncSocket tests: an event recorder and a socket
// that records what it offers to the network.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "net/async_socket.h"
#include "net/socket_calls.h"
#include "net/socket_errors.h"
#include "support/system_event_loop.h"

namespace corvel::test {

// The text of the SocketException a call raises, or "" when it raises none.
template <typename Call>
std::string RaisedText(Call call) {
  try {
    call();
  } catch (const SocketException& e) {
    return e.what();
  }
  return "";
}

// Records the socket's events as "name:code" in the order they fire.
struct EventLog {
  std::vector<std::string> events;

  void Attach(CustomAsyncSocket& socket) {
    socket.OnDnsLookupDone = [this](std::uint16_t e) { Add("lookup", e); };
    socket.OnSessionConnected = [this](std::uint16_t e) { Add("connected", e); };
    socket.OnSessionClosed = [this](std::uint16_t e) { Add("closed", e); };
    socket.OnDataSent = [this](std::uint16_t e) { Add("sent", e); };
  }
  void Add(const std::string& name, int code) {
    events.push_back(name + ":" + std::to_string(code));
  }
  [[nodiscard]] int Count(const std::string& prefix) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const std::string& e) {
      return e.compare(0, prefix.size(), prefix) == 0;
    }));
  }
  [[nodiscard]] bool Has(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
};

// An AsyncSocket that notes every chunk it hands to the network and how many
// bytes the network took.
class RecordingSocket : public AsyncSocket {
 public:
  using AsyncSocket::AsyncSocket;
  std::vector<int> offered;
  long long accepted = 0;  // bytes the network took

 protected:
  int RawSend(const void* data, int length) override {
    offered.push_back(length);
    int sent = AsyncSocket::RawSend(data, length);
    if (sent > 0) accepted += sent;
    return sent;
  }
};

// A data handler that appends what arrives to `into`, reading at most `chunk`
// bytes per event as the POP3 client does with its buffer.
inline void ReadInto(CustomAsyncSocket& socket, std::string& into, int chunk = 4093) {
  socket.OnDataAvailable = [&socket, &into, chunk](std::uint16_t) {
    std::vector<char> buffer(static_cast<std::size_t>(chunk));
    int got = socket.Receive(buffer.data(), chunk);
    if (got > 0) into.append(buffer.data(), static_cast<std::size_t>(got));
  };
}

// The system's event loop, counting the tasks posted to it, so a test can tell
// that a worker thread has handed its result over before the loop runs it.
class CountingLoop : public EventLoop {
 public:
  void Post(Task task) override {
    inner_.Post(std::move(task));
    std::lock_guard lock(mutex_);
    ++posted_;
    changed_.notify_all();
  }
  // True once at least `count` tasks were posted, false after timeoutMs.
  bool WaitForPosts(int count, int timeoutMs = 10000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return posted_ >= count; });
  }
  TimerId StartTimer(std::uint32_t intervalMs, Task onExpiry) override {
    return inner_.StartTimer(intervalMs, std::move(onExpiry));
  }
  void StopTimer(TimerId id) override { inner_.StopTimer(id); }
  void WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) override {
    inner_.WatchSocket(socket, interest, std::move(handler));
  }
  void UpdateSocket(SocketHandle socket, unsigned interest) override {
    inner_.UpdateSocket(socket, interest);
  }
  void UnwatchSocket(SocketHandle socket) override { inner_.UnwatchSocket(socket); }
  bool WatchNetworkEvents(SocketHandle socket, NetworkEventHandler handler) override {
    return inner_.WatchNetworkEvents(socket, std::move(handler));
  }
  bool ProcessEvents(std::uint32_t maxWaitMs) override { return inner_.ProcessEvents(maxWaitMs); }
  void Terminate() override { inner_.Terminate(); }
  [[nodiscard]] bool Terminated() const override { return inner_.Terminated(); }

 private:
  test::SystemEventLoop inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int posted_ = 0;
};

}  // namespace corvel::test
