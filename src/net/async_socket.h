// AsyncSocket: an event-driven, non-blocking TCP client socket.
//
// Nothing here blocks the owner thread: host lookup runs on a worker (or
// completes at once for a dotted IPv4 literal), connect, send and receive are
// non-blocking, and every outcome arrives as an event called from the owner's
// EventLoop. The socket event bits are those of the Windows Sockets
// notification model (connect 16, read 1, write 2, accept 8, close 32), as
// the system reports them where the loop can hand them on (Windows), and
// synthesised from readiness elsewhere; they are dispatched in that fixed
// order. Error codes are the Windows Sockets numbers (see
// socket_errors.h).
//
// The class is layered: CustomAsyncSocket holds the socket itself; a layer may
// sit between it and the published AsyncSocket (TLS does), overriding the
// protected triggers and the raw send/receive, and stays fully transparent
// while it is inactive.
//
// Threads: every event below runs on the owner loop's thread. Operations must
// be called on that thread too.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/exception.h"
#include "net/event_loop.h"
#include "net/send_block.h"

namespace corvel {

class SocketException : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] std::string ClassName() const override { return "SocketException"; }
};

enum class SocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
};

enum class SocketSendFlags { wsSendNormal, wsSendUrgent };
enum class SocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// SocketOptions is a set of SocketOption bits.
enum SocketOption : unsigned {
  wsoNoReceiveLoop = 1u << 0,  // one data event per network notification
  wsoTcpNoDelay = 1u << 1,     // disable send coalescing at connect
  wsoSIO_RCVALL = 1u << 2,     // raw sockets only; never used here
};
using SocketOptions = unsigned;

// Network event bits, as carried by a socket event.
inline constexpr std::uint16_t kFdRead = 1;
inline constexpr std::uint16_t kFdWrite = 2;
inline constexpr std::uint16_t kFdAccept = 8;
inline constexpr std::uint16_t kFdConnect = 16;
inline constexpr std::uint16_t kFdClose = 32;

inline constexpr int kSendBlockSize = 1460;

class CustomAsyncSocket {
 public:
  using ErrCodeEvent = std::function<void(std::uint16_t errCode)>;

  explicit CustomAsyncSocket(EventLoop& loop);
  virtual ~CustomAsyncSocket();
  CustomAsyncSocket(const CustomAsyncSocket&) = delete;
  CustomAsyncSocket& operator=(const CustomAsyncSocket&) = delete;

  [[nodiscard]] EventLoop& Loop() const { return loop_; }

  // ---- Properties. The setters of Addr, Port, Proto, LocalAddr and LocalPort
  // work only while State() is wsClosed and otherwise report "Cannot change
  // <name> if not closed"; assigning the value already assigned to Addr, Port
  // or Proto does nothing in any state. Addr, Port and Proto are trimmed.
  [[nodiscard]] const std::string& Addr() const;
  void SetAddr(std::string_view addr);
  [[nodiscard]] const std::string& Port() const;
  void SetPort(std::string_view port);
  [[nodiscard]] const std::string& Proto() const;
  void SetProto(std::string_view proto);
  [[nodiscard]] const std::string& LocalAddr() const;
  void SetLocalAddr(std::string_view addr);  // empty stores "0.0.0.0"
  [[nodiscard]] const std::string& LocalPort() const;
  void SetLocalPort(std::string_view port);

  [[nodiscard]] const std::string& DnsResult() const;
  [[nodiscard]] const std::vector<std::string>& DnsResultList() const;
  [[nodiscard]] SocketState State() const;
  // Bytes taken by Receive on this connection; 64 bits, so a long session
  // cannot overflow it.
  [[nodiscard]] std::int64_t ReadCount() const;
  // Bytes waiting to be read; -1 (after ReportSocketError "ioctlSocket") when
  // the query fails.
  [[nodiscard]] std::int32_t RcvdCount();
  // The system's send buffer for this socket in bytes (SO_SNDBUF); 0 when
  // there is no socket or the system does not tell.
  [[nodiscard]] std::int32_t SendBufferSize() const;
  [[nodiscard]] std::int32_t LastError() const;
  // The OS socket, kInvalidSocket when there is none.
  [[nodiscard]] SocketHandle Handle() const;

  [[nodiscard]] SocketOptions ComponentOptions() const;
  void SetComponentOptions(SocketOptions options);
  [[nodiscard]] SocketLingerOnOff LingerOnOff() const;
  void SetLingerOnOff(SocketLingerOnOff value);
  [[nodiscard]] std::int32_t LingerTimeout() const;
  void SetLingerTimeout(std::int32_t seconds);
  [[nodiscard]] SocketSendFlags SendFlags() const;
  void SetSendFlags(SocketSendFlags flags);

  // ---- Operations.

  // Completes by firing OnDnsLookupDone exactly once: before returning for a
  // dotted IPv4 literal, later (from a worker thread's result posted to the
  // loop) otherwise. An empty host reports "DNS lookup: invalid host name.".
  void DnsLookup(const std::string& host);
  // Ends a pending lookup; OnDnsLookupDone fires with 10004.
  void CancelLookup();
  // Starts a connection to Addr:Port and returns with State() wsConnecting;
  // OnSessionConnected follows.
  virtual void Connect();
  // Queues all bytes and sends what the network takes now. Returns the
  // length, or -1 when not connected (after reporting 10057 "Send").
  virtual int Send(const void* data, int length);
  // Send of the text's bytes; 0 and nothing done for an empty text.
  int SendText(std::string_view text);
  // Reads what has arrived, at most size bytes: the count read, 0 once the
  // peer has closed its sending side, -1 with LastError() set (10035 when
  // nothing is there).
  virtual int Receive(void* buffer, int size);
  // Shuts down the sending side, closes, fires OnSessionClosed(0) once.
  virtual void Close();
  // Cancels a lookup, discards queued data, closes without shutdown, fires
  // OnSessionClosed(0) once.
  virtual void Abort();

  // ---- Events (all on the loop thread; an empty one is skipped).
  ErrCodeEvent OnDnsLookupDone;
  ErrCodeEvent OnSessionConnected;
  ErrCodeEvent OnDataAvailable;
  ErrCodeEvent OnDataSent;
  ErrCodeEvent OnSessionClosed;
  std::function<void(std::int32_t bytesSent)> OnSendData;
  std::function<void(SocketState oldState, SocketState newState)> OnChangeState;
  // When set, ReportError calls it instead of raising SocketException.
  std::function<void()> OnError;
  // Called by BackgroundFailure; clearing canClose keeps the socket open.
  std::function<void(const std::exception& e, bool& canClose)> OnBgException;

 protected:
  // The layers' hooks, in the order the notification dispatch uses them.
  virtual void TriggerSessionConnectedSpecial(std::uint16_t errCode);  // as seen by the layers
  virtual void TriggerSessionConnected(std::uint16_t errCode);
  virtual bool TriggerDataAvailable(std::uint16_t errCode);  // true when a handler ran
  virtual void TriggerDataSent(std::uint16_t errCode);
  virtual void TriggerSessionClosed(std::uint16_t errCode);
  virtual void TriggerDnsLookupDone(std::uint16_t errCode);
  virtual void TriggerChangeState(SocketState oldState, SocketState newState);

  // The network itself: read and send of raw bytes, as the OS sees them.
  virtual int RawReceive(void* buffer, int size);
  virtual int RawSend(const void* data, int length);
  virtual std::int32_t GetRcvdCount();

  virtual void InternalClose(bool shutdown, std::uint16_t error);
  virtual void InternalAbort(std::uint16_t error);
  virtual void ResetDefaults();

  void ChangeState(SocketState newState);
  // Raises SocketException(text) unless OnError is set, in which case OnError
  // runs and ReportError returns normally.
  void ReportError(const std::string& text);
  // "Error " + n + " in function " + name + CR LF + SocketErrorText(n), with
  // n the last socket error; 10054 and 10057 also close the socket.
  void ReportSocketError(const std::string& functionName);
  void BackgroundFailure(const std::exception& e);

  // Sends what the queue holds as far as the network takes it.
  void TryToSend();

 private:
  struct Impl;
  struct LookupRequest;

  // Readiness of the OS socket, turned into the network event bits.
  void HandleIoReady(unsigned ready);
  // Network events as the system reports them (Windows), in the fixed order;
  // true when any of them was acted on.
  bool HandleNetworkEvents(std::uint16_t events, std::uint16_t errCode);
  // Runs the handler of one network event; exceptions of the program's own
  // hierarchy go to BackgroundFailure.
  void DispatchEvent(std::uint16_t event, std::uint16_t errCode);
  void ConnectEvent(std::uint16_t errCode);
  void ReadEvent(std::uint16_t errCode);
  void WriteEvent(std::uint16_t errCode);
  void CloseEvent(std::uint16_t errCode);
  void ReceiveLoop(std::uint16_t errCode, SocketOptions options);
  void LookupFinished(const std::shared_ptr<LookupRequest>& request, int error,
                      const std::vector<std::uint32_t>& addresses);
  void PostWriteEvent();
  void UpdateInterest();
  [[nodiscard]] bool HasUnsentData() const;
  void QueueSendData(const void* data, int length);
  void DiscardSendBuffer();
  void ApplyLinger();
  [[nodiscard]] bool Bind();
  // Closes a socket whose Connect failed half-way, without a session event.
  void AbandonHandle();
  void ResetDefaultsQuietly();

  EventLoop& loop_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel

// The published AsyncSocket sits on the TLS layer, which needs the class
// above; it is declared there.
#include "net/tls_socket.h"  // IWYU pragma: export
