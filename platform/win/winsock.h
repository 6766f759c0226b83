// The Windows Sockets functions the platform services use, each looked up
// in ws2_32.dll at its first use instead of being imported, and the state
// of the process's socket interface. Internal to platform/win.
#ifndef PARCEL_PLATFORM_WIN_WINSOCK_H_
#define PARCEL_PLATFORM_WIN_WINSOCK_H_

#include "platform/lazy_symbol.h"
#include "platform/win/win_headers.h"

namespace parcel::platform::win {

// One member per function, named as the system names it. A missing function
// gives its failure value when called; callers that cannot tell that value
// from a real result use Bind (below) instead.
struct Winsock {
  LazySymbol<int(WORD, LPWSADATA)> WSAStartup;
  LazySymbol<int()> WSACleanup;
  LazySymbol<int()> WSAGetLastError;
  LazySymbol<SOCKET(int, int, int, LPWSAPROTOCOL_INFOA, GROUP, DWORD)> WSASocketA;
  LazySymbol<SOCKET(int, int, int)> socket;
  LazySymbol<int(SOCKET)> closesocket;
  LazySymbol<int(SOCKET, const sockaddr*, int)> bind;
  LazySymbol<int(SOCKET, int)> listen;
  LazySymbol<SOCKET(SOCKET, sockaddr*, int*)> accept;
  LazySymbol<int(SOCKET, const sockaddr*, int)> connect;
  LazySymbol<int(SOCKET, int)> shutdown;
  LazySymbol<int(SOCKET, sockaddr*, int*)> getsockname;
  LazySymbol<int(SOCKET, sockaddr*, int*)> getpeername;
  LazySymbol<int(SOCKET, long, u_long*)> ioctlsocket;
  LazySymbol<int(SOCKET, const char*, int, int)> send;
  LazySymbol<int(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, LPWSAOVERLAPPED,
                 LPWSAOVERLAPPED_COMPLETION_ROUTINE)>
      WSASend;
  LazySymbol<int(SOCKET, char*, int, int)> recv;
  LazySymbol<int(SOCKET, int, int, const char*, int)> setsockopt;
  LazySymbol<int(SOCKET, int, int, char*, int*)> getsockopt;
  LazySymbol<int(int, fd_set*, fd_set*, fd_set*, const timeval*)> select;
  LazySymbol<int(LPINT, LPWSAPROTOCOL_INFOA, LPDWORD)> WSAEnumProtocolsA;
  LazySymbol<int(const char*, const char*, const addrinfo*, addrinfo**)> getaddrinfo;
  LazySymbol<void(addrinfo*)> freeaddrinfo;
  LazySymbol<int(const sockaddr*, socklen_t, char*, DWORD, char*, DWORD, int)> getnameinfo;
  LazySymbol<servent*(const char*, const char*)> getservbyname;
  LazySymbol<servent*(int, const char*)> getservbyport;
  LazySymbol<int(char*, int)> gethostname;
  LazySymbol<int(SOCKET, DWORD, LPWSAPROTOCOL_INFOA)> WSADuplicateSocketA;
};

// The table. Its functions are looked up at the first SocketStartup.
Winsock& Ws2() noexcept;

// Loads ws2_32.dll and looks up every function of the table (each once for
// the process); false when the library is missing.
bool BindWinsock() noexcept;

// Marks one more (or one less) successful WSAStartup.
void NoteStartup() noexcept;
void NoteCleanup() noexcept;

// 0 when a WSAStartup is in force, else 10093 (not initialised): calls
// before it would find the table unbound and Windows Sockets unready.
int RequireStarted() noexcept;

// For one call of `symbol`: 0 with `*function` set; 10093 before a
// successful SocketStartup; 10045 when the system lacks the function.
template <typename Signature>
int Bind(LazySymbol<Signature>& symbol, typename LazySymbol<Signature>::Function* function) {
  *function = nullptr;
  if (int rc = RequireStarted(); rc != 0) return rc;
  *function = symbol.Get();
  return *function != nullptr ? 0 : WSAEOPNOTSUPP;
}

// The calling thread's last Windows Sockets error.
int LastSocketError() noexcept;

}  // namespace parcel::platform::win

#endif  // PARCEL_PLATFORM_WIN_WINSOCK_H_
