#include "net/async_socket.h"

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "net/resolve.h"
#include "net/socket_calls.h"
#include "net/socket_errors.h"

namespace corvel {
namespace {

constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;
constexpr int kDiscardChunk = 1024;
// A data handler that leaves the waiting bytes unread this many passes in a
// row stops the read notifications until the program reads again (the
// peer's close is still seen), so it cannot keep the thread busy forever.
constexpr int kIdlePassesBeforeStall = 2;

bool IsFatalSendError(int code) {
  return code == kWsaEconnreset || code == kWsaEnotsock || code == kWsaEnotconn ||
         code == kWsaEinval || code == kWsaEconnaborted;
}

template <typename Handler, typename... Args>
void Fire(const Handler& handler, Args... args) {
  // A copy, so a handler may reassign its own event while it runs.
  if (handler) {
    Handler copy = handler;
    copy(args...);
  }
}

}  // namespace

// One asynchronous host lookup. The worker thread reads only `host` and, under
// the mutex, `loop`; the socket clears `loop` when it gives the request up, so
// a cancelled or destroyed socket's worker never posts. The posted result
// carries the request, and the socket accepts it only while it is still the
// pending one; the liveness token keeps a destroyed socket from being called.
struct CustomAsyncSocket::LookupRequest {
  std::mutex mutex;
  EventLoop* loop = nullptr;
  std::string host;
  // Loop thread only.
  std::weak_ptr<char> alive;
  CustomAsyncSocket* socket = nullptr;

  static void Run(const std::shared_ptr<LookupRequest>& self) {
    std::vector<std::uint32_t> addresses;
    int error = sockets::LookupHost(self->host, addresses);
    std::lock_guard lock(self->mutex);
    if (self->loop == nullptr) return;
    self->loop->Post([self, error, addresses = std::move(addresses)] {
      if (self->alive.expired()) return;
      self->socket->LookupFinished(self, error, addresses);
    });
  }

  void Abandon() {
    std::lock_guard lock(mutex);
    loop = nullptr;
  }
};

struct CustomAsyncSocket::Impl {
  std::shared_ptr<char> alive = std::make_shared<char>(0);

  std::string addr;
  std::string port;
  std::string proto = "tcp";
  std::string localAddr = "0.0.0.0";
  std::string localPort = "0";
  bool addrAssigned = false;
  bool portAssigned = false;
  bool protoAssigned = true;
  bool addrResolved = false;
  bool portResolved = false;
  bool protoResolved = false;
  bool localPortResolved = false;

  // The resolved endpoint; address and remote port in network byte order.
  std::uint32_t remoteAddress = 0;
  std::uint16_t remotePort = 0;
  int protocol = 6;
  sockets::SocketType type = sockets::SocketType::kStream;
  std::uint16_t localPortNumber = 0;

  std::string dnsResult;
  std::vector<std::string> dnsResultList;
  std::shared_ptr<LookupRequest> lookup;

  SocketState state = SocketState::wsClosed;
  std::int64_t readCount = 0;
  std::int32_t lastError = 0;
  SocketOptions options = 0;
  SocketLingerOnOff lingerOnOff = SocketLingerOnOff::wsLingerOn;
  std::int32_t lingerTimeout = 0;
  SocketSendFlags sendFlags = SocketSendFlags::wsSendNormal;

  SocketHandle handle = kInvalidSocket;
  std::uint64_t connection = 0;  // serial of the OS socket; a reused descriptor is not the same
  bool watched = false;
  // The loop hands on the system's own network events; no readiness to
  // translate, no interest to keep up to date.
  bool nativeEvents = false;
  unsigned interest = 0;
  std::uint16_t currentEvent = 0;

  std::deque<SendBlock> sendQueue;
  bool allSent = true;
  bool closeNotified = false;
  bool paused = false;
  bool destroying = false;

  std::uint64_t bytesReceived = 0;  // every byte taken from the network, for the stall guard
  int idlePasses = 0;
  bool readStalled = false;
  // The last read in this pass of the receive loop took less than it asked
  // for: nothing more was waiting then. The loop's own count of waiting
  // bytes (countAfterRead) trusts it.
  bool readDrained = false;
  bool countAfterRead = false;
};

CustomAsyncSocket::CustomAsyncSocket(EventLoop& loop)
    : loop_(loop), impl_(std::make_unique<Impl>()) {
  const std::string failure = sockets::AcquireLibrary();
  if (!failure.empty()) throw SocketException(failure);
}

CustomAsyncSocket::~CustomAsyncSocket() {
  impl_->destroying = true;
  try {
    CancelLookup();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
  if (impl_->state != SocketState::wsClosed) {
    try {
      Close();
    } catch (...) {
    }
  }
  AbandonHandle();
  sockets::ReleaseLibrary();
}

// ---- Properties.

const std::string& CustomAsyncSocket::Addr() const { return impl_->addr; }

void CustomAsyncSocket::SetAddr(std::string_view addr) {
  std::string_view value = TrimBlanks(addr);
  if (value == impl_->addr) return;
  if (impl_->state != SocketState::wsClosed) {
    ReportError("Cannot change Addr if not closed");
    return;
  }
  impl_->addr = value;
  impl_->addrAssigned = !value.empty();
  impl_->addrResolved = false;
}

const std::string& CustomAsyncSocket::Port() const { return impl_->port; }

void CustomAsyncSocket::SetPort(std::string_view port) {
  std::string_view value = TrimBlanks(port);
  if (value == impl_->port) return;
  if (impl_->state != SocketState::wsClosed) {
    ReportError("Cannot change Port if not closed");
    return;
  }
  impl_->port = value;
  impl_->portAssigned = !value.empty();
  impl_->portResolved = false;
}

const std::string& CustomAsyncSocket::Proto() const { return impl_->proto; }

void CustomAsyncSocket::SetProto(std::string_view proto) {
  std::string_view value = TrimBlanks(proto);
  if (value == impl_->proto) return;
  if (impl_->state != SocketState::wsClosed) {
    ReportError("Cannot change Proto if not closed");
    return;
  }
  impl_->proto = value;
  impl_->protoAssigned = !value.empty();
  impl_->protoResolved = false;
}

const std::string& CustomAsyncSocket::LocalAddr() const { return impl_->localAddr; }

void CustomAsyncSocket::SetLocalAddr(std::string_view addr) {
  if (impl_->state != SocketState::wsClosed) {
    ReportError("Cannot change LocalAddr if not closed");
    return;
  }
  impl_->localAddr = addr.empty() ? std::string("0.0.0.0") : std::string(addr);
}

const std::string& CustomAsyncSocket::LocalPort() const { return impl_->localPort; }

void CustomAsyncSocket::SetLocalPort(std::string_view port) {
  if (impl_->state != SocketState::wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  impl_->localPort = port;
  impl_->localPortResolved = false;
}

const std::string& CustomAsyncSocket::DnsResult() const { return impl_->dnsResult; }
const std::vector<std::string>& CustomAsyncSocket::DnsResultList() const {
  return impl_->dnsResultList;
}
SocketState CustomAsyncSocket::State() const { return impl_->state; }
std::int64_t CustomAsyncSocket::ReadCount() const { return impl_->readCount; }
std::int32_t CustomAsyncSocket::RcvdCount() { return GetRcvdCount(); }
std::int32_t CustomAsyncSocket::LastError() const { return impl_->lastError; }
SocketOptions CustomAsyncSocket::ComponentOptions() const { return impl_->options; }
void CustomAsyncSocket::SetComponentOptions(SocketOptions options) { impl_->options = options; }
SocketLingerOnOff CustomAsyncSocket::LingerOnOff() const { return impl_->lingerOnOff; }
void CustomAsyncSocket::SetLingerOnOff(SocketLingerOnOff value) { impl_->lingerOnOff = value; }
std::int32_t CustomAsyncSocket::LingerTimeout() const { return impl_->lingerTimeout; }
void CustomAsyncSocket::SetLingerTimeout(std::int32_t seconds) { impl_->lingerTimeout = seconds; }
SocketSendFlags CustomAsyncSocket::SendFlags() const { return impl_->sendFlags; }

void CustomAsyncSocket::SetSendFlags(SocketSendFlags flags) {
  if (flags != SocketSendFlags::wsSendNormal && flags != SocketSendFlags::wsSendUrgent) {
    ReportError("Invalid SendFlags");
    return;
  }
  impl_->sendFlags = flags;
}

SocketHandle CustomAsyncSocket::Handle() const { return impl_->handle; }

// ---- Name lookup.

void CustomAsyncSocket::DnsLookup(const std::string& host) {
  std::string name(TrimBlanks(host));
  if (name.empty()) {
    ReportError("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(kWsaEinval);
    return;
  }
  if (impl_->lookup) {
    impl_->lookup->Abandon();
    impl_->lookup.reset();
  }
  impl_->dnsResult.clear();
  impl_->dnsResultList.clear();

  if (IsDottedQuad(name)) {
    std::uint32_t address = DottedQuadToAddress(name);
    if (address != kAddressNone) {
      impl_->dnsResult = AddressToText(address);
      impl_->dnsResultList.push_back(impl_->dnsResult);
      TriggerDnsLookupDone(0);
      return;
    }
  }

  auto request = std::make_shared<LookupRequest>();
  request->loop = &loop_;
  request->host = name;
  request->alive = impl_->alive;
  request->socket = this;
  // Pending before the worker starts, so its result always finds it.
  impl_->lookup = request;
  try {
    std::thread([request] { LookupRequest::Run(request); }).detach();
  } catch (const std::system_error& e) {
    impl_->lookup.reset();
    ReportError(host + ": can't start DNS lookup, error #" +
                std::to_string(sockets::FromSystemError(e.code().value())));
  }
}

void CustomAsyncSocket::LookupFinished(const std::shared_ptr<LookupRequest>& request, int error,
                                       const std::vector<std::uint32_t>& addresses) {
  if (impl_->lookup != request) return;  // cancelled, or replaced by a newer lookup
  impl_->lookup.reset();
  if (error == 0) {
    for (std::uint32_t address : addresses) impl_->dnsResultList.push_back(AddressToText(address));
    impl_->dnsResult = impl_->dnsResultList.front();
  }
  std::weak_ptr<char> alive = impl_->alive;
  try {
    TriggerDnsLookupDone(static_cast<std::uint16_t>(error));
  } catch (const Exception& e) {
    if (!alive.expired()) BackgroundFailure(e);
  }
}

void CustomAsyncSocket::CancelLookup() {
  if (!impl_->lookup) return;
  impl_->lookup->Abandon();
  impl_->lookup.reset();
  if (!impl_->destroying) TriggerDnsLookupDone(kWsaEintr);
}

// ---- Connect.

void CustomAsyncSocket::Connect() {
  if (impl_->handle != kInvalidSocket && impl_->state != SocketState::wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!impl_->portAssigned) {
    ReportError("Connect: No Port Specified");
    return;
  }
  if (!impl_->addrAssigned) {
    ReportError("Connect: No IP Address Specified");
    return;
  }
  if (!impl_->protoAssigned) {
    ReportError("Connect: No Protocol Specified");
    return;
  }

  try {
    if (!impl_->protoResolved) {
      impl_->protocol = ResolveProto(impl_->proto);
      impl_->type = impl_->protocol == 6    ? sockets::SocketType::kStream
                    : impl_->protocol == 17 ? sockets::SocketType::kDatagram
                                            : sockets::SocketType::kRaw;
      impl_->protoResolved = true;
    }
    if (!impl_->portResolved) {
      impl_->remotePort = sockets::HostToNet16(ResolvePort(impl_->port, impl_->proto));
      impl_->portResolved = true;
    }
    if (!impl_->localPortResolved) {
      impl_->localPortNumber = ResolvePort(impl_->localPort, impl_->proto);
      impl_->localPortResolved = true;
    }
    if (!impl_->addrResolved) {
      impl_->remoteAddress = ResolveHost(impl_->addr);
      impl_->addrResolved = true;
    }
  } catch (const Exception& e) {
    ReportError(std::string("connect: ") + e.what());
    return;
  }

  DiscardSendBuffer();
  SocketHandle handle = sockets::Open(impl_->type, impl_->protocol);
  if (handle == kInvalidSocket) {
    ReportSocketError("Connect (socket)");
    return;
  }
  impl_->handle = handle;
  ++impl_->connection;

  ChangeState(SocketState::wsOpened);
  if (impl_->state != SocketState::wsOpened) {
    AbandonHandle();
    sockets::SetLastSocketError(kWsaEinval);
    ReportSocketError("Connect (Invalid operation in OnChangeState)");
    return;
  }

  // Any failure from here on closes the new socket again, so a failed Connect
  // leaves the object closed and ready for the next attempt.
  auto fail = [this](const char* function) {
    int code = sockets::LastSocketError();
    AbandonHandle();
    sockets::SetLastSocketError(code);
    ReportSocketError(function);
  };
  if (impl_->type == sockets::SocketType::kStream) {
    if (sockets::SetBoolOption(handle, sockets::BoolOption::kReuseAddr, true) != 0) {
      return fail("setsockopt(SO_REUSEADDR)");
    }
    if ((impl_->options & wsoTcpNoDelay) != 0 &&
        sockets::SetBoolOption(handle, sockets::BoolOption::kTcpNoDelay, true) != 0) {
      return fail("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
    }
    if (impl_->lingerOnOff != SocketLingerOnOff::wsLingerNoSet &&
        sockets::SetLinger(handle, impl_->lingerOnOff == SocketLingerOnOff::wsLingerOn,
                           impl_->lingerTimeout) != 0) {
      return fail("setsockopt(SO_LINGER)");
    }
    if (sockets::SetBoolOption(handle, sockets::BoolOption::kKeepAlive, true) != 0) {
      return fail("setsockopt(SO_KEEPALIVE)");
    }
    if ((impl_->localPortNumber != 0 || impl_->localAddr != "0.0.0.0") && !Bind()) return;
  }

  impl_->watched = true;
  impl_->nativeEvents =
      loop_.WatchNetworkEvents(handle, [this](std::uint16_t events, std::uint16_t errCode) {
        return HandleNetworkEvents(events, errCode);
      });
  if (!impl_->nativeEvents) {
    // Writable is all that is needed until the connection is made.
    impl_->interest = EventLoop::kIoWritable;
    loop_.WatchSocket(handle, impl_->interest, [this](unsigned ready) { HandleIoReady(ready); });
  }

  if (impl_->type == sockets::SocketType::kStream) {
    if (sockets::Connect(handle, impl_->remoteAddress, impl_->remotePort) != 0) {
      int code = sockets::LastSocketError();
      if (code != kWsaEwouldblock && code != kWsaEinprogress) {
        impl_->lastError = code;
        return fail("Connect");
      }
    }
    ChangeState(SocketState::wsConnecting);
  }
}

bool CustomAsyncSocket::Bind() {
  std::uint32_t address = 0;
  try {
    address = ResolveHost(impl_->localAddr);
  } catch (const Exception& e) {
    AbandonHandle();
    ReportError(e.what());
    return false;
  }
  if (sockets::Bind(impl_->handle, address, sockets::HostToNet16(impl_->localPortNumber)) != 0) {
    int code = sockets::LastSocketError();
    AbandonHandle();
    ReportError("winsock.bind failed, error #" + std::to_string(code));
    return false;
  }
  std::uint16_t bound = 0;
  if (sockets::LocalPort(impl_->handle, bound) != 0) {
    int code = sockets::LastSocketError();
    AbandonHandle();
    ReportError("winsock.getsockname failed, error #" + std::to_string(code));
    return false;
  }
  impl_->localPortNumber = sockets::NetToHost16(bound);
  impl_->localPort = std::to_string(impl_->localPortNumber);
  return true;
}

void CustomAsyncSocket::ApplyLinger() {
  if (impl_->lingerOnOff == SocketLingerOnOff::wsLingerNoSet) return;
  if (impl_->handle == kInvalidSocket) {
    ReportError("Cannot set linger option at this time");
    return;
  }
  if (sockets::SetLinger(impl_->handle, impl_->lingerOnOff == SocketLingerOnOff::wsLingerOn,
                         impl_->lingerTimeout) != 0) {
    ReportSocketError("setsockopt(SO_LINGER)");
  }
}

void CustomAsyncSocket::AbandonHandle() {
  if (impl_->handle == kInvalidSocket) return;
  if (impl_->watched) loop_.UnwatchSocket(impl_->handle);
  impl_->watched = false;
  impl_->interest = 0;
  sockets::Close(impl_->handle);
  impl_->handle = kInvalidSocket;
  ChangeState(SocketState::wsClosed);
}

// ---- Network events.

void CustomAsyncSocket::HandleIoReady(unsigned ready) {
  if (impl_->handle == kInvalidSocket || impl_->paused) return;
  std::weak_ptr<char> alive = impl_->alive;
  const SocketHandle handle = impl_->handle;
  const std::uint64_t connection = impl_->connection;
  auto sameConnection = [&] {
    return !alive.expired() && impl_->handle == handle && impl_->connection == connection;
  };
  constexpr unsigned kBroken = EventLoop::kIoHangup | EventLoop::kIoError;

  if (impl_->state == SocketState::wsConnecting) {
    if ((ready & (EventLoop::kIoWritable | kBroken)) != 0) {
      DispatchEvent(kFdConnect, static_cast<std::uint16_t>(sockets::TakePendingError(handle)));
    }
  } else {
    bool closing = false;
    int closeError = 0;
    bool reading = false;
    if ((ready & (EventLoop::kIoReadable | kBroken)) != 0) {
      closing = (ready & kBroken) != 0;
      if ((ready & EventLoop::kIoError) != 0) closeError = sockets::TakePendingError(handle);
      if (!closing && loop_.ReportsPeerClose()) {
        reading = true;
      } else if (!closing) {
        // Readable with nothing to read is the end of the stream.
        std::int32_t waiting = 0;
        if (sockets::PendingBytes(handle, waiting) != 0) {
          closing = true;
          closeError = sockets::LastSocketError();
        } else {
          closing = waiting == 0;
          reading = waiting > 0;
        }
      }
    }
    if (reading) DispatchEvent(kFdRead, 0);
    if (sameConnection() && (ready & EventLoop::kIoWritable) != 0 && HasUnsentData()) {
      DispatchEvent(kFdWrite, 0);
    }
    if (sameConnection() && closing)
      DispatchEvent(kFdClose, static_cast<std::uint16_t>(closeError));
  }
  if (sameConnection()) UpdateInterest();
}

bool CustomAsyncSocket::HandleNetworkEvents(std::uint16_t events, std::uint16_t errCode) {
  if (impl_->handle == kInvalidSocket || impl_->paused) return false;
  std::weak_ptr<char> alive = impl_->alive;
  const std::uint64_t connection = impl_->connection;
  bool acted = false;
  for (std::uint16_t event : {kFdConnect, kFdRead, kFdWrite, kFdAccept, kFdClose}) {
    if ((events & event) == 0) continue;
    if (alive.expired() || impl_->connection != connection || impl_->handle == kInvalidSocket) {
      return acted;
    }
    // The system says "writable" once a connection stands; with nothing
    // queued that is no news (OnDataSent answers a Send, from the loop).
    if (event == kFdWrite && !HasUnsentData()) continue;
    // A reset may be told as a plain close; the socket still knows better.
    if (event == kFdClose && errCode == 0) {
      errCode = static_cast<std::uint16_t>(sockets::ClosingError(impl_->handle));
    }
    DispatchEvent(event, errCode);
    acted = true;
  }
  return acted;
}

void CustomAsyncSocket::DispatchEvent(std::uint16_t event, std::uint16_t errCode) {
  std::weak_ptr<char> alive = impl_->alive;
  impl_->currentEvent = event;
  try {
    switch (event) {
      case kFdConnect:
        ConnectEvent(errCode);
        break;
      case kFdRead:
        ReadEvent(errCode);
        break;
      case kFdWrite:
        WriteEvent(errCode);
        break;
      case kFdClose:
        CloseEvent(errCode);
        break;
      default:
        break;
    }
  } catch (const Exception& e) {
    if (alive.expired()) return;
    impl_->currentEvent = 0;
    BackgroundFailure(e);
    return;
  }
  if (!alive.expired()) impl_->currentEvent = 0;
}

void CustomAsyncSocket::ConnectEvent(std::uint16_t errCode) {
  if (impl_->state == SocketState::wsConnected) return;
  std::weak_ptr<char> alive = impl_->alive;
  ChangeState(SocketState::wsConnected);
  if (alive.expired()) return;
  TriggerSessionConnectedSpecial(errCode);
  if (alive.expired()) return;
  if (errCode != 0 && impl_->state != SocketState::wsClosed) Close();
}

void CustomAsyncSocket::ReadEvent(std::uint16_t errCode) {
  std::weak_ptr<char> alive = impl_->alive;
  if (impl_->state != SocketState::wsConnected) {
    ChangeState(SocketState::wsConnected);
    if (alive.expired()) return;
    TriggerSessionConnectedSpecial(errCode);
    if (alive.expired() || impl_->handle == kInvalidSocket) return;
  }
  ReceiveLoop(errCode, impl_->options);
}

void CustomAsyncSocket::WriteEvent(std::uint16_t errCode) {
  std::weak_ptr<char> alive = impl_->alive;
  const std::uint64_t connection = impl_->connection;
  TryToSend();
  if (alive.expired()) return;
  // A fatal send error has closed the connection; the queue no longer belongs
  // to it.
  if (impl_->handle == kInvalidSocket || impl_->connection != connection) return;
  if (impl_->allSent) TriggerDataSent(errCode);
}

void CustomAsyncSocket::CloseEvent(std::uint16_t errCode) {
  if (impl_->state == SocketState::wsConnecting) return;
  std::weak_ptr<char> alive = impl_->alive;
  const std::uint64_t connection = impl_->connection;
  // Everything that arrived before the close is delivered first.
  ReceiveLoop(0, impl_->options & ~static_cast<SocketOptions>(wsoNoReceiveLoop));
  if (alive.expired()) return;
  // A data handler that closed the socket has already had its close event.
  if (impl_->handle == kInvalidSocket || impl_->connection != connection) return;
  if (!impl_->closeNotified) {
    impl_->closeNotified = true;
    TriggerSessionClosed(errCode);
    if (alive.expired()) return;
  }
  if (impl_->state != SocketState::wsClosed && impl_->connection == connection) Close();
}

void CustomAsyncSocket::ReceiveLoop(std::uint16_t errCode, SocketOptions options) {
  std::weak_ptr<char> alive = impl_->alive;
  std::int32_t previousWaiting = -1;
  for (;;) {
    const std::uint64_t receivedBefore = impl_->bytesReceived;
    impl_->readDrained = false;
    bool stop = false;
    std::int32_t waiting = -1;  // unknown
    try {
      impl_->lastError = 0;
      if (!TriggerDataAvailable(errCode)) {
        if (alive.expired()) return;
        // Nobody wants the data: drop it, so the socket does not stay readable.
        char discard[kDiscardChunk];
        if (RawReceive(discard, kDiscardChunk) < 0) {
          impl_->lastError = sockets::LastSocketError();
          if (impl_->lastError == kWsaEwouldblock) {
            impl_->lastError = 0;
            stop = true;
          }
        }
      }
      if (alive.expired()) return;
      if (!stop && impl_->handle == kInvalidSocket) {
        stop = true;
        waiting = 0;
      }
      if (!stop && (options & wsoNoReceiveLoop) != 0) stop = true;
      if (!stop && impl_->lastError != 0) {
        if (impl_->lastError == -1) impl_->lastError = 0;
        stop = true;
      }
      if (!stop) {
        impl_->countAfterRead = true;
        waiting = GetRcvdCount();
        if (alive.expired()) return;
        impl_->countAfterRead = false;
        if (waiting < 0) {
          impl_->lastError = sockets::LastSocketError();
          stop = true;
        } else if (waiting == 0) {
          stop = true;
        }
      }
    } catch (...) {
      // A failing data handler ends this pass; the bytes it left wait for the
      // next notification.
      if (alive.expired()) return;
      impl_->countAfterRead = false;
      stop = true;
      waiting = -1;
    }

    bool progressed = impl_->bytesReceived != receivedBefore ||
                      (previousWaiting > 0 && waiting >= 0 && waiting < previousWaiting);
    if (progressed || waiting == 0) {
      impl_->idlePasses = 0;
    } else if (++impl_->idlePasses >= kIdlePassesBeforeStall) {
      impl_->idlePasses = 0;
      impl_->readStalled = true;
      UpdateInterest();
      return;
    }
    if (stop) return;
    previousWaiting = waiting;
  }
}

void CustomAsyncSocket::PostWriteEvent() {
  std::weak_ptr<char> alive = impl_->alive;
  const std::uint64_t connection = impl_->connection;
  loop_.Post([this, alive, connection] {
    if (alive.expired()) return;
    if (impl_->handle == kInvalidSocket || impl_->connection != connection || impl_->paused) return;
    DispatchEvent(kFdWrite, 0);
    if (!alive.expired() && impl_->connection == connection) UpdateInterest();
  });
}

void CustomAsyncSocket::UpdateInterest() {
  if (impl_->handle == kInvalidSocket || !impl_->watched || impl_->nativeEvents) return;
  unsigned wanted = 0;
  if (impl_->state == SocketState::wsConnecting) {
    wanted = EventLoop::kIoWritable;
  } else {
    if (!impl_->readStalled) wanted |= EventLoop::kIoReadable;
    // Writability matters only while bytes wait; an idle socket is always
    // writable and would wake the loop for nothing.
    if (HasUnsentData()) wanted |= EventLoop::kIoWritable;
  }
  if (wanted != impl_->interest) {
    impl_->interest = wanted;
    loop_.UpdateSocket(impl_->handle, wanted);
  }
}

// ---- Sending.

bool CustomAsyncSocket::HasUnsentData() const {
  return !impl_->allSent && !impl_->sendQueue.empty();
}

int CustomAsyncSocket::Send(const void* data, int length) {
  if (impl_->state != SocketState::wsConnected && impl_->state != SocketState::wsSocksConnected) {
    sockets::SetLastSocketError(kWsaEnotconn);
    ReportSocketError("Send");
    return -1;
  }
  impl_->allSent = false;
  if (length > 0) {
    QueueSendData(data, length);
  } else {
    length = 0;
  }
  const std::uint64_t connection = impl_->connection;
  std::weak_ptr<char> alive = impl_->alive;
  TryToSend();
  if (alive.expired()) return length;
  if (impl_->handle != kInvalidSocket && impl_->connection == connection) {
    // OnDataSent comes from the loop, never from inside Send; with nobody
    // listening, the loop is not woken for it.
    if (impl_->allSent && OnDataSent) PostWriteEvent();
    UpdateInterest();
  }
  return length;
}

int CustomAsyncSocket::SendText(std::string_view text) {
  if (text.empty()) return 0;
  return Send(text.data(), static_cast<int>(text.size()));
}

void CustomAsyncSocket::QueueSendData(const void* data, int length) {
  if (data == nullptr || length <= 0) return;
  const char* bytes = static_cast<const char*>(data);
  if (impl_->sendQueue.empty()) impl_->sendQueue.emplace_back(kSendBlockSize);
  int written = impl_->sendQueue.back().Write(bytes, length);
  while (written < length) {
    impl_->sendQueue.emplace_back(kSendBlockSize);
    written += impl_->sendQueue.back().Write(bytes + written, length - written);
  }
}

void CustomAsyncSocket::DiscardSendBuffer() {
  impl_->sendQueue.clear();
  impl_->allSent = true;
}

void CustomAsyncSocket::TryToSend() {
  if (impl_->handle == kInvalidSocket) return;
  if (impl_->sendQueue.empty()) {
    // No block holds an unsent byte.
    impl_->allSent = true;
    return;
  }
  std::weak_ptr<char> alive = impl_->alive;
  for (;;) {
    SendBlock& block = impl_->sendQueue.front();
    std::span<const char> unsent = block.Peek();
    if (unsent.empty()) {
      if (impl_->sendQueue.size() == 1) {
        impl_->allSent = true;
        break;
      }
      impl_->sendQueue.pop_front();
      continue;
    }
    const int offered = static_cast<int>(unsent.size());
    int sent = RawSend(unsent.data(), offered);
    if (sent > 0) {
      block.Remove(sent);
      Fire(OnSendData, static_cast<std::int32_t>(sent));
      if (alive.expired() || impl_->handle == kInvalidSocket) return;
    }
    if (sent == 0) break;
    if (sent < 0) {
      int code = sockets::LastSocketError();
      if (IsFatalSendError(code)) {
        impl_->closeNotified = true;
        Close();
        if (alive.expired()) return;
        TriggerSessionClosed(static_cast<std::uint16_t>(code));
        return;
      }
      if (code == kWsaEwouldblock) break;  // the write event resumes
      ReportSocketError("TryToSend failed");
      return;
    }
    // Winsock announces room again only after a send has met a full buffer,
    // so where its events drive the socket, sending goes on until one does.
    if (sent < offered && !impl_->nativeEvents) break;
  }
}

int CustomAsyncSocket::RawSend(const void* data, int length) {
  if (impl_->handle == kInvalidSocket) {
    sockets::SetLastSocketError(kWsaEnotsock);
    return -1;
  }
  return sockets::Send(impl_->handle, data, length,
                       impl_->sendFlags == SocketSendFlags::wsSendUrgent);
}

// ---- Receiving.

int CustomAsyncSocket::Receive(void* buffer, int size) {
  int count = RawReceive(buffer, size);
  if (count < 0) {
    impl_->lastError = sockets::LastSocketError();
  } else {
    impl_->readCount += count;
  }
  return count;
}

int CustomAsyncSocket::RawReceive(void* buffer, int size) {
  if (impl_->handle == kInvalidSocket) {
    sockets::SetLastSocketError(kWsaEnotsock);
    return -1;
  }
  int count = sockets::Receive(impl_->handle, buffer, size);
  if (count > 0) impl_->bytesReceived += static_cast<std::uint64_t>(count);
  impl_->readDrained = count >= 0 && count < size;
  if (impl_->readStalled) {
    // The program reads again: so may the notifications.
    impl_->readStalled = false;
    impl_->idlePasses = 0;
    UpdateInterest();
  }
  return count;
}

std::int32_t CustomAsyncSocket::GetRcvdCount() {
  std::int32_t count = 0;
  // Right after a read that emptied it, the system need not be asked: bytes
  // that arrive from then on make the socket ready again.
  if (impl_->countAfterRead && impl_->readDrained && impl_->handle != kInvalidSocket) return 0;
  if (impl_->handle == kInvalidSocket) {
    sockets::SetLastSocketError(kWsaEnotsock);
    ReportSocketError("ioctlSocket");
    return -1;
  }
  if (sockets::PendingBytes(impl_->handle, count) != 0) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return count;
}

std::int32_t CustomAsyncSocket::SendBufferSize() const {
  std::int32_t bytes = 0;
  if (impl_->handle == kInvalidSocket || sockets::SendBufferSize(impl_->handle, bytes) != 0) {
    return 0;
  }
  return bytes > 0 ? bytes : 0;
}

// ---- Close and abort.

void CustomAsyncSocket::Close() { InternalClose(true, 0); }

void CustomAsyncSocket::Abort() { InternalAbort(0); }

void CustomAsyncSocket::InternalAbort(std::uint16_t error) {
  CancelLookup();
  DiscardSendBuffer();
  if (impl_->state == SocketState::wsConnected && impl_->protocol == 6) {
    impl_->lingerOnOff = SocketLingerOnOff::wsLingerOff;
    ApplyLinger();
  }
  InternalClose(false, error);
}

void CustomAsyncSocket::InternalClose(bool shutdown, std::uint16_t error) {
  if (impl_->handle == kInvalidSocket) {
    if (impl_->state != SocketState::wsClosed) {
      ChangeState(SocketState::wsClosed);
      ResetDefaultsQuietly();
    }
    return;
  }
  if (impl_->state == SocketState::wsClosed) return;
  if (shutdown) sockets::ShutdownSend(impl_->handle);
  if (impl_->watched) loop_.UnwatchSocket(impl_->handle);
  impl_->watched = false;
  impl_->interest = 0;
  if (sockets::Close(impl_->handle) != 0) {
    int code = sockets::LastSocketError();
    impl_->handle = kInvalidSocket;
    if (code != kWsaNotInitialised) {
      ReportSocketError("Disconnect (closesocket)");
      return;
    }
  }
  impl_->handle = kInvalidSocket;
  const std::uint64_t connection = impl_->connection;
  std::weak_ptr<char> alive = impl_->alive;
  ChangeState(SocketState::wsClosed);
  if (alive.expired()) return;
  if (!impl_->destroying && !impl_->closeNotified) {
    impl_->closeNotified = true;
    TriggerSessionClosed(error);
    if (alive.expired()) return;
  }
  // A handler that has already started the next connection keeps its settings.
  if (impl_->connection == connection && impl_->handle == kInvalidSocket) ResetDefaultsQuietly();
}

void CustomAsyncSocket::ResetDefaultsQuietly() {
  try {
    ResetDefaults();
  } catch (...) {
    // Restoring plain values; a layer's failure must not undo the close.
  }
}

void CustomAsyncSocket::ResetDefaults() {
  AbandonHandle();
  Impl& s = *impl_;
  s.remoteAddress = 0;
  s.remotePort = 0;
  s.addr.clear();
  s.port.clear();
  s.addrAssigned = false;
  s.portAssigned = false;
  s.addrResolved = false;
  s.portResolved = false;
  s.protoResolved = false;
  s.localPortResolved = false;
  s.proto = "tcp";
  s.protoAssigned = true;
  s.protocol = 6;
  s.type = sockets::SocketType::kStream;
  s.localPort = "0";
  s.localPortNumber = 0;
  s.localAddr = "0.0.0.0";
  s.lingerOnOff = SocketLingerOnOff::wsLingerOn;
  s.lingerTimeout = 0;
  s.interest = 0;
  s.nativeEvents = false;
  s.state = SocketState::wsClosed;
  s.allSent = true;
  s.paused = false;
  s.readCount = 0;
  s.closeNotified = false;
  s.readStalled = false;
  s.idlePasses = 0;
}

// ---- State and errors.

void CustomAsyncSocket::ChangeState(SocketState newState) {
  if (newState == impl_->state) return;
  SocketState oldState = impl_->state;
  impl_->state = newState;
  TriggerChangeState(oldState, newState);
}

void CustomAsyncSocket::ReportError(const std::string& text) {
  if (OnError) {
    Fire(OnError);
    return;
  }
  throw SocketException(text);
}

void CustomAsyncSocket::ReportSocketError(const std::string& functionName) {
  int code = sockets::LastSocketError();
  std::string text = "Error " + std::to_string(code) + " in function " + functionName + "\r\n" +
                     SocketErrorText(code);
  if (code == kWsaEconnreset || code == kWsaEnotconn) {
    if (impl_->handle != kInvalidSocket) {
      if (impl_->watched) loop_.UnwatchSocket(impl_->handle);
      impl_->watched = false;
      sockets::Close(impl_->handle);
      impl_->handle = kInvalidSocket;
    }
    std::weak_ptr<char> alive = impl_->alive;
    if (impl_->state != SocketState::wsClosed) {
      TriggerSessionClosed(static_cast<std::uint16_t>(code));
      if (alive.expired()) return;  // the handler destroyed the socket: nobody left to tell
    }
    ChangeState(SocketState::wsClosed);
    if (alive.expired()) return;
  }
  impl_->lastError = code;
  ReportError(text);
}

void CustomAsyncSocket::BackgroundFailure(const std::exception& e) {
  bool canClose = true;
  std::weak_ptr<char> alive = impl_->alive;
  if (OnBgException) {
    try {
      auto handler = OnBgException;
      handler(e, canClose);
    } catch (...) {
      // The failure is already being handled; a second one changes nothing.
    }
  }
  if (canClose && !alive.expired()) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

// ---- Triggers.

void CustomAsyncSocket::TriggerSessionConnectedSpecial(std::uint16_t errCode) {
  TriggerSessionConnected(errCode);
}

void CustomAsyncSocket::TriggerSessionConnected(std::uint16_t errCode) {
  Fire(OnSessionConnected, errCode);
}

bool CustomAsyncSocket::TriggerDataAvailable(std::uint16_t errCode) {
  if (!OnDataAvailable) return false;
  Fire(OnDataAvailable, errCode);
  return true;
}

void CustomAsyncSocket::TriggerDataSent(std::uint16_t errCode) { Fire(OnDataSent, errCode); }

void CustomAsyncSocket::TriggerSessionClosed(std::uint16_t errCode) {
  Fire(OnSessionClosed, errCode);
}

void CustomAsyncSocket::TriggerDnsLookupDone(std::uint16_t errCode) {
  Fire(OnDnsLookupDone, errCode);
}

void CustomAsyncSocket::TriggerChangeState(SocketState oldState, SocketState newState) {
  // An object being destroyed tells nobody about its last state changes.
  if (impl_->destroying) return;
  Fire(OnChangeState, oldState, newState);
}

}  // namespace corvel
