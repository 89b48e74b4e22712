#include "net/socket_errors.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <netdb.h>

#include <cerrno>

#include "net/posix/error_map.h"
#endif

namespace corvel {
namespace {

struct ErrorText {
  int code;
  const char* text;
};

constexpr ErrorText kTable[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

TEST(SocketErrorText, GivesTheTextOfEveryCodeInTheTable) {
  for (const auto& row : kTable) {
    EXPECT_EQ(SocketErrorText(row.code), row.text) << "code " << row.code;
  }
}

TEST(SocketErrorText, CallsAnyOtherCodeNotAWinSockError) {
  for (int code : {-1, 1, 500, 10000, 10001, 10072, 10090, 10094, 11000, 11005, 65535}) {
    EXPECT_EQ(SocketErrorText(code), "Not a WinSock error") << "code " << code;
  }
}

#ifndef _WIN32
struct ErrnoCode {
  int errnoValue;
  int code;
};

TEST(SocketErrorFromErrno, MapsSocketErrnoValuesOntoWinsockCodes) {
  const ErrnoCode table[] = {
      {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},      {EPERM, 10013},
      {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},      {ENFILE, 10024},
      {EWOULDBLOCK, 10035},  {EAGAIN, 10035},          {EINPROGRESS, 10036}, {EALREADY, 10037},
      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},    {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045},  {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},    {ENETUNREACH, 10051},
      {ENETRESET, 10052},    {ECONNABORTED, 10053},    {ECONNRESET, 10054},  {EPIPE, 10054},
      {ENOBUFS, 10055},      {ENOMEM, 10055},          {EISCONN, 10056},     {ENOTCONN, 10057},
      {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},       {ENAMETOOLONG, 10063},
      {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},       {EDQUOT, 10069},      {ESTALE, 10070},
  };
  for (const auto& row : table) {
    EXPECT_EQ(SocketErrorFromErrno(row.errnoValue), row.code) << "errno " << row.errnoValue;
  }
}

TEST(SocketErrorFromErrno, PassesAnErrnoWithoutSocketMeaningOnUnchanged) {
  EXPECT_EQ(SocketErrorFromErrno(EIO), EIO);
  EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(EIO)), "Not a WinSock error");
}

TEST(SocketErrorFromResolver, MapsResolverFailuresOntoHostLookupCodes) {
  EXPECT_EQ(SocketErrorFromResolver(0, 0), 0);
  EXPECT_EQ(SocketErrorFromResolver(EAI_NONAME, 0), 11001);
#ifdef EAI_NODATA
  EXPECT_EQ(SocketErrorFromResolver(EAI_NODATA, 0), 11001);
#endif
#ifdef EAI_ADDRFAMILY
  EXPECT_EQ(SocketErrorFromResolver(EAI_ADDRFAMILY, 0), 11004);
#endif
  EXPECT_EQ(SocketErrorFromResolver(EAI_SERVICE, 0), 11004);
  EXPECT_EQ(SocketErrorFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(SocketErrorFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(SocketErrorFromResolver(EAI_MEMORY, 0), 10055);
  EXPECT_EQ(SocketErrorFromResolver(EAI_FAMILY, 0), 10047);
  EXPECT_EQ(SocketErrorFromResolver(EAI_SOCKTYPE, 0), 10044);
  EXPECT_EQ(SocketErrorFromResolver(EAI_BADFLAGS, 0), 10022);
}

TEST(SocketErrorFromResolver, TakesASystemFailureFromErrno) {
  EXPECT_EQ(SocketErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
  EXPECT_EQ(SocketErrorFromResolver(EAI_SYSTEM, 0), 11003);
}

#endif  // !_WIN32

}  // namespace
}  // namespace corvel
