#include "platform/WinsockErrors.h"

#include <cerrno>
#include <netdb.h>

namespace quillo {

namespace {
thread_local int pendingError = 0;
} // namespace

int WinsockErrorOf(int Errnum) {
    switch (Errnum) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EWOULDBLOCK: // EAGAIN is the same number here
    case EINPROGRESS:
        return 10035;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return UnmappedErrnoBase + Errnum;
    }
}

int WinsockLookupErrorOf(int EaiCode, int Errnum) {
    switch (EaiCode) {
    case 0:
        return 0;
    case EAI_NONAME:
        return 11001; // host not found
    case EAI_AGAIN:
        return 11002; // try again
    case EAI_FAIL:
        return 11003; // non-recoverable
#ifdef EAI_NODATA
    case EAI_NODATA:
        return 11004; // the name exists without an IPv4 address
#endif
    case EAI_ADDRFAMILY:
        return 11004;
    case EAI_MEMORY:
        return 10055;
    case EAI_SYSTEM:
        return WinsockErrorOf(Errnum);
    default:
        return 11003;
    }
}

int WSAGetLastError() {
    return pendingError;
}

void WSASetLastError(int Error) {
    pendingError = Error;
}

} // namespace quillo
