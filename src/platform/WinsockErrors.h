// Socket error numbers in the WinSock numbering, which the transport's error check and its
// error texts work on. POSIX errno values are mapped onto them where a failure happens, and
// the mapped number is kept as the thread's pending socket error until the check fetches it.
#pragma once

namespace quillo {

// WinSock numbers the transport treats specially.
constexpr int WSAEINTR = 10004;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAECONNREFUSED = 10061;
// Errors without a WinSock counterpart are reported as this base plus their errno, above
// every WinSock number, so the check still raises them and the number stays recognisable.
constexpr int UnmappedErrnoBase = 20000;

// The WinSock number for an errno value (0 stays 0). EPIPE is mapped onto 10054 (the peer
// reset the connection), since on this platform a send after the peer's close reports it.
int WinsockErrorOf(int Errnum);
// The WinSock number for a failed getaddrinfo (its EAI_ code; Errnum for EAI_SYSTEM).
int WinsockLookupErrorOf(int EaiCode, int Errnum);

// The thread's pending socket error, as WSAGetLastError/WSASetLastError kept it. Tests set it
// to make the error check see a chosen number.
int WSAGetLastError();
void WSASetLastError(int Error);

} // namespace quillo
