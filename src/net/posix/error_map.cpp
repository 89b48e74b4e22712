#include "net/posix/error_map.h"

#include <netdb.h>

#include <cerrno>
#include <utility>

#include "net/socket_errors.h"

namespace corvel {
namespace {

// errno -> Windows Sockets code. Several errno names share a value on some
// systems (EAGAIN/EWOULDBLOCK, ENOTSUP/EOPNOTSUPP), so this is a searched list
// rather than a switch; the first match wins.
constexpr std::pair<int, int> kErrnoCodes[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, 10044},
#endif
    {EOPNOTSUPP, 10045},
    {ENOTSUP, 10045},
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, 10046},
#endif
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    // A send on a connection the peer has reset: the reset itself is reported
    // once (ECONNRESET), every later send fails with EPIPE. Windows reports
    // both as a reset, and so the program closes with the same code whichever
    // of the two calls met the reset first.
    {EPIPE, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
#ifdef ESHUTDOWN
    {ESHUTDOWN, 10058},
#endif
#ifdef ETOOMANYREFS
    {ETOOMANYREFS, 10059},
#endif
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
#ifdef EHOSTDOWN
    {EHOSTDOWN, 10064},
#endif
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
#ifdef EPROCLIM
    {EPROCLIM, 10067},
#endif
#ifdef EUSERS
    {EUSERS, 10068},
#endif
    {EDQUOT, 10069},
    {ESTALE, 10070},
#ifdef EREMOTE
    {EREMOTE, 10071},
#endif
};

}  // namespace

int SocketErrorFromErrno(int errnoValue) {
  for (const auto& [number, code] : kErrnoCodes) {
    if (number == errnoValue) return code;
  }
  return errnoValue;
}

int SocketErrorFromResolver(int resolverError, int errnoValue) {
  switch (resolverError) {
    case 0:
      return 0;
    // The name does not exist: what Windows calls "Host not found".
    case EAI_NONAME:
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
    case EAI_NODATA:
#endif
      return kWsaHostNotFound;
      // The name exists but has no IPv4 address.
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    case EAI_SERVICE:
      return kWsaNoData;
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_FAIL:
      return kWsaNoRecovery;
    case EAI_MEMORY:
      return 10055;
    case EAI_FAMILY:
      return 10047;
    case EAI_SOCKTYPE:
      return 10044;
    case EAI_BADFLAGS:
      return kWsaEinval;
    case EAI_SYSTEM:
      return errnoValue != 0 ? SocketErrorFromErrno(errnoValue) : kWsaNoRecovery;
    default:
      return kWsaNoRecovery;
  }
}

}  // namespace corvel
